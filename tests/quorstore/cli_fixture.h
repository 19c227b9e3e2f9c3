// Runs the built quorstore tool on bundles in a temporary folder: a command's
// exit status and output, started alone or several at once.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace quorstore_test {

namespace fs = std::filesystem;
using nlohmann::json;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ToolFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorstore-tool-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        bundle_ = (root_ / "bundle").string();
    }
    void TearDown() override { fs::remove_all(root_); }

    // Starts the tool with its output in files named after `tag`.
    pid_t start(const std::vector<std::string> &args, const std::string &tag,
                const std::string &stdout_path = "") const {
        const std::string out =
            stdout_path.empty() ? (root_ / (tag + ".out")).string() : stdout_path;
        const std::string err = (root_ / (tag + ".err")).string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(out.c_str(), "w", stdout) ||
                !std::freopen(err.c_str(), "w", stderr)) {
                ::_exit(127);
            }
            std::vector<char *> argv{const_cast<char *>(QUORSTORE_BINARY)};
            for (const std::string &a : args) {
                argv.push_back(const_cast<char *>(a.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(QUORSTORE_BINARY, argv.data());
            ::_exit(127);
        }
        return pid;
    }

    Result finish(pid_t pid, const std::string &tag) const {
        int raw = 0;
        ::waitpid(pid, &raw, 0);
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(root_ / (tag + ".out"));
        r.err = slurp(root_ / (tag + ".err"));
        return r;
    }

    Result run(const std::vector<std::string> &args) const {
        return finish(start(args, "run"), "run");
    }

    std::string ok(const std::vector<std::string> &args) const {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << args.at(0) << " failed:\n" << r.err << r.out;
        return r.out;
    }

    json ok_json(const std::vector<std::string> &args) const {
        const std::string out = ok(args);
        try {
            return json::parse(out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << out;
            return json();
        }
    }

    void make_demo(const std::string &folder = "") const {
        ok({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o",
            folder.empty() ? bundle_ : folder});
    }

    std::map<std::string, std::string> snapshot(const std::string &folder = "") const {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::directory_iterator(folder.empty() ? bundle_ : folder)) {
            files[entry.path().filename().string()] = slurp(entry.path());
        }
        return files;
    }

    void flip(const std::string &piece, size_t offset, uint8_t mask = 0x01) const {
        std::fstream f(fs::path(bundle_) / piece, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(static_cast<std::streamoff>(offset));
        const char c = static_cast<char>(f.get());
        f.seekp(static_cast<std::streamoff>(offset));
        f.put(static_cast<char>(c ^ static_cast<char>(mask)));
    }

    fs::path root_;
    std::string bundle_;
};

}  // namespace quorstore_test

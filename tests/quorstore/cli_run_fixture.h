// The fixture of the scripting tests of quorstore: runs the built tool with
// an optional standard input and captures its output and exit status.
#pragma once

#include "cli_fixture.h"
#include "piece_checksum.h"

namespace quorstore_cli {

namespace fs = std::filesystem;
using nlohmann::json;
using quorstore_test::Result;
using quorstore_test::slurp;

inline std::string quote(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

class QuorstoreCli : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorstore-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        bundle_ = (root_ / "bundle").string();
    }
    void TearDown() override { fs::remove_all(root_); }

    // Runs the tool; `input`, when given, is its standard input.
    Result run(const std::vector<std::string> &args, const std::string *input = nullptr) const {
        std::string command = quote(QUORSTORE_BINARY);
        for (const std::string &a : args) {
            command += " " + quote(a);
        }
        if (input != nullptr) {
            const fs::path in = root_ / "stdin";
            std::ofstream(in, std::ios::binary) << *input;
            command += " <" + quote(in.string());
        }
        const fs::path out = root_ / "stdout";
        const fs::path err = root_ / "stderr";
        command += " >" + quote(out.string()) + " 2>" + quote(err.string());
        const int raw = std::system(command.c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    // Runs a command that must succeed and returns its standard output.
    std::string ok(const std::vector<std::string> &args, const std::string *input = nullptr) const {
        const Result r = run(args, input);
        EXPECT_EQ(r.status, 0) << args.at(0) << " failed:\n" << r.err;
        return r.out;
    }

    json ok_json(const std::vector<std::string> &args, const std::string *input = nullptr) const {
        const std::string out = ok(args, input);
        try {
            return json::parse(out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << out;
            return json();
        }
    }

    void make_demo() const {
        ok({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o", bundle_});
    }

    // Every file of the bundle folder with its bytes.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::directory_iterator(bundle_)) {
            files[entry.path().filename().string()] = slurp(entry.path());
        }
        return files;
    }

    void expect_unchanged(const std::map<std::string, std::string> &before) const {
        const auto after = snapshot();
        for (const auto &[name, bytes] : before) {
            auto it = after.find(name);
            ASSERT_NE(it, after.end()) << name << " disappeared";
            EXPECT_TRUE(it->second == bytes) << name << " changed";
        }
        EXPECT_EQ(after.size(), before.size()) << "files were added to the bundle";
    }

    // Records a piece's current bytes in bundle.json, as if they had been
    // committed like that: damage that predates the bundle.
    void reseal(const std::string &piece) const {
        const fs::path manifest = fs::path(bundle_) / "bundle.json";
        json doc = json::parse(slurp(manifest));
        const std::string bytes = slurp(fs::path(bundle_) / piece);
        doc["pieces"][piece]["size"] = bytes.size();
        doc["pieces"][piece]["sha256"] =
            quorstore::sha256_hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        std::ofstream(manifest) << doc.dump(2);
    }

    void write_bytes(const std::string &piece, size_t offset, const std::string &bytes) const {
        std::fstream f(fs::path(bundle_) / piece, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    fs::path root_;
    std::string bundle_;
};

}  // namespace quorstore_cli

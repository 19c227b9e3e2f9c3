#include "progress.h"

#include <cstdio>

namespace quorstore {

namespace {
constexpr auto kQuietPeriod = std::chrono::seconds(1);
}

Progress::Progress(std::string label)
    : label_(std::move(label)), start_(std::chrono::steady_clock::now()) {
    watcher_ = std::thread([this] { watch(); });
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    done_cv_.notify_all();
    watcher_.join();
    if (announced_) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
        std::fprintf(stderr, "quorstore: %s: done in %.1f s\n", label_.c_str(), took.count());
    }
}

void Progress::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!done_cv_.wait_for(lock, kQuietPeriod, [this] { return done_; })) {
        std::fprintf(stderr, "quorstore: %s...\n", label_.c_str());
        announced_ = true;
    }
}

}  // namespace quorstore

// A progress line on standard error for work that takes more than a second.
//
// Progress starts a watcher thread that, once a second has passed, prints
// "quorstore: <label>..." and then, when the work ends, "quorstore: <label>:
// done in N.N s". Work that finishes sooner prints nothing. The watcher
// only sleeps and writes to standard error; it never calls the library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace quorstore {

class Progress {
  public:
    explicit Progress(std::string label);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

  private:
    void watch();

    std::string label_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool announced_ = false;
    std::thread watcher_;
};

}  // namespace quorstore

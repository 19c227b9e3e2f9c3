// The lock that keeps writers of one bundle apart.
//
// A bundle folder holds a lock file, ".bundle.lock"; a command takes
// flock(2) on it: shared to read, exclusive to change. Locks belong to the
// open file, so the kernel drops them when the process ends however it ends:
// there is never a stale lock to clean up by hand. A command that cannot get
// its lock at once retries until its wait time is over and then fails with
// kExitBusy; it never proceeds unlocked.
//
// A reader on a folder it may not write (a read-only medium, another user's
// bundle) and that holds no lock file yet reads without a lock: nobody can
// be changing a bundle there through this tool either.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace quorstore {

extern const char kBundleLockFile[];

enum class LockMode { kShared, kExclusive };

// How long a command waits for a lock another process holds. The tool sets it
// from --wait; 5 seconds unless set.
void set_lock_wait(std::chrono::milliseconds wait);
std::chrono::milliseconds lock_wait();

class BundleLock {
  public:
    // Takes the lock of `folder`, waiting up to `wait`; throws ToolError
    // (exit status kExitBusy) when another process keeps it, and ToolError
    // naming the lock file when it cannot be opened or created.
    BundleLock(const std::filesystem::path &folder, LockMode mode,
               std::chrono::milliseconds wait = lock_wait());
    ~BundleLock();
    BundleLock(const BundleLock &) = delete;
    BundleLock &operator=(const BundleLock &) = delete;

    LockMode mode() const { return mode_; }
    // False for a reader on a folder it may not write that has no lock file.
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    LockMode mode_;
};

}  // namespace quorstore

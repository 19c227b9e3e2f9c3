#include "bundle_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "errors.h"

namespace quorstore {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

const char kBundleLockFile[] = ".bundle.lock";

namespace {

milliseconds g_wait{5000};

// Between tries: short at first so that a lock held for one quick command is
// picked up at once, then no busier than ten tries a second.
milliseconds next_pause(milliseconds pause) {
    return std::min(pause * 2, milliseconds(100));
}

std::string seconds_text(milliseconds wait) {
    const long long ms = wait.count();
    if (ms % 1000 == 0) {
        return std::to_string(ms / 1000) + " s";
    }
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

int open_lock_file(const fs::path &path, LockMode mode) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && mode == LockMode::kShared && (errno == EACCES || errno == EROFS)) {
        // flock works on a descriptor open for reading too.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            return -2;  // nothing to lock against on a folder nobody here can write
        }
    }
    return fd;
}

}  // namespace

void set_lock_wait(milliseconds wait) {
    g_wait = wait;
}

milliseconds lock_wait() {
    return g_wait;
}

BundleLock::BundleLock(const fs::path &folder, LockMode mode, milliseconds wait) : mode_(mode) {
    const fs::path path = folder / kBundleLockFile;
    const int fd = open_lock_file(path, mode);
    if (fd == -2) {
        return;
    }
    if (fd < 0) {
        const int saved = errno;
        throw ToolError(
            mode == LockMode::kExclusive ? kCodeWriteOutput : kCodeReadingInput,
            path.string() + ": cannot open the bundle's lock file: " + std::strerror(saved));
    }
    const int operation = (mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    milliseconds pause(5);
    while (::flock(fd, operation) != 0) {
        const int saved = errno;
        if (saved == EINTR) {
            continue;
        }
        if (saved != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            if (saved != EWOULDBLOCK) {
                throw ToolError(kCodeUnableAccessData,
                                path.string() + ": cannot lock: " + std::strerror(saved));
            }
            throw ToolError(kCodeUnableAccessData,
                            folder.string() + ": the bundle is in use by another process " +
                                "(waited " + seconds_text(wait) +
                                " for its lock; --wait SECONDS waits longer)",
                            kExitBusy);
        }
        std::this_thread::sleep_for(pause);
        pause = next_pause(pause);
    }
    fd_ = fd;
}

BundleLock::~BundleLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the last descriptor releases the lock
    }
}

}  // namespace quorstore

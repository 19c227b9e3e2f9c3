#include "bundle_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bundle.h"

namespace quorstore {

namespace {
FsFaultHook &fault_hook() {
    static FsFaultHook hook;
    return hook;
}
}  // namespace

void set_fs_fault_hook(FsFaultHook hook) {
    fault_hook() = std::move(hook);
}

namespace bundle_io {

namespace {

// A symlink chain longer than this is a loop.
constexpr int kMaxLinks = 40;

int close_checked(int fd) {
    return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace

int fault(const char *call, const fs::path &path) {
    return fault_hook() ? fault_hook()(call, path) : 0;
}

fs::path resolve_target(const fs::path &piece_path) {
    fs::path path = piece_path;
    std::error_code ec;
    for (int i = 0; i < kMaxLinks && fs::is_symlink(path, ec); ++i) {
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) {
            break;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

fs::path staged_path(const fs::path &target) {
    return target.parent_path() / ("." + target.filename().string() + ".new");
}

int read_file(const fs::path &path, Bytes &out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    out.clear();
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            return saved;
        }
        if (n == 0) {
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return 0;
}

int write_synced(const fs::path &path, const Bytes &bytes, unsigned mode) {
    if (int e = fault("open", path)) {
        return e;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    // The mode is set explicitly: open's mode is masked by the umask, and a
    // piece keeps the permissions it had.
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        error = errno;
    }
    size_t done = 0;
    while (error == 0 && done < bytes.size()) {
        if ((error = fault("write", path)) != 0) {
            break;
        }
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && (error = fault("fsync", path)) == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    const int closed = close_checked(fd);
    if (error == 0) {
        error = closed;
    }
    if (error != 0) {
        ::unlink(path.c_str());
    }
    return error;
}

int rename_file(const fs::path &from, const fs::path &to) {
    if (int e = fault("rename", to)) {
        return e;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int unlink_file(const fs::path &path) {
    if (int e = fault("unlink", path)) {
        return e;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

int sync_folder(const fs::path &folder) {
    if (int e = fault("fsync-dir", folder)) {
        return e;
    }
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = ::fsync(fd) == 0 ? 0 : errno;
    // Some file systems cannot fsync a folder; their renames are durable
    // without it.
    if (error == EINVAL || error == ENOTSUP) {
        error = 0;
    }
    ::close(fd);
    return error;
}

unsigned mode_of(const fs::path &path, unsigned fallback) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return fallback;
    }
    return static_cast<unsigned>(st.st_mode & 07777);
}

}  // namespace bundle_io
}  // namespace quorstore

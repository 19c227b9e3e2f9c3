// Shared pieces of the quorstorage Python module: the failures it raises,
// the lock every library call goes through, the one-storage-per-process rule
// and the forwarding of library reports to Python logging.
//
// The library keeps process-wide state and must not be entered from two
// threads at once, while the module releases the GIL around its long calls.
// So every library call runs inside call_library(): GIL released, one
// process-wide mutex held. Nothing inside may touch a Python object.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace pyqs {

namespace py = pybind11;
using quorstore::Report;

// The exception classes of the package (quorstorage._errors).
enum class ErrorKind { kStorage, kNotFound, kTooLarge, kDamaged, kBusy, kClosed };

// A failure on its way to Python: the catalogue code, text and detail, the
// file-system status where one caused it, and every report of the library.
struct Failure {
    ErrorKind kind = ErrorKind::kStorage;
    std::optional<int32_t> code;  // none for the package's own rules
    std::string text;
    std::string detail;
    std::optional<uint32_t> status;
    std::vector<Report> reports;
};

// Thrown by the module's C++ code; translated into the matching Python class.
struct FailureError {
    Failure failure;
};

// A failure with one catalogue code; the kind follows from the code unless given.
[[noreturn]] void fail(int32_t code, const std::string &detail,
                       std::optional<uint32_t> status = std::nullopt,
                       std::optional<ErrorKind> kind = std::nullopt);

// A failure of the package's own rules (busy library, closed object).
[[noreturn]] void fail_rule(ErrorKind kind, const std::string &detail);

// The exception class a catalogue code belongs to.
ErrorKind kind_of_code(int32_t code);

// The exception class of a DFS (POSIX-style) or EFS status.
ErrorKind kind_of_dfs_status(uint32_t status);
ErrorKind kind_of_efs_status(uint32_t status);

// Installs the exception translator; the classes live in quorstorage._errors.
void register_errors(py::module_ &m);

// Sends reports to the "quorstorage" logger (GIL held); failures log their
// reports when they are translated. `expected` reports
// (answers to probes the module makes on purpose) go out at DEBUG.
void log_reports(const std::vector<Report> &reports, bool expected = false);

// Takes the reports the library made since the last call and logs them.
std::vector<Report> forward_reports(bool expected = false);

std::mutex &library_mutex();

// Turns a ToolError of the shared core into a FailureError (no Python
// object touched, so it may run with the GIL released).
[[noreturn]] void rethrow_tool_error(const quorstore::ToolError &error);

// Runs `fn` with the GIL released and the library lock held. A ToolError of
// the shared core comes back as a FailureError; the translator logs its reports.
template <class Fn>
auto call_library(Fn fn) -> decltype(fn()) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(library_mutex());
    try {
        return fn();
    } catch (const quorstore::ToolError &e) {
        rethrow_tool_error(e);
    }
}

// The one storage a process may have open: a Region, a Storage or a Bundle
// claims it when it opens and releases it when it closes.
class Claim {
  public:
    // Claims the library for `what`; raises StorageBusyError naming the holder.
    explicit Claim(std::string what);
    ~Claim();
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;

  private:
    std::string what_;
};

// A Python buffer held for as long as the library works on its bytes: while
// it is held, a bytearray cannot be resized under the library.
class HeldBuffer {
  public:
    HeldBuffer() = default;
    HeldBuffer(const py::buffer &buffer, bool writable, const char *what);

    uint8_t *data() const { return static_cast<uint8_t *>(info_.ptr); }
    size_t size() const { return size_; }
    bool empty() const { return info_.ptr == nullptr || size_ == 0; }

  private:
    py::buffer_info info_;
    size_t size_ = 0;
};

}  // namespace pyqs

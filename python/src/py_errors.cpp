// Failures, the library lock, the one-storage rule and report logging.
#include <utility>

#include "pyqs.h"
#include "storage_session.h"

namespace pyqs {

namespace {

// Catalogue codes by the exception class they raise.
constexpr int32_t kNotFoundCodes[] = {
    38,   // File not found.
    102,  // Setting not found.
};
constexpr int32_t kTooLargeCodes[] = {
    114,  // String length too long.
    204,  // String length is too large.
    217,  // Invalid NVAR size.
    273,  // Could not resize NVAR for binary.
    274,  // Invalid NVAR file size.
    275,  // Specified variable size will not fit.
    312,  // Size requested was too large.
};
constexpr int32_t kDamagedCodes[] = {
    1,    // Initialize Error (a region that does not mount).
    113,  // Detected error in buffer parsing operation.
    339,  // Failed to initialize MFS.
    340,  // Failed to initialize EFS.
    398,  // Corrupted Buffer Detected.
    401,  // Failed to load the file table.
};

// DFS statuses (POSIX numbers) and EFS statuses.
constexpr uint32_t kDfsNoEntry = 2;
constexpr uint32_t kDfsIo = 5;
constexpr uint32_t kDfsTooBig = 27;
constexpr uint32_t kDfsNoSpace = 28;
constexpr uint32_t kEfsNoContent = 2;
constexpr uint32_t kEfsOutOfRange = 34;
constexpr uint32_t kEfsCheckFailed = 41;

// Log levels of the library's callback (it reports errors only).
constexpr int kLibraryLevelError = 4;

template <size_t N>
bool listed(const int32_t (&codes)[N], int32_t code) {
    for (int32_t c : codes) {
        if (c == code) {
            return true;
        }
    }
    return false;
}

const char *class_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::kNotFound:
            return "StorageNotFoundError";
        case ErrorKind::kTooLarge:
            return "StorageTooLargeError";
        case ErrorKind::kDamaged:
            return "StorageDamagedError";
        case ErrorKind::kBusy:
            return "StorageBusyError";
        case ErrorKind::kClosed:
            return "StorageClosedError";
        case ErrorKind::kStorage:
            break;
    }
    return "StorageError";
}

py::object python_logger() {
    return py::module_::import("logging").attr("getLogger")("quorstorage");
}

void raise_failure(const Failure &f) {
    log_reports(f.reports);
    py::object errors = py::module_::import("quorstorage._errors");
    py::list reports;
    for (const Report &r : f.reports) {
        reports.append(py::make_tuple(r.code, r.text, r.detail));
    }
    py::object cls = errors.attr(class_name(f.kind));
    py::object error = cls(f.detail, py::arg("code") = f.code ? py::cast(*f.code) : py::none(),
                           py::arg("text") = f.text,
                           py::arg("status") = f.status ? py::cast(*f.status) : py::none(),
                           py::arg("reports") = py::tuple(reports));
    PyErr_SetObject(cls.ptr(), error.ptr());
}

// Who holds the library (empty: nobody); guarded by the GIL.
std::string g_holder;

}  // namespace

ErrorKind kind_of_code(int32_t code) {
    if (listed(kNotFoundCodes, code)) {
        return ErrorKind::kNotFound;
    }
    if (listed(kTooLargeCodes, code)) {
        return ErrorKind::kTooLarge;
    }
    if (listed(kDamagedCodes, code)) {
        return ErrorKind::kDamaged;
    }
    return ErrorKind::kStorage;
}

ErrorKind kind_of_dfs_status(uint32_t status) {
    switch (status) {
        case kDfsNoEntry:
            return ErrorKind::kNotFound;
        case kDfsTooBig:
        case kDfsNoSpace:
            return ErrorKind::kTooLarge;
        case kDfsIo:
            return ErrorKind::kDamaged;
        default:
            return ErrorKind::kStorage;
    }
}

ErrorKind kind_of_efs_status(uint32_t status) {
    switch (status) {
        case kEfsNoContent:
            return ErrorKind::kNotFound;
        case kEfsOutOfRange:
            return ErrorKind::kTooLarge;
        case kEfsCheckFailed:
            return ErrorKind::kDamaged;
        default:
            return ErrorKind::kStorage;
    }
}

void fail(int32_t code, const std::string &detail, std::optional<uint32_t> status,
          std::optional<ErrorKind> kind) {
    Failure f;
    f.code = code;
    f.kind = kind ? *kind : kind_of_code(code);
    f.text = quorstore::catalogue_text(code);
    f.detail = detail;
    f.status = status;
    throw FailureError{std::move(f)};
}

void fail_rule(ErrorKind kind, const std::string &detail) {
    Failure f;
    f.kind = kind;
    f.detail = detail;
    throw FailureError{std::move(f)};
}

void rethrow_tool_error(const quorstore::ToolError &error) {
    const std::vector<Report> &reports = error.reports();
    Failure f;
    f.code = reports.empty() ? 0 : reports.front().code;
    f.kind = kind_of_code(*f.code);
    f.text = reports.empty() ? "" : reports.front().text;
    f.detail = reports.empty() || reports.front().detail.empty() ? error.context()
                                                                 : reports.front().detail;
    f.reports = reports;
    throw FailureError{std::move(f)};
}

void register_errors(py::module_ &) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const FailureError &e) {
            raise_failure(e.failure);
        }
    });
}

void log_reports(const std::vector<Report> &reports, bool expected) {
    if (reports.empty()) {
        return;
    }
    py::object logging = py::module_::import("logging");
    const py::object level = expected ? logging.attr("DEBUG") : logging.attr("ERROR");
    py::object logger = python_logger();
    for (const Report &r : reports) {
        py::dict extra;
        extra["quor_code"] = r.code;
        extra["quor_text"] = r.text;
        extra["quor_detail"] = r.detail;
        extra["quor_level"] = kLibraryLevelError;
        logger.attr("log")(level, "%s (code %d): %s", r.text, r.code, r.detail,
                           py::arg("extra") = extra);
    }
}

std::vector<Report> forward_reports(bool expected) {
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(library_mutex());
        reports = quorstore::take_reports();
    }
    log_reports(reports, expected);
    return reports;
}

std::mutex &library_mutex() {
    static std::mutex mutex;
    return mutex;
}

Claim::Claim(std::string what) : what_(std::move(what)) {
    if (!g_holder.empty()) {
        fail_rule(ErrorKind::kBusy, "cannot open " + what_ + ": " + g_holder +
                                        " is open, and the library holds one storage per "
                                        "process; close it first");
    }
    g_holder = what_;
}

Claim::~Claim() {
    g_holder.clear();
}

HeldBuffer::HeldBuffer(const py::buffer &buffer, bool writable, const char *what) {
    if (writable && buffer.request(false).readonly) {
        throw py::type_error(std::string(what) +
                             ": needs a writable buffer (bytearray, or a memoryview of one); "
                             "the library changes the region in place");
    }
    info_ = buffer.request(writable);
    if (PyBuffer_IsContiguous(info_.view(), 'C') == 0) {
        throw py::value_error(std::string(what) + ": the buffer is not contiguous");
    }
    size_ = static_cast<size_t>(info_.size * info_.itemsize);
    if (size_ > 0xFFFFFFFFu) {
        throw py::value_error(std::string(what) + ": larger than 4 GiB");
    }
}

}  // namespace pyqs

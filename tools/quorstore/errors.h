// Errors of the quorstore tool.
//
// Every failure reaches the user as lines "error: <catalogue text>: <detail>"
// on standard error and a non-zero exit status. A failure is a list of
// reports: the reports the library made through its status callback, or one
// report made by the tool itself with the catalogue code that names the
// failed step. Commands throw ToolError; main() prints it and exits.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorstore {

// Exit statuses of the tool.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,  // a command failed; the bundle is unchanged
    kExitUsage = 2,    // bad command line
    kExitBusy = 75,    // another process holds the bundle's lock: try again later
};

// fsck's exit status is a bitmask, as file-system checkers have it: 0 clean,
// kFsckRepaired when --repair fixed everything it found, kFsckDamageLeft when
// damage remains, kFsckOperational when the check itself could not run
// (bundle locked, unreadable folder, write failure of a repair).
enum FsckExit : int {
    kFsckClean = 0,
    kFsckRepaired = 1,
    kFsckDamageLeft = 4,
    kFsckOperational = 8,
};

// Catalogue codes the tool itself reports (texts come from the catalogue).
enum ToolErrorCode : int32_t {
    kCodeReadingInput = 34,       // a bundle piece or input file cannot be read
    kCodeBadOptions = 35,         // a command-line value is malformed
    kCodeFileNotFound = 38,       // a file or NVAR does not exist
    kCodeWritingFile = 99,        // a file-system write failed
    kCodeWriteOutput = 49,        // a bundle piece cannot be written
    kCodeUnableAccessData = 284,  // the bundle is locked by another process
    kCodeCorrupted = 398,         // a piece fails its checksum
    kCodeBadJson = 118,           // a description or bundle.json is malformed
    kCodeInvalidNvarSize = 217,   // a value is longer than its file's max_size
    kCodeFailWriteNvar = 266,     // an NVAR cannot be written
    kCodeReadNvar = 267,          // an NVAR or raw file cannot be read
    kCodeNvarAccess = 346,        // an NVAR cannot be changed
    kCodeLoadFileTable = 401,     // ftbl.bin cannot select the SKU
};

// One report: a catalogue code, its text and the detail.
struct Report {
    int32_t code = 0;
    std::string text;
    std::string detail;
};

// The catalogue text of a code (fills the catalogue on first use).
std::string catalogue_text(int32_t code);

// "error: <text>: <detail>", with the detail's surrounding blanks trimmed; a
// report without a detail gets `fallback_detail` instead.
std::string format_report(const Report &report, const std::string &fallback_detail = "");

class ToolError : public std::runtime_error {
  public:
    // One report made by the tool.
    ToolError(int32_t code, const std::string &detail, int exit_status = kExitFailure);
    // Reports the library made; `context` stands in for empty details.
    ToolError(std::vector<Report> reports, const std::string &context,
              int exit_status = kExitFailure);

    const std::vector<Report> &reports() const { return reports_; }
    const std::string &context() const { return context_; }
    int exit_status() const { return exit_status_; }
    // The lines to print, one per report.
    std::vector<std::string> lines() const;

  private:
    std::vector<Report> reports_;
    std::string context_;
    int exit_status_;
};

}  // namespace quorstore

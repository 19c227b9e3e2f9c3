#include "errors.h"

#include "errors/taverrors.h"

namespace quorstore {

namespace {

std::string trim(const std::string &text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string first_line(const std::vector<Report> &reports) {
    return reports.empty() ? std::string("error") : format_report(reports.front());
}

}  // namespace

std::string catalogue_text(int32_t code) {
    static const bool filled = TavErrors::init();
    (void)filled;
    return TavErrors::getErrorNameString(static_cast<ImageToolsErrorName>(code));
}

std::string format_report(const Report &report, const std::string &fallback_detail) {
    // The catalogue text is shown as the catalogue has it, period and all.
    std::string text = trim(report.text);
    if (text.empty()) {
        text = "library report " + std::to_string(report.code);
    }
    std::string detail = trim(report.detail);
    if (detail.empty()) {
        detail = fallback_detail;
    }
    return detail.empty() ? "error: " + text : "error: " + text + ": " + detail;
}

ToolError::ToolError(int32_t code, const std::string &detail, int exit_status)
    : ToolError(std::vector<Report>{Report{code, catalogue_text(code), detail}}, "", exit_status) {}

ToolError::ToolError(std::vector<Report> reports, const std::string &context, int exit_status)
    : std::runtime_error(first_line(reports)),
      reports_(std::move(reports)),
      context_(context),
      exit_status_(exit_status) {}

std::vector<std::string> ToolError::lines() const {
    std::vector<std::string> out;
    for (const Report &report : reports_) {
        out.push_back(format_report(report, context_));
    }
    if (out.empty()) {
        out.push_back("error: " + context_);
    }
    return out;
}

}  // namespace quorstore

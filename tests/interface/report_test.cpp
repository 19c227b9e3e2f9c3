// Failure reports: exact callback arguments of each reporting function, and
// silence without a registered callback.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "errors/taverrors.h"
#include "interface/kamfs_report.h"

namespace {

struct Report {
    int32_t level;
    int32_t code;
    std::string errorText;
    std::string detail;
};

std::vector<Report> g_reports;

void record_report(int32_t level, int32_t code, const char *errorText, const char *detail) {
    g_reports.push_back({level, code, errorText, detail});
}

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TavErrors::init();
        g_reports.clear();
        s_quorStatusCallback = record_report;
    }
    void TearDown() override { s_quorStatusCallback = nullptr; }

    // The single report made since SetUp, checked field by field.
    void expect_one_report(int32_t code, const std::string &text, const std::string &detail) {
        ASSERT_EQ(g_reports.size(), 1u);
        EXPECT_EQ(g_reports[0].level, 4);
        EXPECT_EQ(g_reports[0].code, code);
        EXPECT_EQ(g_reports[0].errorText, text);
        EXPECT_EQ(g_reports[0].detail, detail);
    }
};

TEST_F(ReportTest, SetLibErrorCarriesCatalogueTextAndSignedStatus) {
    setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, -1);
    expect_one_report(335, "Failed to terminate MFS library.", " Library status code: -1");

    g_reports.clear();
    setLibError(TAV_ERR_INITIALIZE_ERROR, 5);
    expect_one_report(1, "Initialize Error", " Library status code: 5");

    g_reports.clear();
    setLibError(TAV_ERR_ERROR_WRITING_FILE, INT32_MIN);
    expect_one_report(99, "Error writing to file.", " Library status code: -2147483648");
}

TEST_F(ReportTest, LogMessageOfCodeZeroHasEmptyText) {
    kaMfsLogMessage(kErrorLevelError, TAV_ERR_NO_ERROR, "mapping 3");
    expect_one_report(0, "", "mapping 3");

    g_reports.clear();
    kaMfsLogMessage(kErrorLevelError, TAV_ERR_NVAR_ACCESS_ERROR, nullptr);
    expect_one_report(346, "NVAR Access error.", "");
}

TEST_F(ReportTest, ReportBeforeCatalogueInitCarriesGeneralError) {
    TavErrors::s_imageToolsErrorNameStringMap.clear();
    setLibError(TAV_ERR_FAILED_LOAD_FTBL_FILE, 2);
    expect_one_report(401, "General Error", " Library status code: 2");
}

TEST_F(ReportTest, AssertReportsCodeZeroWithTheTextAsDetail) {
    kaMfsAssert("MFS not initialzied");
    expect_one_report(0, "", "MFS not initialzied");
}

TEST_F(ReportTest, MemCpyOfZeroBytesTouchesNothing) {
    EXPECT_EQ(kaMfsMemCpy(nullptr, 0, nullptr, 0), 0u);
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ReportTest, MemCpyFailuresReportOutOfMemoryWithTheStatus) {
    uint8_t destination[4] = {9, 9, 9, 9};
    const uint8_t source[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, source, 5), 40u);
    expect_one_report(321, "Out of memory.", "Memory copy failed with error 40");
    EXPECT_EQ(destination[0], 9) << "a refused copy wrote into the destination";

    g_reports.clear();
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, nullptr, 1), 3u);
    expect_one_report(321, "Out of memory.", "Memory copy failed with error 3");

    g_reports.clear();
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, destination + 1, 2), 43u);
    expect_one_report(321, "Out of memory.", "Memory copy failed with error 43");
}

TEST_F(ReportTest, SuccessfulMemCpyCopiesWithoutReport) {
    uint8_t destination[3] = {};
    const uint8_t source[3] = {7, 8, 9};
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, source, 3), 0u);
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(destination[2], 9);
}

TEST(ReportWithoutCallback, EveryReportIsDroppedSilently) {
    TavErrors::init();
    s_quorStatusCallback = nullptr;
    uint8_t destination[2] = {};
    const uint8_t source[3] = {};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, -1);
    kaMfsLogMessage(kErrorLevelError, TAV_ERR_OUT_OF_MEMORY, "detail");
    kaMfsAssert("FCS not initialzied");
    const uint32_t status = kaMfsMemCpy(destination, sizeof destination, source, 3);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(status, 40u);
}

}  // namespace

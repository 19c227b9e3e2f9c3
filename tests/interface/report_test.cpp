// Failure reports and the memory helpers behind them: exact callback
// arguments of each reporting function, ByteCopy's statuses at the size
// limit, for null and overlapping arguments, and silence without a callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "errors/taverrors.h"
#include "interface/kamfs_report.h"
#include "interface/memory_utils.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

class KamfsReport : public KamfsTest {
  protected:
    void SetUp() override {
        KamfsTest::SetUp();
        TavErrors::init();
        s_quorStatusCallback = recordReport;
    }
    void TearDown() override {
        s_quorStatusCallback = nullptr;
        KamfsTest::TearDown();
    }
};

TEST_F(KamfsReport, EachReportCarriesLevelFourCatalogueTextAndDetail) {
    setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, -1);
    setLibError(TAV_ERR_INITIALIZE_ERROR, 5);
    setLibError(TAV_ERR_ERROR_WRITING_FILE, INT32_MIN);
    kaMfsLogMessage(kErrorLevelError, TAV_ERR_NO_ERROR, "mapping 3");
    kaMfsLogMessage(kErrorLevelError, TAV_ERR_NVAR_ACCESS_ERROR, nullptr);
    kaMfsAssert("MFS not initialzied");
    EXPECT_TRUE(reportsAre({{335, libStatus(-1)},
                            {1, libStatus(5)},
                            {99, " Library status code: -2147483648"},
                            {0, "mapping 3"},
                            {346, ""},
                            {0, "MFS not initialzied"}}));
    ASSERT_EQ(reports().size(), 6u);
    EXPECT_EQ(reports()[0].text, "Failed to terminate MFS library.");
    EXPECT_EQ(reports()[3].text, "") << "code 0 has an empty text";
}

TEST_F(KamfsReport, ReportBeforeCatalogueInitCarriesGeneralError) {
    TavErrors::s_imageToolsErrorNameStringMap.clear();
    setLibError(TAV_ERR_FAILED_LOAD_FTBL_FILE, 2);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].text, "General Error");
    EXPECT_EQ(reports()[0].detail, libStatus(2));
}

TEST_F(KamfsReport, MemCpyCopiesSilentlyOrReportsOutOfMemoryWithTheStatus) {
    EXPECT_EQ(kaMfsMemCpy(nullptr, 0, nullptr, 0), 0u) << "zero bytes touch nothing";
    uint8_t destination[4] = {9, 9, 9, 9};
    const uint8_t source[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(kaMfsMemCpy(destination, 3, source, 3), 0u);
    EXPECT_EQ(destination[2], 3);
    EXPECT_TRUE(reportsAre({}));
    destination[0] = 9;
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, source, 5), 40u);
    EXPECT_EQ(destination[0], 9) << "a refused copy wrote into the destination";
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, nullptr, 1), 3u);
    EXPECT_EQ(kaMfsMemCpy(destination, sizeof destination, destination + 1, 2), 43u);
    EXPECT_TRUE(reportsAre({{321, "Memory copy failed with error 40"},
                            {321, "Memory copy failed with error 3"},
                            {321, "Memory copy failed with error 43"}}));
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

TEST(ByteCopy, ExactSizeCopiesAndRefusalsLeaveTheDestinationUnchanged) {
    std::array<uint8_t, 8> destination{};
    const std::array<uint8_t, 9> source = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(ByteCopy(destination.data(), 8, source.data(), 8), 0u);
    EXPECT_EQ(std::memcmp(destination.data(), source.data(), 8), 0);
    destination.fill(0xEE);
    EXPECT_EQ(ByteCopy(destination.data(), 8, source.data(), 9), 40u);
    EXPECT_EQ(std::count(destination.begin(), destination.end(), 0xEE), 8)
        << "a refused copy wrote into the destination";
    // Null pointers give 3 even for zero bytes.
    uint8_t byte = 0;
    EXPECT_EQ(ByteCopy(nullptr, 4, &byte, 1), 3u);
    EXPECT_EQ(ByteCopy(&byte, 1, nullptr, 1), 3u);
    EXPECT_EQ(ByteCopy(nullptr, 0, nullptr, 0), 3u);
    EXPECT_EQ(ByteCopy(&byte, 0, &byte, 0), 0u);
}

TEST(ByteCopy, OverlappingRangesGiveFortyThreeAndAdjacentOnesCopy) {
    std::array<uint8_t, 6> buffer = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ByteCopy(buffer.data() + 2, 4, buffer.data(), 4), 43u);
    EXPECT_EQ(ByteCopy(buffer.data(), 6, buffer.data() + 2, 3), 43u);
    EXPECT_EQ(buffer, (std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(ByteCopy(buffer.data(), 3, buffer.data() + 3, 3), 0u);
    EXPECT_EQ(buffer, (std::array<uint8_t, 6>{4, 5, 6, 4, 5, 6}));
}

TEST(LtMemory, SetUsesTheLowByteAndCompareKeepsTheSign) {
    auto *block = static_cast<uint8_t *>(LtAllocateZeroMemory(16));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 16, 0), 16) << "block not zero-filled";
    EXPECT_EQ(LtSetMemory(block, 0x1AB, 15), block);
    EXPECT_EQ(block[14], 0xAB);
    EXPECT_EQ(block[15], 0) << "fill ran past its count";
    const uint8_t low[2] = {0xAB, 0x01};
    EXPECT_GT(LtCompareMemory(block, low, 2), 0);
    EXPECT_LT(LtCompareMemory(low, block, 2), 0);
    EXPECT_EQ(LtCompareMemory(block, low, 1), 0);
    EXPECT_EQ(LtCompareMemory(nullptr, low, 0), 0);
    LtFreeMemory(block);
    LtFreeMemory(nullptr);
}

}  // namespace
}  // namespace kamfs_test

// Error catalogue: lookups before and after init, exact texts of the codes the
// storage interface raises, and rebuilding on repeated init.
#include "errors/taverrors.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

ImageToolsErrorName code_of(int32_t value) {
    return static_cast<ImageToolsErrorName>(value);
}

// The codes raised by the storage interface, with the texts the tool expects.
const std::vector<std::pair<int32_t, std::string>> &raised_codes() {
    static const std::vector<std::pair<int32_t, std::string>> rows = {
        {0, "No Error"},
        {1, "Initialize Error"},
        {38, "File not found."},
        {99, "Error writing to file."},
        {113, "Detected error in buffer parsing operation."},
        {320, "Invalid data pointer."},
        {321, "Out of memory."},
        {323, "MFS was not initialized."},
        {324, "FCS was not initialized."},
        {325, "Failed to process FCS entries."},
        {326, "Detected duplicate special file label."},
        {327, "FileEntry already being used by another FCS table."},
        {328, "Failed to create FCS handle."},
        {329, "Failed to get file from FCS."},
        {330, "Failed to get file file attributes from FCS."},
        {333, "Failed to flush FCS buffer into memory."},
        {334, "Invalid FCS file"},
        {335, "Failed to terminate MFS library."},
        {336, "Failed to get file size from MFS."},
        {339, "Failed to initialize MFS."},
        {340, "Failed to initialize EFS."},
        {341, "Failed to load Ostra.cfg table."},
        {343, "Failed to create the current values table."},
        {344, "Failed to generate the current values table."},
        {345, "Failed to create new Tav.cfg table."},
        {346, "NVAR Access error."},
        {398, "Corrupted Buffer Detected."},
        {401, "Failed to load ftbl file."},
    };
    return rows;
}

TEST(TavErrors, EveryLookupBeforeInitIsGeneralError) {
    EXPECT_EQ(TavErrors::getErrorNameString(TAV_ERR_NO_ERROR), "General Error");
    EXPECT_EQ(TavErrors::getErrorNameString(TAV_ERR_INVALID_DATA_POINTER), "General Error");
    EXPECT_TRUE(TavErrors::s_imageToolsErrorNameStringMap.empty());
}

TEST(TavErrors, InitFillsEveryCodeAndEveryTag) {
    ASSERT_TRUE(TavErrors::init());
    const auto &names = TavErrors::s_imageToolsErrorNameStringMap;
    ASSERT_EQ(names.size(), 411u);
    EXPECT_EQ(names.begin()->first, 0);
    EXPECT_EQ(names.rbegin()->first, 410);
    for (const auto &[code, text] : names) {
        EXPECT_FALSE(text.empty()) << "code " << code << " has an empty message";
        EXPECT_NE(text, "General Error") << "code " << code;
    }
    const auto &types = TavErrors::s_imageToolsErrorTypeStringMap;
    ASSERT_EQ(types.size(), 29u);
    EXPECT_EQ(types.rbegin()->first, 28);
    EXPECT_EQ(types.at(TAV_TYPE_NONE), "No Error");
    for (const auto &[type, tag] : types) {
        if (type == TAV_TYPE_NONE) {
            continue;
        }
        // Every other tag is a bracketed name followed by exactly one blank.
        ASSERT_GE(tag.size(), 4u) << "tag " << type;
        EXPECT_EQ(tag.front(), '[') << "tag " << type << ": \"" << tag << "\"";
        EXPECT_EQ(tag.substr(tag.size() - 2), "] ") << "tag " << type << ": \"" << tag << "\"";
    }
    EXPECT_EQ(types.at(TAV_TYPE_KA_MFS), "[KA MFS] ");
}

TEST(TavErrors, CodesRaisedByTheLibraryCarryTheirExactTexts) {
    TavErrors::init();
    for (const auto &[code, expected] : raised_codes()) {
        EXPECT_EQ(TavErrors::getErrorNameString(code_of(code)), expected) << "code " << code;
    }
}

TEST(TavErrors, SharedAndPrefixTextsKeepTheirTrailingBlanks) {
    TavErrors::init();
    EXPECT_EQ(TavErrors::getErrorNameString(code_of(154)), "Make Module Failed. ");
    EXPECT_EQ(TavErrors::getErrorNameString(code_of(156)), "Make Module Failed. ");
    EXPECT_EQ(TavErrors::getErrorNameString(code_of(7)), "Decompose Error. ");
    EXPECT_EQ(TavErrors::getErrorNameString(code_of(190)), "Invalid PKI Suffix: ");
    for (int32_t code : {122, 123, 371}) {
        EXPECT_EQ(TavErrors::getErrorNameString(code_of(code)), "Buffer overflow detected.")
            << "code " << code;
    }
    EXPECT_EQ(TavErrors::getErrorNameString(code_of(332)), "Failed to delete frile from FCS.");
}

TEST(TavErrors, CodesOutsideTheCatalogueAreGeneralErrorAndNotInserted) {
    TavErrors::init();
    for (int32_t code : {-1, 411, 1000, INT_MIN, INT_MAX}) {
        EXPECT_EQ(TavErrors::getErrorNameString(code_of(code)), "General Error") << "code " << code;
    }
    EXPECT_EQ(TavErrors::s_imageToolsErrorNameStringMap.size(), 411u) << "a lookup inserted a code";
}

TEST(TavErrors, SecondInitRebuildsTheSameContent) {
    TavErrors::init();
    const auto names = TavErrors::s_imageToolsErrorNameStringMap;
    const auto types = TavErrors::s_imageToolsErrorTypeStringMap;
    // A stray edit must not survive a rebuild.
    TavErrors::s_imageToolsErrorNameStringMap[TAV_ERR_OUT_OF_MEMORY] = "changed";
    TavErrors::s_imageToolsErrorNameStringMap[code_of(500)] = "extra";
    ASSERT_TRUE(TavErrors::init());
    EXPECT_EQ(TavErrors::s_imageToolsErrorNameStringMap.size(), 411u);
    EXPECT_EQ(TavErrors::s_imageToolsErrorTypeStringMap.size(), 29u);
    EXPECT_TRUE(TavErrors::s_imageToolsErrorNameStringMap == names);
    EXPECT_TRUE(TavErrors::s_imageToolsErrorTypeStringMap == types);
}

}  // namespace

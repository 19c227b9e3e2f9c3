#include "description.h"

#include <gtest/gtest.h>

#include "errors.h"

namespace quorstore {
namespace {

const char kValid[] = R"({
  "sku": "0x11", "deployed": true,
  "afs": {"size": 65536, "files": 128},
  "efs": {"spares": 3},
  "skus": [
    {"id": 17, "files": [
      {"name": "/home/net/hostname", "fileno": "0x01000010", "index": 16, "storage": "afs",
       "max_size": 32},
      {"name": "/home/sys/serial", "fileno": 4097, "index": 2, "storage": "efs", "max_size": 16},
      {"name": "/home/sys/model", "fileno": 4098, "storage": "table", "max_size": 8}]},
    {"id": 34, "files": []}],
  "nvars": [
    {"name": "/home/net/hostname", "default": "quor", "tool": {"hex": "6777"}},
    {"name": "/home/sys/serial", "default": {"text": "S1"}}]
})";

// The error line a description produces, or "" when it parses.
std::string error_of(const std::string &text) {
    try {
        parse_description(text, "d.json");
    } catch (const ToolError &e) {
        return e.lines().at(0);
    }
    return "";
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(QuorstoreDescription, ValidDescriptionParsesEveryField) {
    const ImageDescription d = parse_description(kValid, "d.json");
    EXPECT_EQ(d.sku, 0x11u);
    EXPECT_TRUE(d.deployed);
    ASSERT_TRUE(d.afs && d.efs);
    EXPECT_EQ(d.afs->files, 128u);
    EXPECT_EQ(d.efs->spares, 3u);
    EXPECT_EQ(d.efs->blocks, 0u);
    ASSERT_EQ(d.skus.size(), 2u);
    const FileDescription &host = d.skus[0].files[0];
    EXPECT_EQ(host.fileno, 0x01000010u);
    EXPECT_EQ(host.index, 16);
    EXPECT_EQ(d.skus[0].files[2].storage, StorageKind::kTable);
    ASSERT_EQ(d.nvars.size(), 2u);
    EXPECT_EQ(d.nvars[0].default_value, text_bytes("quor"));
    EXPECT_EQ(d.nvars[0].tool_value, text_bytes("gw"));
    EXPECT_FALSE(d.nvars[1].tool_value);
}

TEST(QuorstoreDescription, MalformedJsonIsNamedByLineAndColumn) {
    const std::string e = error_of("{\n  \"sku\": 17,\n  \"skus\": [,]\n}");
    EXPECT_EQ(e.rfind("error: Invalid JSON Parameter(s).: d.json:3:", 0), 0u) << e;
}

TEST(QuorstoreDescription, BadFieldsAreNamedByTheirPath) {
    struct Case {
        std::string from, to, expected;
    };
    const Case cases[] = {
        {R"("max_size": 32})", R"("max_size": "lots"})",
         "d.json: skus[0].files[0].max_size: expected an unsigned number"},
        {R"("storage": "efs")", R"("storage": "disk")",
         "skus[0].files[1].storage: expected \"afs\", \"efs\" or \"table\""},
        {R"("index": 2,)", R"("index": 16,)", ""},  // same index on another file system is fine
        {R"("fileno": 4097)", R"("fileno": "0x01000010")",
         "skus[0].files[1].fileno: 0x01000010 is already the fileno of skus[0].files[0]"},
        {R"("index": 16, "storage": "afs")", R"("index": 128, "storage": "afs")",
         "skus[0].files[0].index: AFS index 128 is not below afs.files 128"},
        {R"("default": "quor")", R"("default": "a-hostname-that-is-far-too-long-for-it")",
         "nvars[0].default: 38 bytes is longer than max_size 32 of /home/net/hostname"},
        {R"("name": "/home/sys/serial", "default")", R"("name": "/home/sys/nothing", "default")",
         "nvars[1].name: \"/home/sys/nothing\" is not a file of SKU 0x00000011"},
        {R"("sku": "0x11")", R"("sku": 51)", "sku: SKU 0x00000033 is not among skus[]"},
        {R"({"id": 34, "files": []})", R"({"id": 17, "files": []})",
         "skus[1].id: SKU 0x00000011 is listed twice"},
        {R"("size": 65536)", R"("size": 65537)", "afs.size: 65537 is not a multiple of 8192"},
        {R"("tool": {"hex": "6777"})", R"("tool": {"hex": "677"})",
         "nvars[0].tool.hex: an odd number of hex digits"},
        {R"("sku": "0x11",)", R"("sku": "0x11", "version": 2,)",
         "version: 2 is not supported: this quorstore reads version 1"},
        {R"("sku": "0x11",)", R"("sku": "0x11", "version": 1,)", ""},
        {R"("tool": {"hex": "6777"})", R"("tool": {"path": "no-such-file.bin"})",
         "nvars[0].tool.path: cannot read \"no-such-file.bin\""},
        // Raw files: on a region the image has, at an index it has, once each.
        {R"("nvars": [)", R"("files": [{"fs": "afs", "index": 127, "content": "x"}], "nvars": [)",
         ""},
        {R"("nvars": [)", R"("files": [{"fs": "afs", "index": 128, "content": "x"}], "nvars": [)",
         "files[0].index: AFS index 128 is not below afs.files 128"},
        {R"("nvars": [)", R"("files": [{"fs": "efs", "index": 3, "content": "x"}], "nvars": [)",
         "files[0].index: EFS index 3 is not an EFS file of SKU 0x00000011"},
        {R"("nvars": [)",
         R"("files": [{"fs": "efs", "index": 2, "content": "seventeen bytes.."}], "nvars": [)",
         "files[0].content: 17 bytes is longer than the 16 bytes it can hold"},
        {R"("nvars": [)",
         R"("files": [{"fs": "afs", "index": 5, "content": "a"},
                      {"fs": "afs", "index": 5, "content": "b"}], "nvars": [)",
         "files[1].index: AFS index 5 is already files[0]"},
        {R"("nvars": [)", R"("files": [{"fs": "nfs", "index": 5, "content": "a"}], "nvars": [)",
         "files[0].fs: expected \"afs\" or \"efs\", got \"nfs\""},
        {R"("deployed": true,)", R"("deployed": true, "colour": 1,)",
         "(top): unknown field \"colour\""},
        {R"("index": 16, "storage": "afs")", R"("index": 0, "storage": "afs")",
         "AFS index 0 with tag nibble 0 is file number 0"},
        {R"("sku": "0x11",)", R"("sku": "0x11", "deploy_marker": {"fileno": 4097, "index": 9},)",
         "deploy_marker: the deploy marker's entry (fileno 0x00001001, AFS index 9) collides "
         "with skus[0].files[1]"},
    };
    for (const Case &c : cases) {
        const std::string e = error_of(replaced(kValid, c.from, c.to));
        if (c.expected.empty()) {
            EXPECT_EQ(e, "") << c.to;
        } else {
            EXPECT_NE(e.find(c.expected), std::string::npos)
                << "description with " << c.to << "\n  expected: " << c.expected
                << "\n  got:      " << e;
        }
    }
}

TEST(QuorstoreDescription, WrittenDescriptionParsesBackToTheSameImage) {
    ImageDescription d = parse_description(kValid, "d.json");
    d.files.push_back(RawFileDescription{StorageKind::kEfs, 2, Bytes{0, 1, 2}});
    d.files.push_back(RawFileDescription{StorageKind::kAfs, 100, text_bytes("raw")});
    d.nvars[1].default_value = Bytes{'S', 0};  // not text: written as hex
    const auto inline_content = [](const RawFileDescription &f) { return value_json(f.content); };
    const nlohmann::ordered_json written = description_json(d, inline_content);
    EXPECT_EQ(written.begin().key(), "version");
    EXPECT_EQ(written["nvars"][1]["default"].dump(), R"({"hex":"5300"})");
    const ImageDescription back = parse_description(written.dump(), "written.json");
    EXPECT_EQ(description_json(back, inline_content), written);
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files[0].content, (Bytes{0, 1, 2}));
    EXPECT_EQ(back.skus[0].files[2].storage, StorageKind::kTable);
}

TEST(QuorstoreDescription, SkuOverrideSelectsAnotherSkuOrIsRefused) {
    // SKU 34 has no files, so the NVARs naming SKU 17's files are refused.
    try {
        parse_description(kValid, "d.json", 34u);
        FAIL() << "NVARs of another SKU were accepted";
    } catch (const ToolError &e) {
        EXPECT_NE(e.lines()[0].find("is not a file of SKU 0x00000022"), std::string::npos)
            << e.lines()[0];
    }
}

}  // namespace
}  // namespace quorstore

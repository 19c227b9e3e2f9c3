#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "image_editor/Directory.h"
#include "image_editor/File.h"
#include "image_editor/FileIterator.h"
#include "include/quorstorage/quorstorage.h"
#include "tests/fcs/fcs_fixture.h"

using image_editor::Directory;
using image_editor::File;
using image_editor::FileIterator;
using image_editor::IFile;
using Bytes = std::vector<uint8_t>;

namespace {

// A blob whose header claims `dataSize` bytes of payload.
Bytes blob(const Bytes &payload, uint16_t dataSize, uint32_t fileno = 1) {
    Bytes b = fcs_fixture::blob(fileno, payload);
    quor::store_le16(&b[8], dataSize);
    return b;
}

std::shared_ptr<IFile> file(const std::string &name, const Bytes &payload = {}) {
    const Bytes b = blob(payload, static_cast<uint16_t>(payload.size()));
    return std::make_shared<File>(b.data(), static_cast<uint32_t>(b.size()), name.c_str());
}

std::shared_ptr<Directory> dir(const char *name) {
    auto d = std::make_shared<Directory>();
    std::snprintf(d->name, sizeof d->name, "%s", name);
    return d;
}

std::vector<std::string> names(const Directory &d) {
    std::vector<std::string> out;
    for (const auto &child : d.children) {
        out.emplace_back(child->nameView());
    }
    return out;
}

TEST(FileNode, CopiesItsBlobAndFixesDataSize) {
    const Bytes lying = blob(Bytes(8, 0xAB), 99);
    File fixed(lying.data(), 20, std::string(50, 'n').c_str());
    EXPECT_FALSE(fixed.isDirectory());
    EXPECT_EQ(fixed.getSize(), 20u);
    EXPECT_EQ(quor::load_le16(&fixed.data[8]), 8u);
    EXPECT_EQ(quor::load_le16(&lying[8]), 99u) << "the caller's blob was changed";
    EXPECT_EQ(std::string(fixed.nameView()), std::string(48, 'n'));
    EXPECT_THROW(File(lying.data(), 11, "short"), std::invalid_argument);

    std::shared_ptr<IFile> out = file("keep");
    EXPECT_FALSE(fixed.addFile("", file("x")));
    EXPECT_FALSE(fixed.getFile("n", &out));
    EXPECT_EQ(std::string(out->nameView()), "keep");

    File empty(lying.data(), 12, "e");
    std::vector<_cfg_file_entry_t> entries;
    Bytes area;
    empty.serialize(entries, area);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data_size, 0u);
    EXPECT_TRUE(area.empty());
}

TEST(DirectoryNode, KeepsChildrenInUnsignedByteOrderHoweverAdded) {
    Directory d;
    for (const char *name : {"b", "a", "B", "ab", "\xC3\xA9", "A"}) {
        ASSERT_TRUE(d.addFile("ignored", file(name)));
    }
    EXPECT_EQ(names(d), (std::vector<std::string>{"A", "B", "a", "ab", "b", "\xC3\xA9"}));
    EXPECT_FALSE(d.addFile("", nullptr));
    EXPECT_TRUE(image_editor::fileCompare(file("a"), file("ab")));

    std::mt19937 rng(11);
    Directory single, bulk;
    std::vector<std::shared_ptr<IFile>> batch;
    for (int i = 0; i < 300; ++i) {
        const std::string name = std::to_string(rng() % 100000);
        single.addFile("", file(name));
        if (i < 100) {
            bulk.addFile("", file(name));
        } else {
            batch.push_back(file(name));
        }
    }
    bulk.addFiles(batch);
    EXPECT_EQ(names(single), names(bulk));
}

// Names arriving in order (the usual way stores are built), equal names, and
// names arriving before the last: the same order as sorting, and every name
// found, whichever way it was added.
TEST(DirectoryNode, InOrderAndOutOfOrderAdditionsGiveTheSortedChildren) {
    const std::vector<std::string> arrivals = {"a", "b", "b", "c", "ba", "d", "0", "d", "e", "a"};
    Directory d;
    std::vector<std::string> sorted;
    for (const std::string &name : arrivals) {
        ASSERT_TRUE(d.addFile("", file(name)));
        sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), name), name);
        EXPECT_EQ(names(d), sorted) << "after " << name;
    }
    std::shared_ptr<IFile> out;
    for (const std::string &name : arrivals) {
        ASSERT_TRUE(d.getFile(name, &out)) << name;
        EXPECT_EQ(out->nameView(), name);
    }
    for (const char *absent : {"", "00", "bb", "dd", "f", "zz"}) {
        EXPECT_FALSE(d.getFile(absent, &out)) << absent;
        EXPECT_FALSE(d.deleteFile(absent)) << absent;
    }
    EXPECT_TRUE(d.deleteFile("e"));  // the last child
    EXPECT_FALSE(d.getFile("e", &out));
    EXPECT_TRUE(d.getFile("d", &out));
}

TEST(DirectoryNode, GetAndDeleteFollowTheirPathRules) {
    auto root = std::make_shared<Directory>();
    auto sub = dir("D");
    sub->addFile("", file("z"));
    sub->addFile("", file("y"));
    root->addFile("", sub);
    root->addFile("", file("f"));
    std::shared_ptr<IFile> out;
    EXPECT_TRUE(root->getFile("f", &out));
    EXPECT_EQ(std::string(out->nameView()), "f");
    EXPECT_FALSE(root->getFile("f/", &out));
    EXPECT_FALSE(root->getFile("D/z", &out));
    EXPECT_FALSE(root->getFile("f", nullptr));

    for (const char *refused : {"", "/f", "f/more", "q"}) {
        EXPECT_FALSE(root->deleteFile(refused)) << refused;
    }
    EXPECT_EQ(names(*root), (std::vector<std::string>{"D", "f"}));
    EXPECT_TRUE(root->deleteFile("D/z"));
    EXPECT_EQ(names(*sub), std::vector<std::string>{"y"});
    EXPECT_TRUE(root->deleteFile("f/"));
    EXPECT_EQ(names(*root), std::vector<std::string>{"D"});
}

TEST(DirectoryNode, SerializeListsPreOrderWithDataAreaOffsets) {
    Directory root;
    EXPECT_EQ(root.getSize(), 0u);
    auto y = file("y", {4, 5});
    auto x = file("x", {1, 2, 3});
    root.addFile("", y);
    root.addFile("", x);
    EXPECT_EQ(root.getSize(), 29u);
    std::vector<_cfg_file_entry_t> entries;
    Bytes area;
    root.serialize(entries, area);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].data_offset, 3u);
    EXPECT_EQ(area, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(quor::load_le32(&y->data[4]), 3u) << "node header not updated";

    const Bytes header = blob({}, 0, 9);  // a named directory: own entry, no bytes
    auto named = std::make_shared<Directory>(header.data(), 12);
    std::snprintf(named->name, sizeof named->name, "N");
    named->addFile("", file("k", {7}));
    Directory top;
    top.addFile("", named);
    entries.clear();
    area.clear();
    top.serialize(entries, area);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].fileno, 9u);
    EXPECT_EQ(area, Bytes{7});
}

std::vector<std::string> walk(FileIterator &it) {
    std::vector<std::string> seen;
    for (std::string s = it.firstFile(); !s.empty() && seen.size() < 20; s = it.nextFile()) {
        seen.push_back(s);
    }
    return seen;
}

TEST(FileIteratorWalk, EmptyNonDirectoryAndFlatRoots) {
    FileIterator empty(std::make_shared<Directory>());
    EXPECT_EQ(empty.firstFile(), "");
    EXPECT_EQ(empty.nextFile(), "");
    FileIterator notADirectory(file("solo"));
    EXPECT_EQ(notADirectory.nextFile(), "");
    auto root = std::make_shared<Directory>();
    root->addFile("", file("y"));
    root->addFile("", file("x"));
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "y") << "construction stands at the first child";
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(walk(it), (std::vector<std::string>{"x", "y"}));
}

// Root: A, D { z }, E (empty), F; with `linked`, D's parent and z's path set.
TEST(FileIteratorWalk, NestedTreeWithAndWithoutParentAndPath) {
    for (const bool linked : {true, false}) {
        auto root = std::make_shared<Directory>();
        auto d = dir("D");
        auto z = file("z");
        d->addFile("", z);
        for (const auto &child :
             {file("F"), std::shared_ptr<IFile>(dir("E")), std::shared_ptr<IFile>(d), file("A")}) {
            root->addFile("", child);
        }
        if (linked) {
            d->parent = root.get();
            z->path = "D";
        }
        FileIterator it(root);
        const auto expected = linked ? std::vector<std::string>{"A", "D", "D/z", "E", "F"}
                                     : std::vector<std::string>{"A", "D", "z"};
        EXPECT_EQ(walk(it), expected) << (linked ? "linked" : "unlinked");
        EXPECT_EQ(it.firstFile(), "A") << "restart after the end";
    }
}

TEST(FileIteratorWalk, ClimbsSeveralLevelsAtOnce) {
    auto root = std::make_shared<Directory>();
    auto a = dir("a");
    auto b = dir("b");
    auto c = file("c");
    b->addFile("", c);
    a->addFile("", b);
    root->addFile("", a);
    root->addFile("", file("d"));
    a->parent = root.get();
    b->parent = a.get();
    b->path = "a";
    c->path = "a/b";
    FileIterator it(root);
    EXPECT_EQ(walk(it), (std::vector<std::string>{"a", "a/b", "a/b/c", "d"}));
}

}  // namespace

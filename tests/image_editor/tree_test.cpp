#include <gtest/gtest.h>

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

using image_editor::Directory;
using image_editor::File;
using image_editor::FileIterator;
using image_editor::IFile;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes blob(uint32_t fileno, const Bytes &payload, uint16_t dataSize) {
    Bytes b(12 + payload.size(), 0);
    quor::store_le32(&b[0], fileno);
    quor::store_le16(&b[8], dataSize);
    for (size_t i = 0; i < payload.size(); ++i) {
        b[12 + i] = payload[i];
    }
    return b;
}

std::shared_ptr<IFile> file(const std::string &name, const Bytes &payload = {}) {
    const Bytes b = blob(1, payload, static_cast<uint16_t>(payload.size()));
    return std::make_shared<File>(b.data(), static_cast<uint32_t>(b.size()), name.c_str());
}

std::vector<std::string> childNames(const Directory &dir) {
    std::vector<std::string> names;
    for (const auto &child : dir.children) {
        names.emplace_back(child->nameView());
    }
    return names;
}

TEST(FileNode, CopiesItsBlobAndFixesDataSize) {
    const Bytes twelve = blob(5, {}, 0);
    File empty(twelve.data(), 12, "e");
    EXPECT_FALSE(empty.isDirectory());
    EXPECT_EQ(empty.getSize(), 12u);
    std::vector<_cfg_file_entry_t> entries;
    Bytes area;
    empty.serialize(entries, area);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fileno, 5u);
    EXPECT_TRUE(area.empty());

    const Bytes lying = blob(6, Bytes(8, 0xAB), 99);
    File fixed(lying.data(), 20, "f");
    EXPECT_EQ(quor::load_le16(&fixed.data[8]), 8u);
    EXPECT_EQ(quor::load_le16(&lying[8]), 99u) << "the caller's blob was changed";
    EXPECT_EQ(fixed.entry, reinterpret_cast<_cfg_file_entry_t *>(fixed.data.data()));

    const std::string fifty(50, 'n');
    File longName(twelve.data(), 12, fifty.c_str());
    EXPECT_EQ(std::string(longName.nameView()), fifty.substr(0, 48));
    EXPECT_THROW(File(twelve.data(), 11, "short"), std::invalid_argument);

    std::shared_ptr<IFile> out = file("keep");
    EXPECT_FALSE(fixed.addFile("", file("x")));
    EXPECT_FALSE(fixed.deleteFile("f"));
    EXPECT_FALSE(fixed.getFile("f", &out));
    EXPECT_EQ(std::string(out->nameView()), "keep");
}

TEST(DirectoryNode, KeepsChildrenInUnsignedByteOrder) {
    Directory dir;
    for (const char *name : {"b", "a", "B", "ab", "\xC3\xA9", "A"}) {
        ASSERT_TRUE(dir.addFile("ignored", file(name)));
    }
    EXPECT_EQ(childNames(dir), (std::vector<std::string>{"A", "B", "a", "ab", "b", "\xC3\xA9"}));
    EXPECT_FALSE(dir.addFile("", nullptr));
    EXPECT_TRUE(image_editor::fileCompare(file("a"), file("ab")));
    EXPECT_FALSE(image_editor::fileCompare(file("ab"), file("a")));
}

TEST(DirectoryNode, AddingManyAtOnceOrdersLikeAddingOneByOne) {
    std::mt19937 rng(11);
    Directory single;
    Directory bulk;
    std::vector<std::shared_ptr<IFile>> batch;
    for (int i = 0; i < 300; ++i) {
        const std::string name = std::to_string(rng() % 100000);
        single.addFile("", file(name));
        (i < 100 ? bulk.addFile("", file(name)) : (batch.push_back(file(name)), true));
    }
    bulk.addFiles(batch);
    EXPECT_EQ(childNames(single), childNames(bulk));
}

TEST(DirectoryNode, GetFileMatchesWholeNamesOnly) {
    Directory dir;
    dir.addFile("", file("x"));
    std::shared_ptr<IFile> out;
    EXPECT_TRUE(dir.getFile("x", &out));
    EXPECT_EQ(std::string(out->nameView()), "x");
    EXPECT_FALSE(dir.getFile("x/", &out));
    EXPECT_FALSE(dir.getFile("y/x", &out));
    EXPECT_FALSE(dir.getFile("x", nullptr));
}

TEST(DirectoryNode, DeleteFileSplitsAtTheFirstSlash) {
    auto root = std::make_shared<Directory>();
    auto sub = std::make_shared<Directory>();
    std::snprintf(sub->name, sizeof sub->name, "D");
    sub->addFile("", file("z"));
    sub->addFile("", file("y"));
    root->addFile("", sub);
    root->addFile("", file("f"));
    root->addFile("", file("g"));

    EXPECT_FALSE(root->deleteFile(""));
    EXPECT_FALSE(root->deleteFile("/f"));
    EXPECT_FALSE(root->deleteFile("f/more"));
    EXPECT_FALSE(root->deleteFile("q"));
    EXPECT_EQ(childNames(*root), (std::vector<std::string>{"D", "f", "g"}));
    EXPECT_TRUE(root->deleteFile("D/z"));
    EXPECT_EQ(childNames(*sub), std::vector<std::string>{"y"});
    EXPECT_TRUE(root->deleteFile("f/"));
    EXPECT_EQ(childNames(*root), (std::vector<std::string>{"D", "g"}));
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
    EXPECT_EQ(entries[0].data_offset, 0u);
    EXPECT_EQ(entries[1].data_offset, 3u);
    EXPECT_EQ(area, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(quor::load_le32(&x->data[4]), 0u);
    EXPECT_EQ(quor::load_le32(&y->data[4]), 3u);

    // A named directory lists its own header (offset 0) and adds no bytes.
    const Bytes dirBlob = blob(9, {}, 0);
    auto named = std::make_shared<Directory>(dirBlob.data(), 12);
    std::snprintf(named->name, sizeof named->name, "N");
    named->addFile("", file("k", {7}));
    Directory top;
    top.addFile("", named);
    entries.clear();
    area.clear();
    top.serialize(entries, area);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].fileno, 9u);
    EXPECT_EQ(entries[0].data_offset, 0u);
    EXPECT_EQ(area, Bytes{7});
}

// Root: A (file), D (directory holding z), E (empty directory), F (file).
struct Tree {
    std::shared_ptr<Directory> root = std::make_shared<Directory>();
    std::shared_ptr<Directory> d = std::make_shared<Directory>();
    std::shared_ptr<IFile> z = file("z");

    explicit Tree(bool linked) {
        std::snprintf(d->name, sizeof d->name, "D");
        auto e = std::make_shared<Directory>();
        std::snprintf(e->name, sizeof e->name, "E");
        d->addFile("", z);
        root->addFile("", file("F"));
        root->addFile("", e);
        root->addFile("", d);
        root->addFile("", file("A"));
        if (linked) {
            d->parent = root.get();
            z->path = "D";
        }
    }
};

std::vector<std::string> walk(FileIterator &it) {
    std::vector<std::string> seen;
    for (std::string s = it.firstFile(); !s.empty(); s = it.nextFile()) {
        seen.push_back(s);
        if (seen.size() > 20) {
            break;
        }
    }
    return seen;
}

TEST(FileIteratorWalk, EmptyRootAndFlatTree) {
    FileIterator empty(std::make_shared<Directory>());
    EXPECT_EQ(empty.firstFile(), "");
    EXPECT_EQ(empty.nextFile(), "");
    FileIterator notADirectory(file("solo"));
    EXPECT_EQ(notADirectory.firstFile(), "");
    EXPECT_EQ(notADirectory.nextFile(), "");

    auto root = std::make_shared<Directory>();
    root->addFile("", file("y"));
    root->addFile("", file("x"));
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "y") << "construction stands at the first child";
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(walk(it), (std::vector<std::string>{"x", "y"}));
}

TEST(FileIteratorWalk, NestedTreeWithParentAndPathGivesFullPaths) {
    Tree tree(true);
    FileIterator it(tree.root);
    EXPECT_EQ(walk(it), (std::vector<std::string>{"A", "D", "D/z", "E", "F"}));
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(it.firstFile(), "A") << "restart after the end";
}

TEST(FileIteratorWalk, NestedTreeWithoutParentStopsAtTheEndOfTheSubdirectory) {
    Tree tree(false);
    FileIterator it(tree.root);
    EXPECT_EQ(walk(it), (std::vector<std::string>{"A", "D", "z"}));
}

TEST(FileIteratorWalk, ClimbsSeveralLevelsAtOnce) {
    // root: a/ { b/ { c } }, d  — after c the walk climbs two levels to d.
    auto root = std::make_shared<Directory>();
    auto a = std::make_shared<Directory>();
    auto b = std::make_shared<Directory>();
    std::snprintf(a->name, sizeof a->name, "a");
    std::snprintf(b->name, sizeof b->name, "b");
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
    EXPECT_EQ(c->getFullPath(), "a/b/c");
}

}  // namespace

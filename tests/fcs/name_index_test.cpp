// The flat name index against a map built from the same insertions: every
// name found, absent names not, the first record of a name kept, across the
// growths of the array.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fcs/NameIndex.h"

namespace {

struct Named {
    std::string name;
    int serial;
};

struct NameOf {
    std::string_view operator()(const Named *record) const { return record->name; }
};

using Index = quor::fcs::NameIndex<Named, NameOf>;

TEST(NameIndex, EmptyIndexFindsNothing) {
    Index index;
    EXPECT_EQ(index.find(""), nullptr);
    EXPECT_EQ(index.find("a"), nullptr);
    index.reserve(100);
    EXPECT_EQ(index.find("a"), nullptr);
    EXPECT_EQ(index.size(), 0u);
}

TEST(NameIndex, AnswersLikeAMapKeepingTheFirstRecordOfEachName) {
    std::mt19937 rng(5);
    std::vector<std::unique_ptr<Named>> records;
    std::map<std::string, const Named *, std::less<>> reference;
    Index index;
    for (int i = 0; i < 5000; ++i) {
        // Names of 0 to 20 characters from a small alphabet: many repeats,
        // prefixes of each other, and the empty name.
        std::string name(rng() % 21, ' ');
        for (char &c : name) {
            c = "ab/\0"[rng() % 4];
        }
        records.push_back(std::make_unique<Named>(Named{name, i}));
        const bool fresh = reference.emplace(name, records.back().get()).second;
        ASSERT_EQ(index.insert(records.back().get()), fresh) << i;
        ASSERT_EQ(index.size(), reference.size());
        if (i % 500 == 0) {
            for (const auto &[key, record] : reference) {
                ASSERT_EQ(index.find(key), record) << i;
            }
        }
    }
    for (const auto &[key, record] : reference) {
        EXPECT_EQ(index.find(key), record);
    }
    for (const char *absent : {"c", "ab/c", "aaaaaaaaaaaaaaaaaaaaaa"}) {
        EXPECT_EQ(index.find(absent), nullptr) << absent;
    }
}

TEST(NameIndex, ReserveKeepsWhatIsIndexed) {
    std::vector<Named> records;
    for (int i = 0; i < 40; ++i) {
        records.push_back({"/home/n" + std::to_string(i), i});
    }
    Index index;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(index.insert(&records[static_cast<size_t>(i)]));
    }
    index.reserve(10000);
    for (int i = 20; i < 40; ++i) {
        ASSERT_TRUE(index.insert(&records[static_cast<size_t>(i)]));
    }
    for (const Named &r : records) {
        const Named *found = index.find(r.name);
        ASSERT_NE(found, nullptr) << r.name;
        EXPECT_EQ(found->serial, r.serial);
    }
    EXPECT_EQ(index.size(), 40u);
}

}  // namespace

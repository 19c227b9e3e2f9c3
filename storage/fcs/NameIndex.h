// An index by name of records that hold their own names.
//
// One flat array of (hash, record) slots with linear probing, kept at most
// half full: a lookup reads one or two neighbouring slots and compares names
// only where the full hashes agree, so it touches the record it returns and
// little else. The node-based maps this replaces cost an allocation per name
// and a pointer chase per probe, which for stores of many thousands of names
// (larger than the caches) made every lookup a series of cache misses.
//
// The index does not own the records; a record's name must not change while
// it is indexed. Among records of equal names the first inserted stays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace quor::fcs {

// `KeyOf` is a function object giving a record's name: std::string_view(const Record *).
template <class Record, class KeyOf>
class NameIndex {
  public:
    // Room for `count` names without growing.
    void reserve(std::size_t count) {
        if (capacity_for(count) > slots_.size()) {
            rehash(capacity_for(count));
        }
    }

    // Adds `record` under its name; false (nothing changed) when a record of
    // that name is indexed already. Throws std::bad_alloc when it cannot grow.
    bool insert(Record *record) {
        reserve(size_ + 1);
        const std::string_view key = KeyOf()(record);
        const uint64_t hash = hash_of(key);
        Slot &slot = slots_[position(key, hash)];
        if (slot.record != nullptr) {
            return false;
        }
        slot.hash = hash;
        slot.record = record;
        ++size_;
        return true;
    }

    // The record named `key`, or null.
    Record *find(std::string_view key) const {
        if (size_ == 0) {
            return nullptr;
        }
        return slots_[position(key, hash_of(key))].record;
    }

    std::size_t size() const { return size_; }

  private:
    struct Slot {
        uint64_t hash = 0;
        Record *record = nullptr;  // null: empty
    };

    static uint64_t hash_of(std::string_view key) { return std::hash<std::string_view>()(key); }

    // A power of two at least twice `count` (16 at least).
    static std::size_t capacity_for(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < 2 * count) {
            capacity *= 2;
        }
        return capacity;
    }

    // Position of the slot holding `key`, or of the empty slot where it would
    // go. There is always an empty slot: the array is never more than half full.
    std::size_t position(std::string_view key, uint64_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
            const Slot &slot = slots_[i];
            if (slot.record == nullptr || (slot.hash == hash && KeyOf()(slot.record) == key)) {
                return i;
            }
        }
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        const std::size_t mask = capacity - 1;
        for (const Slot &slot : old) {
            if (slot.record == nullptr) {
                continue;
            }
            std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
            while (slots_[i].record != nullptr) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace quor::fcs

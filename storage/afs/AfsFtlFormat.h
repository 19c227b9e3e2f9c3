// On-flash format of the AFS flash translation layer: the erase-unit header,
// the slot table and page records of dynamic units, the status bytes and
// records of reserved units, and the limits of the geometry. Every piece of
// the FTL reads and writes flash through these constants and accessors.
#pragma once

#include <cstdint>
#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "common/bytes.h"

namespace quor::afs::ftl {

// Erase unit header (bytes 0..17 of every unit), little-endian:
//   0  u32 magic          kUnitMagic in use, 0 for the spare
//   4  u32 sequence       generation, never 0; highest = newest
//   8  u32 erase count    never 0
//  12  u16 spare-at-write index of the spare when the header was written
//  14  u16 reserved base  first page of a reserved unit; 0 = dynamic
//  16  u8  checksum       crc8 of bytes 0..15 computed with kUnitMagic
//  17  u8  commit         0xFF open (reclaim under way), 0x00 committed
// Dynamic unit: slot table E[0..120] (u16) at 18; record k (64 data bytes +
//   crc16 with the page number as tail) at 260 + 66k, k < 120.
// Reserved unit: status bytes S[0..121] at 18 (0xFF free, 0x7F started,
//   0x00 written); record s at 140 + 66s.
inline constexpr uint32_t kUnitMagic = 0xAA557887;
inline constexpr uint32_t kMagicLegacyA = 0x82416801;
inline constexpr uint32_t kMagicLegacyB = 0xAA050887;
inline constexpr uint32_t kSpareMagic = 0;

inline constexpr uint32_t kHdrMagic = 0;
inline constexpr uint32_t kHdrSequence = 4;
inline constexpr uint32_t kHdrEraseCount = 8;
inline constexpr uint32_t kHdrSpareAtWrite = 12;
inline constexpr uint32_t kHdrReservedBase = 14;
inline constexpr uint32_t kHdrChecksum = 16;
inline constexpr uint32_t kHdrCommit = 17;
inline constexpr uint32_t kHdrChecksummed = 16;  // bytes covered by the checksum
inline constexpr uint32_t kHdrWritten = 17;      // bytes written before the commit byte
inline constexpr uint32_t kHdrScan = 20;         // header plus E[0]
inline constexpr uint8_t kCommitted = 0x00;
inline constexpr uint8_t kOpen = 0xFF;

inline constexpr uint32_t kSlotTable = 18;
inline constexpr uint32_t kSlotEntries = 121;
inline constexpr uint32_t kDynamicRecords = 260;
inline constexpr uint16_t kEntryUnused = 0xFFFF;
inline constexpr uint16_t kEntryCommitBit = 0x8000;
inline constexpr uint16_t kEntryCommittedUnused = 0x7FFF;
inline constexpr uint8_t kCommitMark = 0x7F;

inline constexpr uint32_t kStatusBytes = 18;
inline constexpr uint32_t kReservedRecords = 140;
inline constexpr uint8_t kSlotFree = 0xFF;
inline constexpr uint8_t kSlotStarted = 0x7F;
inline constexpr uint8_t kSlotWritten = 0x00;

inline constexpr uint32_t kMaxDynamicPages = 0x10000;  // page numbers are 16 bits
inline constexpr uint32_t kMaxUnits = 255;

static_assert(kReservedRecords + kFtlReservedSlots * kFtlRecordSize == kFtlUnitSize,
              "reserved records end at the unit end");
static_assert(kDynamicRecords + kFtlDynamicSlots * kFtlRecordSize <= kFtlUnitSize,
              "dynamic records fit the unit");

struct UnitHeader {
    uint32_t magic;
    uint32_t sequence;
    uint32_t eraseCount;
    uint16_t spareAtWrite;
    uint16_t reservedBase;
    uint8_t checksum;
    uint8_t commit;
};

inline UnitHeader parse_header(const uint8_t *raw) {
    UnitHeader h{};
    h.magic = quor::load_le32(raw + kHdrMagic);
    h.sequence = quor::load_le32(raw + kHdrSequence);
    h.eraseCount = quor::load_le32(raw + kHdrEraseCount);
    h.spareAtWrite = quor::load_le16(raw + kHdrSpareAtWrite);
    h.reservedBase = quor::load_le16(raw + kHdrReservedBase);
    h.checksum = raw[kHdrChecksum];
    h.commit = raw[kHdrCommit];
    return h;
}

// crc8 of the first 16 header bytes with `magic` in place of the stored one.
inline uint8_t header_checksum_with(const uint8_t *raw, uint32_t magic) {
    uint8_t bytes[kHdrChecksummed];
    std::memcpy(bytes, raw, kHdrChecksummed);
    quor::store_le32(bytes + kHdrMagic, magic);
    return static_cast<uint8_t>(crc8(bytes, kHdrChecksummed));
}

// Serializes a header (bytes 0..16) with its checksum over kUnitMagic.
inline void build_header(uint8_t *raw, uint32_t magic, uint32_t sequence, uint32_t eraseCount,
                         uint16_t spareAtWrite, uint16_t reservedBase) {
    quor::store_le32(raw + kHdrMagic, kUnitMagic);
    quor::store_le32(raw + kHdrSequence, sequence);
    quor::store_le32(raw + kHdrEraseCount, eraseCount);
    quor::store_le16(raw + kHdrSpareAtWrite, spareAtWrite);
    quor::store_le16(raw + kHdrReservedBase, reservedBase);
    raw[kHdrChecksum] = static_cast<uint8_t>(crc8(raw, kHdrChecksummed));
    quor::store_le32(raw + kHdrMagic, magic);
}

// Header validity test of the mount.
inline bool header_is_valid(const uint8_t *raw) {
    const UnitHeader h = parse_header(raw);
    if (h.sequence == 0 || h.eraseCount == 0) {
        return false;
    }
    switch (h.magic) {
        case kUnitMagic:
            return header_checksum_with(raw, kUnitMagic) == h.checksum;
        case kMagicLegacyA:
            return header_checksum_with(raw, kMagicLegacyA) == h.checksum ||
                   header_checksum_with(raw, kUnitMagic) == h.checksum;
        case kMagicLegacyB:
            return header_checksum_with(raw, kUnitMagic) == h.checksum;
        default:
            return false;
    }
}

inline uint32_t dynamic_record_offset(uint32_t slot) {
    return kDynamicRecords + kFtlRecordSize * slot;
}
inline uint32_t reserved_record_offset(uint32_t slot) {
    return kReservedRecords + kFtlRecordSize * slot;
}
inline uint32_t entry_offset(uint32_t slot) {
    return kSlotTable + 2 * slot;
}
// High byte of E[slot + 1]: its bit 7 is the commit mark of `slot`.
inline uint32_t commit_mark_offset(uint32_t slot) {
    return kSlotTable + 2 * (slot + 1) + 1;
}

// Builds a 66-byte page record: the data, then crc16 with the page number.
inline void build_record(uint8_t *record, const uint8_t *data, uint16_t page) {
    std::memcpy(record, data, kFtlPageSize);
    quor::store_le16(record + kFtlPageSize, quor::afs::crc16_of_record(data, page));
}

// The same record from the CRC-16 register after its 64 data bytes.
inline void build_record_from(uint8_t *record, const uint8_t *data, uint16_t dataCrc,
                              uint16_t page) {
    std::memcpy(record, data, kFtlPageSize);
    quor::store_le16(record + kFtlPageSize, quor::afs::crc16_of_record_from(dataCrc, page));
}

inline bool record_is_valid(const uint8_t *record, uint16_t page) {
    return quor::load_le16(record + kFtlPageSize) == quor::afs::crc16_of_record(record, page);
}

}  // namespace quor::afs::ftl

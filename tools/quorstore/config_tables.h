// What the two configuration tables (ostra.cfg: the vendor defaults,
// tavc.cfg: the tool's partition) must agree on with each other and with the
// file table (ftbl.bin): fsck's check of the pieces that carry no checksum of
// their own, so damage sealed into them before bundle.json was written is
// found.
//
// A configuration table is an FCS buffer: a u32 count N, N 12-byte entries
// (u32 file number, u32 payload offset from the buffer start, u16 payload
// size, u16 flags; flag bit 0: an NVAR) and the payloads. tavc.cfg wraps it
// in a 16-byte header whose u32 at byte 8 is the buffer's length.
//
// What must hold (opening the storage relies on it, and silently drops or
// ignores what breaks it):
//   - every entry's file number is listed in the SKU's file table (the load
//     skips an unknown number without a word: the NVAR vanishes);
//   - no two entries hold the same file (the load refuses the table);
//   - an NVAR's file-table name starts with "/home/" (every lookup adds that
//     prefix to a name without it, so it could never be found);
//   - a payload is at most its file's max_size (a commit refuses it; a
//     repair would give such a default back);
//   - every NVAR of tavc.cfg is an NVAR of ostra.cfg, and a file is an NVAR
//     in both or in neither (the current values take only the vendor
//     table's NVARs, with the tool's entry where it has one);
//   - the payloads lie one after the other from the end of the entries to
//     the end of the buffer, in entry order, as a commit and mkimage write
//     them (a damaged offset or size breaks that before any reader notices).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle.h"
#include "fsck.h"
#include "storage_session.h"

namespace quorstore {

struct FcsEntry {
    uint32_t fileno = 0;
    uint32_t data_offset = 0;
    uint16_t data_size = 0;
    uint16_t flags = 0;

    bool nvar() const;
};

struct FcsBuffer {
    std::vector<FcsEntry> entries;
    std::string problem;  // not empty: not a buffer a reader accepts
};

// Parses an FCS buffer as a reader does (count and entries inside the
// buffer, every non-empty payload inside it).
FcsBuffer parse_fcs_buffer(const uint8_t *data, size_t size);

// The FCS buffer of the tool's partition (tavc.cfg), or a problem.
FcsBuffer parse_tool_partition(const Bytes &partition);

// The findings of the rules above. `vendor` and `tool` may be null (piece
// absent, or an empty tavc.cfg: no tool partition); `table` is the file
// table of SKU `sku`.
std::vector<FsckFinding> check_config_tables(const Bytes *vendor, const Bytes *tool,
                                             const std::vector<FileTableEntry> &table,
                                             uint32_t sku);

}  // namespace quorstore

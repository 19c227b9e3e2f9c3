// FCS tables in memory: the storage interface's view of a configuration file
// store.
//
// An FcsTable holds one store (an FCS handle), the serialized bytes it was
// loaded from or saved to, and a doubly linked list of FcsFileEntry records,
// one per configuration file, each with its header, attributes, full path and,
// for NVARs, an owned copy of the value. Four tables exist process-wide: the
// vendor defaults (s_ostraCfgTable), the tool's configuration (s_tavCfgTable),
// the current values (s_currentValuesTable: the defaults overlaid by the tool's
// values) and the configuration built at commit (s_builtTavCfgTable), all held
// by the storage session (kamfs_session.h).
//
// A table owns its handle, its buffer and every entry linked into it. Entries
// are allocated with the C heap. Each table also keeps a private index from
// name to entry, so that lookups by name cost O(1) instead of a list walk; the
// index is maintained by the append and release operations below and always
// answers exactly what the walk from `head` would.
//
// Reports go through the status callback (kamfs_report.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/heap_fault.h"
#include "fcs/FCS.h"

// Every allocation of the tables goes through the heap seam
// (common/heap_fault.h), so that a test can make any one of them fail.

// Identifier of a storage table (FcsFileName).
typedef uint32_t FcsFileName;
// The three tables' ids are QUOR_TABLE_VENDOR, _TOOL and _CURRENT (quorstorage.h).
inline constexpr FcsFileName kFcsNoTable = 0x10000009;  // id of a table never reset

// Length of an entry's name field, terminator included.
inline constexpr size_t kFcsNameSize = 255;
// Size of cfg_file_info_t and of the _cfg_file_entry_t header at its front.
inline constexpr size_t kFcsInfoSize = 18;
inline constexpr size_t kFcsHeaderSize = 12;

#pragma pack(push, 1)
// One configuration file of a table (packed).
struct FcsFileEntry {
    uint8_t info[kFcsInfoSize];  // cfg_file_info_t as filled by getFileAttributes
    uint8_t *value;              // owned NVAR value, or null (always null when valueSize is 0)
    uint8_t spareFlag;           // 0 in every entry the library creates
    uint8_t hasValue;            // header flags bit 0: the file is an NVAR
    char name[kFcsNameSize];     // full path, NUL-terminated
    uint32_t valueSize;          // length of value
    uint8_t inTable;             // TAV_ERR_INITIALIZE_ERROR while linked into a table
    FcsFileEntry *prev;
    FcsFileEntry *next;
};
#pragma pack(pop)
static_assert(sizeof(FcsFileEntry) == 18 + 8 + 1 + 1 + 255 + 4 + 1 + 8 + 8, "packed entry");
static_assert(offsetof(FcsFileEntry, value) == 18, "packed entry");
static_assert(offsetof(FcsFileEntry, name) == 28, "packed entry");
static_assert(offsetof(FcsFileEntry, valueSize) == 283, "packed entry");
static_assert(sizeof(cfg_file_info_t) == kFcsInfoSize, "cfg_file_info_t is 18 bytes");

// One storage table. All zero = empty.
struct FcsTable {
    FcsHandle *handle;   // the store, or null
    FcsFileName id;      // set before a store is made from nothing; 0 when loaded from bytes
    uint32_t count;      // entries appended
    uint8_t *buffer;     // owned serialized FCS buffer, or null
    uint32_t size;       // length of buffer
    FcsFileEntry *head;  // first entry
    FcsFileEntry *tail;  // last entry
};

// Fields of an entry's info (little-endian, unaligned).
uint32_t fcsEntryFileno(const FcsFileEntry *entry);
uint16_t fcsEntryDataSize(const FcsFileEntry *entry);
uint16_t fcsEntryFlags(const FcsFileEntry *entry);
uint16_t fcsEntryAttributes(const FcsFileEntry *entry);
uint32_t fcsEntryMaxSize(const FcsFileEntry *entry);

// The four tables and the rest of the process-wide storage state belong to
// the one StorageSession (kamfs_session.h).

// Resets `table` to all zero (its name index emptied) and gives it `id`. Does
// not release anything: release first with kaMfsFreeFcsTable.
void kaMfsResetFcsTable(FcsTable *table, FcsFileName id);

// The storage table named by `id` (0x10000006..0x10000008), or null.
FcsTable *kaMfsTableById(FcsFileName id);

// Loads the entries of the FCS buffer in table->buffer/size: selects the file
// table first when s_quorLoadFileTable is set (TAV_ERR_FAILED_LOAD_FTBL_FILE on failure), builds
// the store (TAV_ERR_FAILED_CREATE_FCS_HANDLE), then appends one entry per file, with its value
// when `loadValues` is set and the file is an NVAR. On failure reports the step
// (TAV_ERR_INVALID_DATA_POINTER, TAV_ERR_OUT_OF_MEMORY, TAV_ERR_FAILED_GET_FILE_FROM_FCS,
// TAV_ERR_FAILED_GET_FILE_FILE_ATTRIBUTES_FROM) then TAV_ERR_FAILED_PROCESS_FCS_ENTRIES and returns
// false; entries appended so far stay in the table.
extern "C" bool kaMfsLoadFcsTableFiles(FcsTable *table, bool loadValues);

// The entry of `name` in table `id`; a name not starting with "/home/" is
// searched with that prefix. Null name: TAV_ERR_CORRUPTED_BUFFER_DETECTED "Invalid NVAR path";
// unknown id: TAV_ERR_INVALID_FCS_FILE. Null without a report when the storage is not initialised,
// the table is empty or the name is absent.
extern "C" FcsFileEntry *kaMfsFindFileEntryInTable(FcsFileName id, const char *name);

// A new, unlinked deep copy of `entry` (own value buffer), or null (null
// entry; allocation failure, reported as TAV_ERR_OUT_OF_MEMORY).
extern "C" FcsFileEntry *copyFileEntry(const FcsFileEntry *entry);

// Adds the unlinked `entry` to the store of `table` (addNewFile with
// `checkMaxSize`) and appends it; the table then owns it. False, with the
// entry still owned by the caller, when: the table has no store or entry is
// null (assertion), the entry is linked elsewhere
// (TAV_ERR_FILEENTRY_ALREADY_BEING_USED_BY_ANOTHER), the name is already in the table
// (TAV_ERR_DETECTED_DUPLICATE_SPECIAL_FILE_LABEL_326), the blob cannot be built
// (TAV_ERR_OUT_OF_MEMORY), or the store refuses the file (no report of its own; a commit then
// aborts with TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE).
extern "C" bool kaMfsAddNewFileFcs(FcsTable *table, FcsFileEntry *entry, bool checkMaxSize);
// kaMfsAddNewFileFcs with the file table searched through `fileTable`, an
// index of the selected table made for the current operation (same results).
bool kaMfsAddNewFileFcsIndexed(FcsTable *table, FcsFileEntry *entry, bool checkMaxSize,
                               const quor::fcs::FileTableIndex &fileTable);

// Rebuilds s_currentValuesTable: every NVAR of the vendor table, with the
// tool's value where the tool's table has a file of that name. False after
// reporting TAV_ERR_FAILED_CREATE_FCS_HANDLE and TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE when
// its store cannot be created.
extern "C" bool kaMfsGenerateFcsCurrentsTable();

// Serializes the store of `table` into a new table->buffer/size, the bytes flush writes. False
// after reporting TAV_ERR_FAILED_FLUSH_FCS_BUFFER_INTO_MEMORY (the status flush would give: 6 no
// store, 5 a buffer beyond 32-bit lengths, and then no buffer) or TAV_ERR_OUT_OF_MEMORY.
extern "C" bool kaMfsSerializeFcsTable(FcsTable *table);

// Releases `entry` and its value; nothing for null.
extern "C" void kaMfsFreeFileEntry(FcsFileEntry *entry);

// Closes the store, releases the buffer and every entry. `count` and `tail`
// keep their values; `head`, `handle`, `buffer` and `size` are cleared.
extern "C" void kaMfsFreeFcsTable(FcsTable *table);

// Moves the entries, buffer and size of `from` into `to` (which must be
// released first), with its name index; `from` keeps only its store and id.
void kaMfsMoveFcsTableContent(FcsTable *to, FcsTable *from);

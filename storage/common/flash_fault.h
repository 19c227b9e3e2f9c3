// Fault injection for the emulated flash drivers.
//
// Both flash drivers (the AFS SPI emulation and the EFS physical layer) apply
// every program (write) and erase through program() and erase() below, which
// normally just copy or fill the bytes. A test can arm one of two faults,
// counted over the program and erase operations of both drivers from the
// moment it is armed:
//
//   fail_at(k): the k-th operation (1-based) is refused; the driver returns
//               its failure status and changes nothing. Later operations
//               proceed normally.
//   cut_at(k, cut): power is cut during the k-th operation. What reaches the
//               flash is what a NOR part shows when its supply fails part-way
//               (see Cut): the bytes before the cut offset are done, the byte
//               at the cut may be half-programmed, and an erase may have
//               reached only some of its bytes. Every later program and
//               erase is silently dropped, as if the device were off. Reads
//               keep working so the test can inspect the aftermath.
//
// Operations are counted even when nothing is armed, so a test can run a
// workload once, read operation_count(), and then replay it with a cut at
// every k from 1 to that count. With record_operations(true) the seam also
// keeps the kind and length of each operation, so that a test can choose
// cut offsets that fit each one.
//
// Reads have a fault of their own, independent of the program/erase counter
// (arming one never resets the other). Both drivers call after_read() once
// per read, after copying the data. Reads are counted over both drivers only
// while a read fault is armed (disarmed, after_read is a single branch):
//
//   corrupt_reads(first, count): reads first .. first + count - 1 (1-based)
//               deliver their bytes with bit 0 of the last byte flipped (a
//               marginal cell); the driver still reports success.
//   fail_reads(first, count):   those reads return the driver's failure
//               status instead (the bytes are copied unchanged).
//
// disarm() and Guard clear both kinds of fault. The seam is process-wide,
// like the drivers.
//
// With record_calls(true) the seam keeps every call as a driver made it:
// reads (of the drivers that read through read() below), programs with their
// bytes, and erases, each with the place in the emulated flash. A benchmark
// replays them to time the driver traffic of a workload alone. Recording
// turns every read into a driver copy, unless the recording lends views
// (record_calls(true, true)): then a reader that looks at the flash in place
// when nothing is recorded does so here too, and the calls kept are exactly
// the driver calls of an unrecorded run.
//
// While nothing is armed and nothing is recorded, program(), erase() and
// read() take a fast path of one predictable branch: count, then copy or
// fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quor::flash_fault {

// What the byte at the cut offset holds after the cut.
enum class TornByte : uint8_t {
    kOld,      // the operation had not reached it
    kNew,      // it was finished just before the supply failed
    kSomeBits  // a random subset of the bits the operation changes has changed
};

// Which bytes of an interrupted erase are already erased.
enum class EraseShape : uint8_t {
    kPrefix,    // the bytes before the cut offset, the byte at it as TornByte says
    kScatter,   // about half of them, anywhere in the block
    kAllButFew  // all but one to four, which hold their old bytes (or some bits of them)
};

// How power fails inside the cut operation. Bytes are numbered from the
// start of the operation; an offset at or past its end cuts at its last
// byte. A program that stops part-way only clears bits (what a NOR cell does
// when programming stops early), an erase only sets them.
struct Cut {
    uint64_t offset = 0;      // bytes [0, offset) are done
    bool wrapOffset = false;  // take the offset modulo the operation's length
    TornByte torn = TornByte::kOld;
    EraseShape erase = EraseShape::kPrefix;
    uint64_t seed = 0;  // chooses the bits of kSomeBits and the bytes of the erase shapes
};

enum class OpKind : uint8_t { kProgram, kErase };

struct Operation {
    OpKind kind;
    uint32_t length;
};

// One driver call as record_calls keeps it.
enum class CallKind : uint8_t { kRead, kProgram, kErase };

struct Call {
    CallKind kind;
    uint32_t length;
    const uint8_t *place;  // the flash bytes the call touched
    size_t data;           // a program's bytes: offset into recorded_call_data()
};

namespace detail {

// True while nothing is armed, no cut has happened and nothing is recorded
// (programs and erases), and while no read fault is armed and no calls are
// recorded (reads).
extern bool g_plainOperations;
extern bool g_plainReads;
extern bool g_viewsLent;       // what reads_are_plain() answers
extern uint64_t g_operations;  // what operation_count() reports

bool program_slow(uint8_t *target, const uint8_t *data, size_t length);
bool erase_slow(uint8_t *target, size_t length, uint8_t erased);
bool read_slow(uint8_t *destination, const uint8_t *source, size_t length);

// Moves of up to 128 bytes as pieces of 16 (the last ones overlapping),
// every piece loaded before any is stored, so that a source overlapping the
// target is taken as it was. The drivers' copies are mostly one status byte,
// a two-byte slot entry or a 66-byte record, where a call of memmove costs
// more than the move, and a read-back compares the bytes right after.
struct Piece16 {
    uint64_t lo;
    uint64_t hi;
};

//
// The pieces from the front are stored first, then those from the back, so
// that the last `16 * kPieces / 2` bytes end up written by one store each: a
// read-back that compares them in pieces of 16 from the back (as the AFS
// write's does) loads each from a single store, which the CPU forwards,
// instead of waiting for overlapping stores to reach the cache.
template <size_t kPieces>
inline void move_pieces(uint8_t *to, const uint8_t *from, size_t length) {
    // Pieces [0, kPieces / 2) from the front, the others from the back.
    Piece16 p[kPieces];
    for (size_t i = 0; i < kPieces / 2; ++i) {
        std::memcpy(&p[i], from + 16 * i, 16);
        std::memcpy(&p[kPieces / 2 + i], from + length - 16 * (kPieces / 2 - i), 16);
    }
    for (size_t i = 0; i < kPieces / 2; ++i) {
        std::memcpy(to + 16 * i, &p[i], 16);
    }
    for (size_t i = 0; i < kPieces / 2; ++i) {
        std::memcpy(to + length - 16 * (kPieces / 2 - i), &p[kPieces / 2 + i], 16);
    }
}

inline void copy(uint8_t *to, const uint8_t *from, size_t length) {
    if (length <= 16) {
        if (length >= 8) {
            uint64_t a = 0;
            uint64_t b = 0;
            std::memcpy(&a, from, 8);
            std::memcpy(&b, from + length - 8, 8);
            std::memcpy(to, &a, 8);
            std::memcpy(to + length - 8, &b, 8);
        } else if (length >= 2) {
            uint8_t bytes[8];
            for (size_t i = 0; i < length; ++i) {
                bytes[i] = from[i];
            }
            for (size_t i = 0; i < length; ++i) {
                to[i] = bytes[i];
            }
        } else if (length == 1) {
            *to = *from;
        }
    } else if (length <= 32) {
        move_pieces<2>(to, from, length);
    } else if (length <= 64) {
        move_pieces<4>(to, from, length);
    } else if (length <= 128) {
        move_pieces<8>(to, from, length);
    } else {
        std::memmove(to, from, length);  // a program's source may overlap its target
    }
}

}  // namespace detail

// Used by the drivers: apply a program of `length` bytes of `data` at
// `target`, or an erase filling `length` bytes with `erased`. False when the
// operation is refused (the driver returns its failure status; nothing
// changed). After a cut both report success and change nothing.
inline bool program(uint8_t *target, const uint8_t *data, size_t length) {
    if (detail::g_plainOperations) {
        ++detail::g_operations;
        detail::copy(target, data, length);
        return true;
    }
    return detail::program_slow(target, data, length);
}

inline bool erase(uint8_t *target, size_t length, uint8_t erased) {
    if (detail::g_plainOperations) {
        ++detail::g_operations;
        std::memset(target, erased, length);
        return true;
    }
    return detail::erase_slow(target, length, erased);
}

// Called by a driver after a read copied `length` bytes to `data`: may flip
// one bit of them; true when the driver must report the read as failed.
bool after_read(void *data, size_t length);

// A driver's read of `length` bytes at `source` into `destination`: the copy,
// then after_read. False when the driver must report the read as failed.
inline bool read(uint8_t *destination, const uint8_t *source, size_t length) {
    if (detail::g_plainReads) {
        detail::copy(destination, source, length);
        return true;
    }
    return detail::read_slow(destination, source, length);
}

// True while a read needs no driver copy for the seam's sake: no read fault
// armed, and no calls recorded or a recording that lends views. Then a
// reader may look at the flash bytes in place, as the seam would neither
// count, change, fail nor record the read.
inline bool reads_are_plain() {
    return detail::g_viewsLent;
}

// Test controls.
void fail_at(uint64_t k);
void cut_at(uint64_t k);  // the old clean cut: half of the operation, then nothing
void cut_at(uint64_t k, const Cut &cut);
void corrupt_reads(uint64_t first, uint64_t count);
void fail_reads(uint64_t first, uint64_t count);
void disarm();               // no fault, counters reset, power on (recording stays as set)
uint64_t operation_count();  // program/erase operations since the last arm/disarm
uint64_t read_count();       // reads since a read fault was armed (0 when none is)
bool power_is_cut();         // true once a cut has happened

// Keeps (or stops keeping) the kind and length of every operation; turning
// it on clears what was kept.
void record_operations(bool on);
const std::vector<Operation> &recorded_operations();

// Keeps (or stops keeping) every driver call; turning it on clears what was
// kept. Reads are kept only from drivers that read through read(). With
// `lendViews`, reads_are_plain() stays true while no read fault is armed, so
// that the reads a reader makes in place are not driver calls.
void record_calls(bool on, bool lendViews = false);
const std::vector<Call> &recorded_calls();
const std::vector<uint8_t> &recorded_call_data();

// The result of a cut at `cut` of an operation turning `before` into
// `after` (same length, at least one byte): what the bytes hold when power
// fails there. Exposed so that a test can check the shapes directly.
void torn_result(const uint8_t *before, const uint8_t *after, uint8_t *out, size_t length,
                 OpKind kind, const Cut &cut);

// RAII guard that disarms on scope exit, so one test cannot leak a fault
// into the next.
class Guard {
  public:
    Guard() { disarm(); }
    ~Guard() {
        disarm();
        record_operations(false);
        record_calls(false);
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

}  // namespace quor::flash_fault

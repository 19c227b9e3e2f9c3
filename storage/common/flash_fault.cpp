#include "flash_fault.h"

#include <algorithm>
#include <cstring>

namespace quor::flash_fault {

namespace detail {

bool g_plainOperations = true;
bool g_plainReads = true;
bool g_viewsLent = true;
uint64_t g_operations = 0;

}  // namespace detail

namespace {

using detail::g_operations;

enum class Mode { kNone, kFail, kCut };

struct State {
    Mode mode = Mode::kNone;
    uint64_t target = 0;
    bool cut = false;
    bool halfway = false;  // cut_at(k): the offset is half of the operation's length
    Cut shape;
};

State g_state;

bool g_recording = false;
std::vector<Operation> g_recorded;

bool g_recordingCalls = false;
bool g_lendViews = false;  // record_calls(true, true)
std::vector<Call> g_calls;
std::vector<uint8_t> g_callData;

void record_call(CallKind kind, const uint8_t *place, size_t length, const uint8_t *data) {
    if (!g_recordingCalls) {
        return;
    }
    g_calls.push_back({kind, static_cast<uint32_t>(length), place, g_callData.size()});
    if (data != nullptr) {
        g_callData.insert(g_callData.end(), data, data + length);
    }
}

enum class ReadMode { kNone, kCorrupt, kFail };

struct ReadState {
    ReadMode mode = ReadMode::kNone;
    uint64_t first = 0;
    uint64_t count = 0;  // reads in the faulty window
    uint64_t seen = 0;   // reads since arming
};

ReadState g_read;

// After every change of the state above: whether the fast paths may run.
void refresh_plain() {
    detail::g_plainOperations =
        g_state.mode == Mode::kNone && !g_state.cut && !g_recording && !g_recordingCalls;
    detail::g_plainReads = g_read.mode == ReadMode::kNone && !g_recordingCalls;
    detail::g_viewsLent = g_read.mode == ReadMode::kNone && (!g_recordingCalls || g_lendViews);
}

void arm_reads(ReadMode mode, uint64_t first, uint64_t count) {
    g_read = ReadState{mode, first, count, 0};
    refresh_plain();
}

// splitmix64: a whole cut is reproducible from its seed alone.
class Bits {
  public:
    explicit Bits(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }

  private:
    uint64_t s_;
};

// The byte a cell holds when an operation from `before` to `after` stopped
// part-way: a program has cleared some of the bits it clears, an erase has
// set some of the bits it sets. When two or more bits change, the subset is
// proper and not empty, so that the byte is neither old nor new.
uint8_t some_bits(uint8_t before, uint8_t after, OpKind kind, Bits &bits) {
    const auto changing =
        static_cast<uint8_t>(kind == OpKind::kProgram ? before & ~after : ~before & after);
    auto subset = static_cast<uint8_t>(changing & bits.next());
    if (subset == 0 || subset == changing) {
        subset = static_cast<uint8_t>(changing & (~changing + 1));  // the lowest changing bit
    }
    return static_cast<uint8_t>(kind == OpKind::kProgram ? before & ~subset : before | subset);
}

uint8_t torn_byte(uint8_t before, uint8_t after, OpKind kind, TornByte torn, Bits &bits) {
    switch (torn) {
        case TornByte::kOld:
            return before;
        case TornByte::kNew:
            return after;
        case TornByte::kSomeBits:
            return some_bits(before, after, kind, bits);
    }
    return before;
}

// Bytes before the cut done, the byte at it torn, the rest untouched.
void cut_prefix(const uint8_t *before, const uint8_t *after, uint8_t *out, size_t length,
                OpKind kind, const Cut &cut, Bits &bits) {
    const uint64_t offset = cut.wrapOffset ? cut.offset % length : cut.offset;
    const size_t at = static_cast<size_t>(std::min<uint64_t>(offset, length - 1));
    std::memcpy(out, after, at);
    out[at] = torn_byte(before[at], after[at], kind, cut.torn, bits);
    std::memcpy(out + at + 1, before + at + 1, length - at - 1);
}

// An erase that reached about half of the bytes, anywhere; with kSomeBits a
// quarter of the others are partly erased.
void cut_scatter(const uint8_t *before, const uint8_t *after, uint8_t *out, size_t length,
                 const Cut &cut, Bits &bits) {
    for (size_t i = 0; i < length; ++i) {
        const uint64_t r = bits.next();
        if ((r & 1) != 0) {
            out[i] = after[i];
        } else if (cut.torn == TornByte::kSomeBits && (r & 6) == 0) {
            out[i] = some_bits(before[i], after[i], OpKind::kErase, bits);
        } else {
            out[i] = before[i];
        }
    }
}

// An erase that reached every byte but one to four.
void cut_all_but_few(const uint8_t *before, const uint8_t *after, uint8_t *out, size_t length,
                     const Cut &cut, Bits &bits) {
    std::memcpy(out, after, length);
    const size_t few = 1 + bits.below(4);
    for (size_t n = 0; n < few; ++n) {
        const size_t i = bits.below(length);
        out[i] = cut.torn == TornByte::kSomeBits
                     ? some_bits(before[i], after[i], OpKind::kErase, bits)
                     : before[i];
    }
}

// Counts one operation and decides it: true when it is to be applied in
// full, false when it changes nothing; *refused is set for fail_at, *torn for
// the cut operation.
bool admit(OpKind kind, size_t length, bool *refused, bool *torn) {
    *refused = false;
    *torn = false;
    if (g_state.cut) {
        return false;
    }
    ++g_operations;
    if (g_recording) {
        g_recorded.push_back({kind, static_cast<uint32_t>(length)});
    }
    if (g_state.mode == Mode::kNone || g_operations != g_state.target) {
        return true;
    }
    if (g_state.mode == Mode::kFail) {
        *refused = true;
        return false;
    }
    g_state.cut = true;
    *torn = length != 0;
    return false;
}

// Writes the cut operation's result over `target`.
void apply_cut(uint8_t *target, const uint8_t *after, size_t length, OpKind kind) {
    Cut cut = g_state.shape;
    if (g_state.halfway) {
        cut.offset = length / 2;
    }
    std::vector<uint8_t> before(target, target + length);
    torn_result(before.data(), after, target, length, kind, cut);
}

}  // namespace

void torn_result(const uint8_t *before, const uint8_t *after, uint8_t *out, size_t length,
                 OpKind kind, const Cut &cut) {
    if (length == 0) {
        return;
    }
    Bits bits(cut.seed);
    if (kind == OpKind::kErase && cut.erase == EraseShape::kScatter) {
        cut_scatter(before, after, out, length, cut, bits);
    } else if (kind == OpKind::kErase && cut.erase == EraseShape::kAllButFew) {
        cut_all_but_few(before, after, out, length, cut, bits);
    } else {
        cut_prefix(before, after, out, length, kind, cut, bits);
    }
}

namespace detail {

bool program_slow(uint8_t *target, const uint8_t *data, size_t length) {
    record_call(CallKind::kProgram, target, length, data);
    bool refused = false;
    bool torn = false;
    if (admit(OpKind::kProgram, length, &refused, &torn)) {
        copy(target, data, length);
    } else if (torn) {
        // The source may overlap the target: take the new bytes first.
        const std::vector<uint8_t> after(data, data + length);
        apply_cut(target, after.data(), length, OpKind::kProgram);
    }
    return !refused;
}

bool erase_slow(uint8_t *target, size_t length, uint8_t erased) {
    record_call(CallKind::kErase, target, length, nullptr);
    bool refused = false;
    bool torn = false;
    if (admit(OpKind::kErase, length, &refused, &torn)) {
        std::memset(target, erased, length);
    } else if (torn) {
        const std::vector<uint8_t> after(length, erased);
        apply_cut(target, after.data(), length, OpKind::kErase);
    }
    return !refused;
}

bool read_slow(uint8_t *destination, const uint8_t *source, size_t length) {
    record_call(CallKind::kRead, source, length, nullptr);
    copy(destination, source, length);
    return !after_read(destination, length);
}

}  // namespace detail

bool after_read(void *data, size_t length) {
    if (g_read.mode == ReadMode::kNone) {
        return false;
    }
    ++g_read.seen;
    // Written as a difference so that first + count cannot overflow.
    const bool inWindow = g_read.seen >= g_read.first && g_read.seen - g_read.first < g_read.count;
    if (!inWindow) {
        return false;
    }
    if (g_read.mode == ReadMode::kFail) {
        return true;
    }
    if (data != nullptr && length != 0) {
        static_cast<unsigned char *>(data)[length - 1] ^= 0x01;
    }
    return false;
}

void corrupt_reads(uint64_t first, uint64_t count) {
    arm_reads(ReadMode::kCorrupt, first, count);
}

void fail_reads(uint64_t first, uint64_t count) {
    arm_reads(ReadMode::kFail, first, count);
}

uint64_t read_count() {
    return g_read.seen;
}

void fail_at(uint64_t k) {
    g_state = State{Mode::kFail, k, false, false, Cut{}};
    g_operations = 0;
    refresh_plain();
}

void cut_at(uint64_t k) {
    g_state = State{Mode::kCut, k, false, true, Cut{}};
    g_operations = 0;
    refresh_plain();
}

void cut_at(uint64_t k, const Cut &cut) {
    g_state = State{Mode::kCut, k, false, false, cut};
    g_operations = 0;
    refresh_plain();
}

void disarm() {
    g_state = State{};
    g_read = ReadState{};
    g_operations = 0;
    refresh_plain();
}

uint64_t operation_count() {
    return g_operations;
}

bool power_is_cut() {
    return g_state.cut;
}

void record_operations(bool on) {
    g_recording = on;
    g_recorded.clear();
    refresh_plain();
}

const std::vector<Operation> &recorded_operations() {
    return g_recorded;
}

void record_calls(bool on, bool lendViews) {
    g_recordingCalls = on;
    g_lendViews = on && lendViews;
    g_calls.clear();
    g_callData.clear();
    refresh_plain();
}

const std::vector<Call> &recorded_calls() {
    return g_calls;
}

const std::vector<uint8_t> &recorded_call_data() {
    return g_callData;
}

}  // namespace quor::flash_fault

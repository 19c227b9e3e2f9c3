#include "flash_fault.h"

namespace quor::flash_fault {
namespace {

enum class Mode { kNone, kFail, kCut };

struct State {
    Mode mode = Mode::kNone;
    uint64_t target = 0;
    uint64_t count = 0;
    bool cut = false;
};

State g_state;

enum class ReadMode { kNone, kCorrupt, kFail };

struct ReadState {
    ReadMode mode = ReadMode::kNone;
    uint64_t first = 0;
    uint64_t count = 0;  // reads in the faulty window
    uint64_t seen = 0;   // reads since arming
};

ReadState g_read;

void arm_reads(ReadMode mode, uint64_t first, uint64_t count) {
    g_read = ReadState{mode, first, count, 0};
}

}  // namespace

Decision before_operation(size_t length) {
    if (g_state.cut) {
        return {Action::kDrop, 0};
    }
    ++g_state.count;
    if (g_state.mode == Mode::kNone || g_state.count != g_state.target) {
        return {};
    }
    if (g_state.mode == Mode::kFail) {
        return {Action::kFail, 0};
    }
    g_state.cut = true;
    return {Action::kPartial, length * kCutNumerator / kCutDenominator};
}

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
    g_state = State{Mode::kFail, k, 0, false};
}

void cut_at(uint64_t k) {
    g_state = State{Mode::kCut, k, 0, false};
}

void disarm() {
    g_state = State{};
    g_read = ReadState{};
}

uint64_t operation_count() {
    return g_state.count;
}

bool power_is_cut() {
    return g_state.cut;
}

}  // namespace quor::flash_fault

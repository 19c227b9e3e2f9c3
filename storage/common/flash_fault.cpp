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

void fail_at(uint64_t k) {
    g_state = State{Mode::kFail, k, 0, false};
}

void cut_at(uint64_t k) {
    g_state = State{Mode::kCut, k, 0, false};
}

void disarm() {
    g_state = State{};
}

uint64_t operation_count() {
    return g_state.count;
}

bool power_is_cut() {
    return g_state.cut;
}

}  // namespace quor::flash_fault

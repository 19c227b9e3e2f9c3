// Power loss at an arbitrary instruction: a workload runs in a child process
// whose flash region lives in shared memory, and the parent kills it with
// SIGKILL at a random instant. Independent of the flash fault seam: the cut
// falls wherever the child happens to be, inside a memcpy of a program or
// between two bookkeeping steps alike.
//
// The child marks the start and the end of each of its operations in the
// shared header, so the parent knows which operation (if any) was under way
// when the kill landed. run_campaign() is the loop every SIGKILL test shares:
// kill after kill from the same flash, each judged by the test's check.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/power_cut_plan.h"

namespace kill_harness {

struct Progress {
    std::atomic<uint32_t> ready;     // the child set up and is about to start
    std::atomic<uint32_t> started;   // operations begun
    std::atomic<uint32_t> finished;  // operations completed
};

// A region of shared memory: the progress header, then `size` flash bytes.
class SharedRegion {
  public:
    explicit SharedRegion(size_t size) : size_(size) {
        void *p = mmap(nullptr, sizeof(Progress) + size, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
    }
    ~SharedRegion() {
        if (base_ != nullptr) {
            munmap(base_, sizeof(Progress) + size_);
        }
    }
    SharedRegion(const SharedRegion &) = delete;
    SharedRegion &operator=(const SharedRegion &) = delete;

    bool ok() const { return base_ != nullptr; }
    Progress &progress() { return *reinterpret_cast<Progress *>(base_); }
    uint8_t *flash() { return base_ + sizeof(Progress); }
    size_t size() const { return size_; }

    // Puts `image` in the flash and clears the progress.
    void reset(const std::vector<uint8_t> &image) {
        std::memcpy(flash(), image.data(), image.size() < size_ ? image.size() : size_);
        new (base_) Progress{};
    }
    std::vector<uint8_t> image() const {
        const uint8_t *f = base_ + sizeof(Progress);
        return std::vector<uint8_t>(f, f + size_);
    }

  private:
    uint8_t *base_ = nullptr;
    size_t size_;
};

// Called by the child around operation i (0-based). The fences keep the
// compiler from moving the operation's stores across the marks.
inline void begin_operation(Progress &p, uint32_t i) {
    p.started.store(i + 1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
inline void end_operation(Progress &p, uint32_t i) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    p.finished.store(i + 1);
}

struct Result {
    bool killed = false;    // the kill landed before the child finished
    bool exitedOk = false;  // the child ran to its end and exited 0
    uint32_t started = 0;   // operations begun
    uint32_t finished = 0;  // operations completed
};

// Forks; the child runs `work` (which must call begin/end_operation) and
// exits. The parent waits until the child is ready, lets it run for
// `delay`, kills it and waits for it.
inline Result run_and_kill(SharedRegion &region, const std::function<void(Progress &)> &work,
                           std::chrono::microseconds delay) {
    Result r;
    const pid_t pid = fork();
    if (pid == 0) {
        region.progress().ready.store(1);
        work(region.progress());
        _exit(0);
    }
    if (pid < 0) {
        return r;
    }
    while (region.progress().ready.load() == 0) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    r.exitedOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.started = region.progress().started.load();
    r.finished = region.progress().finished.load();
    return r;
}

// Kills a campaign makes at the power-cut level.
inline uint32_t kills_for_level() {
    switch (power_cut::level()) {
        case power_cut::Level::kQuick:
            return 10;
        case power_cut::Level::kDefault:
            return 40;
        case power_cut::Level::kLong:
            return 400;
    }
    return 40;
}

struct CampaignCounts {
    uint32_t kills = 0;         // kills judged
    uint32_t midOperation = 0;  // of them, inside an operation
    uint32_t completed = 0;     // of them, after the child's last operation
};

// What a campaign repeats: `work` runs `operations` operations in the child
// from `initial`; the uncut run took `span`.
struct Campaign {
    std::vector<uint8_t> initial;
    uint32_t operations = 0;
    std::chrono::microseconds span{0};
    uint64_t seed = 0;
    std::function<void(Progress &)> work;
    // Judges the region after a kill; `where` names the kill for messages.
    // A fatal gtest failure ends the campaign.
    std::function<void(const Result &, const std::string &where)> check;
};

// kills_for_level() kills. Each resets the region to c.initial, lets the
// child run for a seeded delay up to the uncut run's length and kills it.
// The child may run faster than the timed run (and the parent may sleep
// longer than asked): each kill that came after the last operation
// shortens the window by a quarter.
inline CampaignCounts run_campaign(SharedRegion &region, const Campaign &c) {
    CampaignCounts n;
    uint64_t seed = c.seed;
    auto limit = static_cast<uint64_t>(c.span.count());
    const uint32_t kills = kills_for_level();
    for (uint32_t k = 0; k < kills; ++k) {
        region.reset(c.initial);
        seed = power_cut::mix(seed, k);
        const auto delay = std::chrono::microseconds(seed % (limit + 1));
        const Result r = run_and_kill(region, c.work, delay);
        const std::string where =
            "kill " + std::to_string(k) + " after " + std::to_string(delay.count()) + " us, " +
            std::to_string(r.finished) + " of " + std::to_string(c.operations) + " operations done";
        if (!r.killed && !r.exitedOk) {
            ADD_FAILURE() << where << ": the child failed";
            break;
        }
        ++n.kills;
        n.midOperation += r.started > r.finished ? 1 : 0;
        n.completed += r.finished == c.operations ? 1 : 0;
        limit = r.finished == c.operations ? limit * 3 / 4 : limit;
        c.check(r, where);
        if (::testing::Test::HasFatalFailure()) {
            break;
        }
    }
    return n;
}

// The count line of every power-cut test, then where the kills fell.
inline void report(const std::string &workload, const CampaignCounts &n,
                   std::chrono::microseconds span) {
    std::printf("power cuts: %s: %u cut points\n", workload.c_str(), n.kills);
    std::printf("  %u kills inside an operation, %u after the last; the uncut run took %lld us\n",
                n.midOperation, n.completed, static_cast<long long>(span.count()));
    ::testing::Test::RecordProperty("cut_points", std::to_string(n.kills));
}

}  // namespace kill_harness

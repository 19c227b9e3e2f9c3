// Fixed workloads whose flash images, flash operations and driver reads are
// compared with the figures the file system produced before its write path
// was reworked for speed.
//
// The write path keeps bookkeeping (which unit carries which chunks, where
// free chunks are) that must never change what reaches the flash: the same
// calls on the same image must program the same bytes, in the same order,
// with the same read-backs. Each workload below mixes the paths that touch
// that bookkeeping: long and short writes, truncations, deletes, a volume
// run full, reserved and dynamic reclaims, idle and forced reclaims,
// remounts, refused flash operations and power cuts. The figures recorded
// for each (a hash of the final image, a hash of the sequence of program and
// erase operations with their lengths, the number of driver reads and a hash
// of every call's status) were computed by this test on main at b10691f,
// before that rework; a change to any of them is a change of the on-flash
// behaviour.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "afs_model.h"
#include "common/flash_fault.h"

namespace {

using namespace afs_test;
namespace fault = quor::flash_fault;

constexpr uint64_t kNeverRead = ~uint64_t{0};

// 64-bit FNV-1a, continued from `h`.
uint64_t fnv(uint64_t h, const void *data, size_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; ++i) {
        h = (h ^ p[i]) * 0x100000001b3ull;
    }
    return h;
}
constexpr uint64_t kFnvSeed = 0xcbf29ce484222325ull;

// What a workload did, as the test compares it.
struct Trace {
    uint64_t image = 0;       // final flash image
    uint64_t operations = 0;  // kind and length of every program and erase
    uint64_t reads = 0;       // driver reads
    uint64_t statuses = 0;    // status of every call, in order

    bool operator==(const Trace &o) const {
        return image == o.image && operations == o.operations && reads == o.reads &&
               statuses == o.statuses;
    }
};

std::string show(const Trace &t) {
    char text[160];
    std::snprintf(
        text, sizeof(text), "{0x%016llxull, 0x%016llxull, %llu, 0x%016llxull}",
        static_cast<unsigned long long>(t.image), static_cast<unsigned long long>(t.operations),
        static_cast<unsigned long long>(t.reads), static_cast<unsigned long long>(t.statuses));
    return text;
}

// Runs a workload on a freshly formatted volume, recording its trace. Reads
// are counted through a read fault whose window is never reached; a workload
// that disarms the seam (after a power cut) banks the count first.
class Recorder {
  public:
    Recorder(uint32_t flashSize, uint32_t files) : vol(flashSize, files) {
        fault::disarm();
        fault::record_operations(true);
        fault::corrupt_reads(kNeverRead, 1);
    }

    void status(uint32_t s) { trace_.statuses = fnv(trace_.statuses, &s, sizeof(s)); }
    // Runs one model operation on the volume, records its status and, when
    // it succeeded, applies it to the model. Returns the status.
    uint32_t step(Model &model, const Op &op) {
        const uint32_t s = run(vol, op);
        status(s);
        if (s == 0) {
            afs_test::apply(model, op);
        }
        return s;
    }

    // A call that must succeed for the workload to mean anything.
    void ok(uint32_t s) {
        EXPECT_EQ(s, 0u);
        status(s);
    }

    // Power back on after a cut: the seam forgets the cut and its counters.
    void power_on() {
        bank();
        fault::disarm();
        fault::record_operations(true);
        fault::corrupt_reads(kNeverRead, 1);
    }

    // The format every workload starts with must succeed, or the workload
    // would compare nothing.
    void formatted(uint32_t s) {
        EXPECT_EQ(s, 0u) << "format";
        status(s);
    }

    Trace finish() {
        bank();
        trace_.image = fnv(kFnvSeed, vol.flash().data(), vol.flash().size());
        fault::record_operations(false);
        fault::disarm();
        return trace_;
    }

    Volume vol;

  private:
    void bank() {
        trace_.reads += fault::read_count();
        for (const fault::Operation &op : fault::recorded_operations()) {
            const uint64_t item = (uint64_t{op.length} << 8) | static_cast<uint8_t>(op.kind);
            trace_.operations = fnv(trace_.operations, &item, sizeof(item));
        }
    }

    Trace trace_{0, kFnvSeed, 0, kFnvSeed};
};

// Random writes, truncations and deletes of a dozen files on four units, so
// that both kinds of reclaim happen many times; remounts every 25 calls.
Trace random_small_volume() {
    Recorder r(4 * 8192, 65);
    r.formatted(r.vol.format());
    Rng rng(11);
    Model model;
    for (uint32_t i = 0; i < 400; ++i) {
        if (i % 25 == 0) {
            r.status(r.vol.mount());
        }
        r.step(model, random_op(rng, model, 12, 900, i + 1));
    }
    EXPECT_EQ(check_volume(r.vol, model, 12), "");
    return r.finish();
}

// Files of up to 40 KiB on 40 units: whole rewrites, overwrites in the
// middle, extensions past the end, truncations; the volume runs full (28)
// and is emptied again; idle reclaims, a forced full reclaim and a dirty
// erase between the calls; a second cache geometry after a remount.
Trace large_files() {
    Recorder r(40 * 8192, 65);
    r.formatted(r.vol.format());
    Rng rng(5);
    Model model;
    for (uint32_t i = 0; i < 160; ++i) {
        Op op{};
        op.file = static_cast<int32_t>(rng.below(16));
        op.version = i + 1;
        const uint32_t pick = rng.below(8);
        if (pick == 0) {
            op.kind = OpKind::kDelete;
        } else {
            op.kind = pick < 4 ? OpKind::kTruncatingWrite : OpKind::kWrite;
            op.offset = rng.below(4) == 0 ? 0 : rng.below(40000);
            op.length = 1 + rng.below(40000);
        }
        const uint32_t s = r.step(model, op);
        if (s == kAfsNoSpace) {
            // Make room the way an application would: drop the biggest file.
            int32_t biggest = -1;
            size_t most = 0;
            for (const auto &[file, bytes] : model) {
                if (bytes.size() >= most) {
                    most = bytes.size();
                    biggest = file;
                }
            }
            if (biggest >= 0) {
                r.status(afs_deletefile(&r.vol.ctx(), biggest));
                model.erase(biggest);
            }
        } else if (s != 0 && op.kind == OpKind::kDelete) {
            model.erase(op.file);  // a delete of an absent file answers 2
        }
        if (i % 7 == 3) {
            r.status(afs_idle_reclaim(&r.vol.ctx()));
        }
        if (i == 60) {
            uint32_t s2 = kFtlAgain;
            for (int n = 0; n < 64 && s2 == kFtlAgain; ++n) {
                s2 = afs_force_full_reclaim(&r.vol.ctx());
                r.status(s2);
            }
            r.status(afs_force_dirty_erase(&r.vol.ctx()));
        }
        if (i % 40 == 39) {
            r.status(r.vol.mount(kAfsDfsMountFlags, i < 80 ? 64 : 256));
        }
    }
    EXPECT_EQ(check_volume(r.vol, model, 16), "");
    return r.finish();
}

// The biggest file the volume takes, written whole again and again over two
// slots, as the throughput benchmark does, then shortened and extended.
Trace largest_file_rewrites() {
    Recorder r(255 * 8192, 1024);
    r.formatted(r.vol.format());
    for (uint32_t i = 0; i < 6; ++i) {
        r.ok(r.vol.write(static_cast<int32_t>(i % 2), 0, pattern(kAfsMaxFileSize, i % 2, i),
                         kAfsWriteTruncate));
    }
    r.ok(r.vol.write(0, 1000, pattern(5000, 0, 99), kAfsWriteTruncate));
    r.ok(r.vol.write(1, 200000, pattern(62144, 1, 98)));
    r.ok(r.vol.mount());
    r.ok(r.vol.write(0, 0, pattern(kAfsMaxFileSize, 0, 97), kAfsWriteTruncate));
    std::vector<uint8_t> got;
    r.ok(r.vol.read_all(1, &got));
    return r.finish();
}

// Random calls where one flash program or erase in each call may be refused
// (the call fails; a remount follows, as after any failed call), and where
// power is cut inside some calls (power on, remount).
Trace failures_and_cuts() {
    Recorder r(6 * 8192, 65);
    r.formatted(r.vol.format());
    Rng rng(23);
    Model model;
    for (uint32_t i = 0; i < 300; ++i) {
        const Op op = random_op(rng, model, 16, 1500, i + 1);
        const uint32_t mode = rng.below(10);
        const uint64_t k = 1 + rng.below(40);
        if (mode < 3) {
            fault::fail_at(k);
        } else if (mode == 3) {
            fault::Cut cut;
            cut.offset = rng.below(70);
            cut.torn = static_cast<fault::TornByte>(rng.below(3));
            cut.erase = static_cast<fault::EraseShape>(rng.below(3));
            cut.seed = i;
            fault::cut_at(k, cut);
        }
        // A call that succeeded is applied to the model; after a cut or a
        // failure the model is read back from the volume below.
        const uint32_t s = r.step(model, op);
        const bool cut = fault::power_is_cut();
        fault::fail_at(~uint64_t{0});  // nothing more is refused
        if (cut) {
            r.power_on();
        }
        if (s != 0 || cut) {
            const uint32_t m = r.vol.mount();
            r.status(m);
            if (m != 0) {
                break;
            }
            // The interrupted call may or may not have taken effect: the
            // model follows what the volume shows.
            model.clear();
            for (int32_t f = 0; f < 16; ++f) {
                std::vector<uint8_t> bytes;
                if (r.vol.read_all(f, &bytes) == 0) {
                    model[f] = bytes;
                }
            }
        }
    }
    EXPECT_EQ(check_volume(r.vol, model, 16), "");
    return r.finish();
}

struct Workload {
    const char *name;
    Trace (*run)();
    Trace before;  // computed by this test at b10691f
};

void PrintTo(const Workload &w, std::ostream *out) {
    *out << w.name;
}

const Workload kWorkloads[] = {
    {"random_small_volume",
     random_small_volume,
     {0x7e6005c2665c7e82ull, 0x3b8001b9e7cf7fcdull, 14601, 0x883cfd4e2b5f75f5ull}},
    {"large_files",
     large_files,
     {0xdac8fab1e2b1111full, 0x4bf78f6006362eb5ull, 304630, 0xb3257ab6789dd567ull}},
    {"largest_file_rewrites",
     largest_file_rewrites,
     {0x5a56aaef15231280ull, 0xe4b52692f0aae9b9ull, 155455, 0xa09d945a1cd8d6e5ull}},
    {"failures_and_cuts",
     failures_and_cuts,
     {0x1679d68492c2fe3full, 0x41caa1eef462b36full, 20912, 0x07e5d955251f56a5ull}},
};

class AfsImage : public ::testing::TestWithParam<Workload> {};

TEST_P(AfsImage, FlashAndDriverTrafficMatchTheFiguresFromBeforeTheRework) {
    fault::Guard guard;
    const Trace got = GetParam().run();
    EXPECT_TRUE(got == GetParam().before)
        << GetParam().name << ": now " << show(got) << ", before " << show(GetParam().before);
}

// The same workload twice gives the same trace: the figures above depend on
// nothing but the calls.
TEST(AfsImage, AWorkloadReplaysToTheSameTrace) {
    fault::Guard guard;
    const Trace first = random_small_volume();
    const Trace second = random_small_volume();
    EXPECT_TRUE(first == second) << show(first) << " vs " << show(second);
}

// A page-operation table of the FTL's own functions that is not the FTL's
// table: the file layer then writes each chunk through write_page, without
// the shortcut it takes on the FTL (checksums of many chunks at once, data
// straight from the caller). Both ways must leave the same flash.
const AfsPhysicalHandler kForwarding = {
    afs_physical_ftl_read_page,         afs_physical_ftl_write_page,
    afs_physical_ftl_trim_page,         afs_physical_ftl_force_full_reclaim,
    afs_physical_ftl_force_dirty_erase,
};

Trace unaligned_writes(bool forwarding) {
    Recorder r(24 * 8192, 65);
    r.formatted(r.vol.format());
    if (forwarding) {
        r.vol.ctx().handlers = const_cast<AfsPhysicalHandler *>(&kForwarding);
    }
    Rng rng(41);
    Model model;
    for (uint32_t i = 0; i < 120; ++i) {
        r.step(model, random_op(rng, model, 8, 20000, i + 1));
    }
    EXPECT_EQ(check_volume(r.vol, model, 8), "");
    return r.finish();
}

TEST(AfsImage, WritesThroughAnotherPageTableLeaveTheSameFlash) {
    fault::Guard guard;
    const Trace direct = unaligned_writes(false);
    const Trace forwarded = unaligned_writes(true);
    EXPECT_TRUE(direct == forwarded) << show(direct) << " vs " << show(forwarded);
}

INSTANTIATE_TEST_SUITE_P(Workloads, AfsImage, ::testing::ValuesIn(kWorkloads),
                         [](const ::testing::TestParamInfo<Workload> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace

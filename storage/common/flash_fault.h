// Fault injection for the emulated flash drivers.
//
// Both flash drivers (the AFS SPI emulation and the EFS physical layer) ask
// this module before every program (write) and erase. Normally the answer is
// "proceed". A test can arm one of two faults, counted over the program and
// erase operations of both drivers from the moment it is armed:
//
//   fail_at(k): the k-th operation (1-based) is refused; the driver returns
//               its failure status and changes nothing. Later operations
//               proceed normally.
//   cut_at(k):  power is cut during the k-th operation: only a prefix of it
//               reaches the flash (see kCutNumerator), and every later program
//               and erase is silently dropped, as if the device were off.
//               Reads keep working so the test can inspect the aftermath.
//
// Operations are counted even when nothing is armed, so a test can run a
// workload once, read operation_count(), and then replay it with a cut at
// every k from 1 to that count.
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
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::flash_fault {

enum class Action {
    kProceed,  // apply the whole operation
    kFail,     // refuse it: return the driver's failure status, change nothing
    kPartial,  // apply only the first `applied` bytes, then behave as powered off
    kDrop,     // power is off: change nothing, report success
};

struct Decision {
    Action action = Action::kProceed;
    size_t applied = 0;  // bytes to apply for kPartial
};

// Called by a driver before a program or erase of `length` bytes.
Decision before_operation(size_t length);

// Called by a driver after a read copied `length` bytes to `data`: may flip
// one bit of them; true when the driver must report the read as failed.
bool after_read(void *data, size_t length);

// Test controls.
void fail_at(uint64_t k);
void cut_at(uint64_t k);
void corrupt_reads(uint64_t first, uint64_t count);
void fail_reads(uint64_t first, uint64_t count);
void disarm();               // no fault, counters reset, power on
uint64_t operation_count();  // program/erase operations since the last arm/disarm
uint64_t read_count();       // reads since a read fault was armed (0 when none is)
bool power_is_cut();         // true once a cut has happened

// Numerator/denominator of the part of the cut operation that is applied.
inline constexpr size_t kCutNumerator = 1;
inline constexpr size_t kCutDenominator = 2;

// RAII guard that disarms on scope exit, so one test cannot leak a fault
// into the next.
class Guard {
  public:
    Guard() { disarm(); }
    ~Guard() { disarm(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

}  // namespace quor::flash_fault

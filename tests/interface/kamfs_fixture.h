// Shared fixture of the storage interface tests: a recording status callback,
// a standard image description and read-back helpers that mount copies of the
// AFS and EFS regions independently of the open storage. (This header does
// not include the storage interface, so that the read-back helpers can be
// built against the file systems' own headers.)
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "imagekit/imagekit.h"

namespace kamfs_test {

using imagekit::Bytes;

struct Report {
    int32_t level;
    int32_t code;
    std::string text;
    std::string detail;
};

// Every report received since the last clear.
std::vector<Report> &reports();
void recordReport(int32_t level, int32_t code, const char *text, const char *detail);

// One expected report: code and detail (the text must be the catalogue's).
struct Expected {
    int32_t code;
    std::string detail;
};

// Compares the recorded reports with `expected`, in order; the message lists
// every difference.
::testing::AssertionResult reportsAre(const std::vector<Expected> &expected);

// " Library status code: <status>".
std::string libStatus(int32_t status);
// " Library status code: <status> (<subject>)": a status about one NVAR,
// file, table or SKU.
std::string libStatusAbout(int32_t status, const std::string &subject);

Bytes bytesOf(const std::string &text);
// `text` followed by `trailer` bytes of 0xEE.
Bytes withTrailer(const char *text, size_t trailer);
std::string hexOf(const Bytes &bytes);

// File indexes and names of the standard image (SKU 0x51).
constexpr uint32_t kSku = 0x51;
struct StdFile {
    const char *name;
    uint16_t index;
};
// AFS NVARs.
constexpr StdFile kMtu{"/home/net/mtu", 3};        // vendor "1500", tool "9000"
constexpr StdFile kHost{"/home/net/host", 4};      // vendor only
constexpr StdFile kSerial{"/home/sys/serial", 5};  // attribute bit 0: 40-byte trailer
constexpr StdFile kKey{"/home/sys/key", 6};        // attribute bits 0 and 6: 56-byte trailer
constexpr StdFile kSkip{"/home/sys/skip", 7};      // attribute bit 1: never loaded
constexpr StdFile kEmptied{"/home/sys/empty", 8};  // vendor value of 6 bytes
// A configuration file without flag bit 0 (not an NVAR), vendor table only.
constexpr StdFile kPlain{"/home/sys/plain", 9};
constexpr StdFile kPlainEmpty{"/home/sys/plainempty", 10};
// Only in the tool's table.
constexpr StdFile kToolOnly{"/home/tool/only", 11};
// EFS NVARs.
constexpr StdFile kEfsA{"/home/efs/alpha", 1};
constexpr StdFile kEfsB{"/home/efs/beta", 2};

// The standard description: the files above, deployed, AFS of 64 KiB with 128
// slots, EFS with default geometry, a tool partition.
imagekit::ImageDescription standardDescription();
// Builds the pieces; the test fails when the builder refuses.
imagekit::ImagePieces build(const imagekit::ImageDescription &description);

// Files of a copy of an AFS region, mounted as DFS mounts it; the driver's
// flash pointer is put back on `restore` afterwards (when not null). Absent
// files are missing from the map. False when the copy does not mount.
bool readAfsFiles(const Bytes &region, const std::vector<uint16_t> &indexes, uint8_t *restore,
                  std::map<uint16_t, Bytes> &files);

// Files of a copy of an EFS region (the layout loaded by the open storage or
// the last build); EFS is attached to `reattach` afterwards (when not null).
bool readEfsFiles(const Bytes &region, const std::vector<uint16_t> &indexes, uint8_t *reattach,
                  std::map<uint16_t, Bytes> &files);

// Base fixture: clears the reports and disarms the flash fault seam; closes
// a storage a test left open.
class KamfsTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace kamfs_test

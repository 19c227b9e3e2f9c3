#include "kamfs_fixture.h"

#include <sstream>

#include "common/flash_fault.h"
#include "errors/taverrors.h"
#include "interface/kamfs.h"

namespace kamfs_test {

std::vector<Report> &reports() {
    static std::vector<Report> all;
    return all;
}

void recordReport(int32_t level, int32_t code, const char *text, const char *detail) {
    reports().push_back(
        {level, code, text != nullptr ? text : "<null>", detail != nullptr ? detail : "<null>"});
}

std::string libStatus(int32_t status) {
    return " Library status code: " + std::to_string(status);
}

::testing::AssertionResult reportsAre(const std::vector<Expected> &expected) {
    const std::vector<Report> &got = reports();
    std::ostringstream diff;
    for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
        if (i >= got.size()) {
            diff << "\n  #" << i << ": missing report " << expected[i].code << " \""
                 << expected[i].detail << "\"";
            continue;
        }
        const Report &r = got[i];
        if (i >= expected.size()) {
            diff << "\n  #" << i << ": unexpected report " << r.code << " \"" << r.detail << "\"";
            continue;
        }
        auto textOf = [](int32_t code) {
            return code == 0
                       ? std::string()
                       : TavErrors::getErrorNameString(static_cast<ImageToolsErrorName>(code));
        };
        if (r.level != 4 || r.code != expected[i].code || r.detail != expected[i].detail ||
            r.text != textOf(r.code)) {
            diff << "\n  #" << i << ": expected (4, " << expected[i].code << ", \""
                 << textOf(expected[i].code) << "\", \"" << expected[i].detail << "\"), got ("
                 << r.level << ", " << r.code << ", \"" << r.text << "\", \"" << r.detail << "\")";
        }
    }
    if (diff.str().empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "reports differ:" << diff.str();
}

Bytes bytesOf(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

std::string hexOf(const Bytes &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out.empty() ? "<empty>" : out;
}

namespace {

imagekit::FileSpec afsNvar(const StdFile &f, uint32_t fileno, uint32_t maxSize) {
    imagekit::FileSpec spec;
    spec.name = f.name;
    spec.fileno = fileno;
    spec.fileIndex = f.index;
    spec.storage = imagekit::kStorageAfs;
    spec.maxSize = maxSize;
    return spec;
}

}  // namespace

imagekit::ImageDescription standardDescription() {
    using imagekit::FileSpec;
    std::vector<FileSpec> files;
    FileSpec mtu = afsNvar(kMtu, 0x10000103, 16);
    mtu.vendorValue = bytesOf("1500");
    mtu.toolValue = bytesOf("9000");
    files.push_back(mtu);
    FileSpec host = afsNvar(kHost, 0x10000104, 64);
    host.vendorValue = bytesOf("gateway.local");
    files.push_back(host);
    FileSpec serial = afsNvar(kSerial, 0x10000105, 32);
    serial.attributes = imagekit::kAttrReadOnlyTrailer;
    serial.vendorValue = bytesOf("SN-0000");
    serial.fsContent = bytesOf("SN-4711");
    serial.fsContent->insert(serial.fsContent->end(), 40, 0xEE);
    files.push_back(serial);
    FileSpec key = afsNvar(kKey, 0x10000106, 32);
    key.attributes = imagekit::kAttrReadOnlyTrailer | imagekit::kAttrLongTrailer;
    key.vendorValue = bytesOf("K0");
    key.fsContent = bytesOf("KEY-123");
    key.fsContent->insert(key.fsContent->end(), 56, 0xEE);
    files.push_back(key);
    FileSpec skip = afsNvar(kSkip, 0x10000107, 16);
    skip.attributes = imagekit::kAttrNotLoaded;
    skip.vendorValue = bytesOf("table");
    skip.fsContent = bytesOf("file");
    files.push_back(skip);
    FileSpec emptied = afsNvar(kEmptied, 0x10000108, 16);
    emptied.vendorValue = bytesOf("filled");
    files.push_back(emptied);
    FileSpec plain = afsNvar(kPlain, 0x10000109, 16);
    plain.flags = 0;
    plain.vendorValue = bytesOf("notnvar");
    plain.inFileSystem = false;
    files.push_back(plain);
    FileSpec plainEmpty = afsNvar(kPlainEmpty, 0x1000010A, 16);
    plainEmpty.flags = 0;
    plainEmpty.vendorValue = Bytes{};
    plainEmpty.inFileSystem = false;
    files.push_back(plainEmpty);
    FileSpec toolOnly = afsNvar(kToolOnly, 0x1000010B, 16);
    toolOnly.toolValue = bytesOf("mine");
    toolOnly.inFileSystem = false;
    files.push_back(toolOnly);
    FileSpec efsA;
    efsA.name = kEfsA.name;
    efsA.fileno = 0x20000201;
    efsA.fileIndex = kEfsA.index;
    efsA.storage = imagekit::kStorageEfs;
    efsA.maxSize = 100;
    efsA.vendorValue = bytesOf("alpha-vendor");
    efsA.toolValue = bytesOf("alpha-tool");
    files.push_back(efsA);
    FileSpec efsB = efsA;
    efsB.name = kEfsB.name;
    efsB.fileno = 0x20000202;
    efsB.fileIndex = kEfsB.index;
    efsB.maxSize = 300;
    efsB.vendorValue = bytesOf("beta");
    efsB.toolValue.reset();
    files.push_back(efsB);

    imagekit::ImageDescription d;
    d.skus.push_back({kSku, files});
    // A second SKU whose table differs, so that selecting the right one matters.
    imagekit::SkuSpec other{0x52, {}};
    FileSpec decoy = afsNvar(kMtu, 0x10000103, 16);
    decoy.fileIndex = 40;
    other.files.push_back(decoy);
    d.skus.push_back(other);
    d.buildSku = kSku;
    d.afs.regionSize = 65536;
    d.afs.fileCount = 128;
    d.efs.present = true;
    d.deployMarker.fileIndex = 1;
    return d;
}

imagekit::ImagePieces build(const imagekit::ImageDescription &description) {
    imagekit::ImagePieces pieces;
    std::string error;
    const bool ok = imagekit::buildImage(description, pieces, &error);
    EXPECT_TRUE(ok) << "image builder refused: " << error;
    return pieces;
}

void KamfsTest::SetUp() {
    quor::flash_fault::disarm();
    reports().clear();
}

void KamfsTest::TearDown() {
    quor::flash_fault::disarm();
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
}

}  // namespace kamfs_test

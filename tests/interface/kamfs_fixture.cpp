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

std::string libStatusAbout(int32_t status, const std::string &subject) {
    return libStatus(status) + " (" + subject + ")";
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

Bytes withTrailer(const char *text, size_t trailer) {
    Bytes b = bytesOf(text);
    b.insert(b.end(), trailer, 0xEE);
    return b;
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

// An NVAR of the standard image: file number 0x10000100 + index (AFS) or
// 0x20000200 + index (EFS), with the values given ("" for none).
imagekit::FileSpec nvar(const StdFile &f, uint32_t maxSize, const char *vendor,
                        const char *tool = nullptr, uint8_t storage = imagekit::kStorageAfs) {
    imagekit::FileSpec file;
    file.name = f.name;
    file.fileIndex = f.index;
    file.storage = storage;
    file.fileno = (storage == imagekit::kStorageAfs ? 0x10000100u : 0x20000200u) + f.index;
    file.maxSize = maxSize;
    if (vendor != nullptr) {
        file.vendorValue = bytesOf(vendor);
    }
    if (tool != nullptr) {
        file.toolValue = bytesOf(tool);
    }
    return file;
}

}  // namespace

imagekit::ImageDescription standardDescription() {
    using imagekit::FileSpec;
    std::vector<FileSpec> files = {nvar(kMtu, 16, "1500", "9000"),
                                   nvar(kHost, 64, "gateway.local")};
    FileSpec serial = nvar(kSerial, 32, "SN-0000");
    serial.attributes = QUOR_ATTR_TRAILER;
    serial.fsContent = withTrailer("SN-4711", 40);
    files.push_back(serial);
    FileSpec key = nvar(kKey, 32, "K0");
    key.attributes = QUOR_ATTR_TRAILER | QUOR_ATTR_LONG_TRAILER;
    key.fsContent = withTrailer("KEY-123", 56);
    files.push_back(key);
    FileSpec skip = nvar(kSkip, 16, "table");
    skip.attributes = QUOR_ATTR_NOT_LOADED;
    skip.fsContent = bytesOf("file");
    files.push_back(skip);
    files.push_back(nvar(kEmptied, 16, "filled"));
    // Configuration files that are not NVARs (flags 0), and a file of the
    // tool's table only; none of them is in AFS.
    FileSpec plain = nvar(kPlain, 16, "notnvar");
    FileSpec plainEmpty = nvar(kPlainEmpty, 16, "");
    plain.flags = plainEmpty.flags = 0;
    for (FileSpec f : {plain, plainEmpty, nvar(kToolOnly, 16, nullptr, "mine")}) {
        f.inFileSystem = false;
        files.push_back(f);
    }
    files.push_back(nvar(kEfsA, 100, "alpha-vendor", "alpha-tool", imagekit::kStorageEfs));
    files.push_back(nvar(kEfsB, 300, "beta", nullptr, imagekit::kStorageEfs));

    imagekit::ImageDescription d;
    d.skus.push_back({kSku, files});
    // A second SKU whose table differs, so that selecting the right one matters.
    FileSpec decoy = nvar(kMtu, 16, nullptr);
    decoy.fileIndex = 40;
    d.skus.push_back({0x52, {decoy}});
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

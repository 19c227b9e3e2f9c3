#include "afs/AfsPhysicalWin32Spi.h"

#include "common/bytes.h"
#include "common/flash_fault.h"

uint8_t *gpBuffer = nullptr;  // C linkage from the header

uint64_t quor::afs::spi_detail::g_limit = 0;

namespace {

using quor::afs::spi_access_allowed;

// Applies a program or erase through the fault seam. `fill` is the byte of an
// erase; `source` is the data of a program (null for an erase).
uint32_t apply_operation(uint32_t address, uint32_t length, const uint8_t *source, uint8_t fill) {
    if (!spi_access_allowed(address, length)) {
        return kSpiFailure;
    }
    uint8_t *target = gpBuffer + address;
    const bool done = source != nullptr ? quor::flash_fault::program(target, source, length)
                                        : quor::flash_fault::erase(target, length, fill);
    return done ? 0 : kSpiFailure;
}

}  // namespace

uint32_t SpiFlashDrvInitialize(void *buffer) {
    gpBuffer = static_cast<uint8_t *>(buffer);
    return 0;
}

uint32_t SpiFlashDrvDeinitialize(void) {
    return 0;
}

void SpiFlashDrvSetLimit(uint64_t size) {
    quor::afs::spi_detail::g_limit = size;
}

uint32_t SpiDrvRead(uint32_t address, uint32_t length, void *destination) {
    if (!spi_access_allowed(address, length)) {
        return kSpiFailure;
    }
    const bool done =
        quor::flash_fault::read(static_cast<uint8_t *>(destination), gpBuffer + address, length);
    return done ? 0 : kSpiFailure;
}

uint32_t SpiDrvWrite(uint32_t address, uint32_t length, const void *source) {
    if (length == 0) {
        return spi_access_allowed(address, 0) ? 0 : kSpiFailure;
    }
    return apply_operation(address, length, static_cast<const uint8_t *>(source), 0);
}

// The erase fills the block in place (no temporary block of 0xFF): only the
// result is observable.
uint32_t SpiDrvEraseBlock(uint32_t address) {
    constexpr uint8_t kErased = 0xFF;
    return apply_operation(address, kSpiEraseBlockSize, nullptr, kErased);
}

// Failure reports of the storage interface through the tool's status callback.
#include "interface/kamfs_report.h"

#include <string>

#include "interface/memory_utils.h"

QuorStatusCallback s_quorStatusCallback = nullptr;

void kaMfsLogMessage(ErrorLevel /*level*/, ImageToolsErrorName code, const char *detail) {
    if (s_quorStatusCallback == nullptr) {
        return;
    }
    const std::string errorText =
        code == TAV_ERR_NO_ERROR ? std::string() : TavErrors::getErrorNameString(code);
    s_quorStatusCallback(kErrorLevelError, code, errorText.c_str(),
                         detail != nullptr ? detail : "");
}

void setLibError(ImageToolsErrorName code, int32_t status) {
    const std::string detail = kLibStatusDetailPrefix + std::to_string(status);
    kaMfsLogMessage(kErrorLevelError, code, detail.c_str());
}

void kaMfsAssert(const char *text) {
    if (s_quorStatusCallback == nullptr) {
        return;
    }
    s_quorStatusCallback(kErrorLevelError, TAV_ERR_NO_ERROR, "", text != nullptr ? text : "");
}

uint32_t kaMfsMemCpy(void *destination, uint32_t destinationSize, const void *source,
                     uint32_t count) {
    if (count == 0) {
        return kByteCopyOk;
    }
    const uint32_t status = ByteCopy(destination, destinationSize, source, count);
    if (status != kByteCopyOk) {
        const std::string detail = kMemCpyDetailPrefix + std::to_string(status);
        kaMfsLogMessage(kErrorLevelError, TAV_ERR_OUT_OF_MEMORY, detail.c_str());
    }
    return status;
}

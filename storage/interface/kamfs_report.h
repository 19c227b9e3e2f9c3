// Failure reports of the storage interface.
//
// The storage interface explains every failure, and nothing else, to the tool
// through one status callback. A report carries a severity (always
// kErrorLevelError), an ImageToolsErrorName code, the catalogue message of that
// code (the empty string for code 0) and a free-text detail. Lower layers
// return small integer statuses; setLibError turns such a status into the
// detail " Library status code: <status>".
//
// Owns: s_quorStatusCallback, the process-wide callback pointer (null from
// load; storage initialisation stores the tool's callback there and never
// clears it). While it is null every report is dropped silently.
#pragma once

#include <cstdint>

#include "errors/taverrors.h"
#include "include/quorstorage/quorstorage.h"

// Severity of a report. The library reports every failure with level 4.
enum ErrorLevel : int32_t {
    kErrorLevelError = QUOR_LEVEL_ERROR,
};

// The tool's status callback is QuorStatusCallback of the published header.

// The registered callback; null means reports are dropped.
extern QuorStatusCallback s_quorStatusCallback;

// Prefix of the detail that carries a lower layer's status.
constexpr const char kLibStatusDetailPrefix[] = " Library status code: ";
// Prefix of the detail of a failed bounded copy.
constexpr const char kMemCpyDetailPrefix[] = "Memory copy failed with error ";

// Reports `code` with `detail` (null is taken as the empty string): calls the
// callback with (4, code, catalogue text or "" for code 0, detail). Every
// caller passes kErrorLevelError; the callback always receives 4.
extern "C" void kaMfsLogMessage(ErrorLevel level, ImageToolsErrorName code, const char *detail);

// Reports `code` with the detail " Library status code: " followed by `status`
// in signed decimal. Nothing is stored.
extern "C" void setLibError(ImageToolsErrorName code, int32_t status);

// Reports a failed internal condition: callback with (4, 0, "", text). Returns
// normally; the caller decides what the condition means.
extern "C" void kaMfsAssert(const char *text);

// Bounded copy through ByteCopy. Returns 0 without touching either buffer when
// `count` is 0; otherwise the ByteCopy status (0, 3, 40 or 43), reporting code
// TAV_ERR_OUT_OF_MEMORY with "Memory copy failed with error <status>" when it is not 0.
extern "C" uint32_t kaMfsMemCpy(void *destination, uint32_t destinationSize, const void *source,
                                uint32_t count);

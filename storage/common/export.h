// Symbol visibility for libquorstorage.so.
//
// The library is compiled with hidden visibility by default; only the
// functions, data and classes of the published binary interface carry
// QUOR_API. The static library used by tests and fuzzers sees everything.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUOR_API __attribute__((visibility("default")))
// Exported data binds inside the library (protected): the library's own code
// always reaches its own variables, even when the host defines a variable of
// the same name. A host that reads one of them directly is then built with
// -fPIC or -mno-direct-extern-access (GCC) / -fno-direct-access-external-data
// (Clang); otherwise the linker refuses to copy the variable into the
// executable, where the copy would silently go stale.
#define QUOR_API_DATA __attribute__((visibility("protected")))
#else
#define QUOR_API
#define QUOR_API_DATA
#endif

// C linkage plus default visibility, for the C part of the interface.
#ifdef __cplusplus
#define QUOR_C_API extern "C" QUOR_API
#define QUOR_C_DATA extern "C" QUOR_API_DATA
#else
#define QUOR_C_API QUOR_API
#define QUOR_C_DATA extern QUOR_API_DATA
#endif

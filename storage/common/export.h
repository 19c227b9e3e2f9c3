// Symbol visibility for libquorstorage.so.
//
// The library is compiled with hidden visibility by default; only the
// functions, data and classes of the published binary interface carry
// QUOR_API. The static library used by tests and fuzzers sees everything.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUOR_API __attribute__((visibility("default")))
#else
#define QUOR_API
#endif

// C linkage plus default visibility, for the C part of the interface.
#ifdef __cplusplus
#define QUOR_C_API extern "C" QUOR_API
#else
#define QUOR_C_API QUOR_API
#endif

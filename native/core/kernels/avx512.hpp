// What the AVX-512 kernels share: the instruction sets they are compiled for
// (per function, so nothing of them leaks into baseline code) and the
// intrinsics header.
#pragma once

#if defined(__x86_64__)

// GCC 12 reports the deliberately undefined source operand inside its own
// AVX-512 intrinsics (_mm512_undefined_*) as uninitialised; nothing of ours is.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define KESTRIX_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq,popcnt"
#define KESTRIX_AVX512 __attribute__((target(KESTRIX_AVX512_TARGET), always_inline)) static inline

#endif

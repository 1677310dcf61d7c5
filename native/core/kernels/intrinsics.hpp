// The x86 intrinsics header, for files whose kernels carry their own target
// attributes. GCC 12 reports the deliberately undefined source operand inside
// its own AVX-512 intrinsics (_mm512_undefined_*) as uninitialised; nothing of
// ours is, so those two warnings are silenced for the header alone. (Clang
// neither reports it nor knows the second warning's name.)
#pragma once

#if defined(__x86_64__)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

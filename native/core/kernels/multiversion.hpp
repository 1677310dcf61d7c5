// Hardware population count for code that measures pair by pair.
//
// Wheels are built for baseline x86-64, where a 64-bit popcount is a library
// call. The index's build and query each run as one flattened function (every
// helper inlined into it), cloned for the baseline and for CPUs with the
// popcnt instruction; the loader picks the clone once. Inlined helpers are
// compiled for the clone's target, so no popcnt code is reachable from the
// baseline clone.
//
// Not under ThreadSanitizer: the loader runs the clone resolvers before the
// sanitizer's runtime is set up, and the instrumented resolver crashes there.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define KESTRIX_POPCNT_CLONES __attribute__((target_clones("default", "popcnt"), flatten))
#else
#define KESTRIX_POPCNT_CLONES
#endif

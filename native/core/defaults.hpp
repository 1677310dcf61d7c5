// The defaults of every graph build and every query, for Kestrix (whose
// contract fixes them) and for a collection (which takes the same ones),
// stated once; the package's Python layers read them from its native module.
#pragma once

#include <cstdint>

namespace kestrix {

// Links per node and layer (layer 0 keeps twice as many).
inline constexpr std::uint64_t DEFAULT_M = 16;
// The width of the construction's layer search.
inline constexpr std::uint64_t DEFAULT_EF_CONSTRUCTION = 200;
// Answers per query.
inline constexpr std::uint64_t DEFAULT_K = 10;

// The graph walk's width when the caller names none, for a query without
// rescoring. A rescored query walks as wide as its candidate list when that
// is wider: on the embeddings below the candidates of a 50-wide walk hold 0.91
// of the float top-10 (top-1: 0.95), those of a 240-wide walk 0.95 (0.99),
// like the scan's. Its cost is about three times the narrow walk's.
inline constexpr std::uint64_t DEFAULT_EF = 50;

// Candidates per answer when rescoring. Measured on all-MiniLM-L6-v2
// embeddings of 31,103 verses (1,000 held-out queries, k = 10, exact scan):
// the int8 side recovers 0.930 of the float top-10 from 16 x k candidates,
// 0.955 from 24 x k and 0.966 from 32 x k, and finds the float top-1 0.994 /
// 0.997 / 0.998 of the time. 24 is the smallest factor measured that gives
// 0.95 and 0.99; the rescoring's cost grows linearly with it.
inline constexpr std::uint64_t DEFAULT_OVERSAMPLE = 24;

// Bits per component of a rescored query's asymmetric form, which measures
// its candidates. On the embeddings below 4 bits keep the candidates of the
// float query itself (0.952 against 0.954 of the float top-10 in 40); 2 bits
// lose a tenth of that.
inline constexpr unsigned ASYMMETRIC_QUERY_BITS = 4;

}  // namespace kestrix

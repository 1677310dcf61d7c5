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
// rescoring.
inline constexpr std::uint64_t DEFAULT_EF = 50;

// Candidates per answer when rescoring; a rescored query's candidates are
// the first k x oversample by the asymmetric distance of its 4-bit form.
// Measured on all-MiniLM-L6-v2 embeddings of 31,103 verses (1,000 held-out
// queries, k = 10, exact scan, int8 side): 6 x k recover 0.945 of the float
// top-10 (top-1 0.994), 7 x k 0.955 (0.996), 8 x k 0.962 (0.997), 12 x k
// 0.978 (1.000); by Hamming distance it took 24 x k to reach 0.955. 8 is
// the smallest factor with which the graph road reaches 0.95 too (7 x k needs
// a 200-wide walk for it), and rescoring costs little against the scan.
inline constexpr std::uint64_t DEFAULT_OVERSAMPLE = 8;

// The graph walk's width for a rescored query when the caller names none:
// max(DEFAULT_EF, k x this). Its candidates come from every node the walk
// measured, and the walk decides whether the float top-1 is among them: on
// the verses above, at 8 x k candidates, a 100-wide walk finds it 0.986 of
// the time (share 0.949), 120 0.990 (0.953), 160 0.994 (0.957).
inline constexpr std::uint64_t RESCORED_WALK_PER_ANSWER = 12;
// The same without a side, rescoring by the codes' sign vectors: their
// answer levels off early (0.62 of the float top-10 on the verses) and the
// walk's reach is all that moves it: 0.617 at 120 wide, 0.619 at 240, as
// wide as such a walk went before candidates were asymmetric.
inline constexpr std::uint64_t SIGN_WALK_PER_ANSWER = 24;

// Bits per component of a rescored query's asymmetric form, which measures
// its candidates. On held-out MiniLM embeddings the first 40 by the 4-bit
// query hold 0.952 of the float top-10, by the float query itself 0.954, by
// a 2-bit query 0.896.
inline constexpr unsigned ASYMMETRIC_QUERY_BITS = 4;

}  // namespace kestrix

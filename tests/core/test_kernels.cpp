// The scan's block kernels against the portable one, and the scan against a
// row-by-row reference that makes the same heap moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "heap.hpp"
#include "kernels/scan_block.hpp"
#include "scan.hpp"
#include "store.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

std::vector<kernels::ScanKernel> kernels_here() {
    kernels::ScanKernel found[8];
    const std::size_t n = kernels::available_scan_kernels(found, 8);
    return {found, found + std::min<std::size_t>(n, 8)};
}

QuantizedVector random_vector(std::mt19937_64& rng) {
    QuantizedVector v;
    for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
    return v;
}

QuantizedVector filled(std::uint32_t word) {
    QuantizedVector v;
    v.words.fill(word);
    return v;
}

// The first `count` components set: distance `count` from the zero vector.
QuantizedVector first_bits(std::size_t count) {
    QuantizedVector v;
    for (std::size_t c = 0; c < count; ++c) v.words[c / 32] |= 1u << (c % 32);
    return v;
}

// Rows that stress the lane bookkeeping: the extremes, single bits in the
// first and last word, and random rows in between.
std::vector<QuantizedVector> awkward_rows(std::mt19937_64& rng, std::size_t n) {
    std::vector<QuantizedVector> rows;
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 7) {
            case 0: rows.push_back(filled(0)); break;
            case 1: rows.push_back(filled(0xFFFFFFFFu)); break;
            case 2: {
                QuantizedVector v;
                v.words[(i / 7) % QUANTIZED_WORDS] = 1u << ((i / 7) % 32);
                rows.push_back(v);
                break;
            }
            case 3: {
                QuantizedVector v = filled(0xFFFFFFFFu);
                v.words[11] = 0x7FFFFFFFu;
                rows.push_back(v);
                break;
            }
            default: rows.push_back(random_vector(rng));
        }
    }
    return rows;
}

TEST(ScanKernels, PortableKernelIsAlwaysThereAndTheChosenOneIsAvailable) {
    const auto found = kernels_here();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(std::string(found.front().name), "generic");
    const auto chosen = kernels::scan_block_kernel();
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const auto& k) { return k.run == chosen; }));
}

TEST(ScanKernels, EveryKernelMeasuresAndFiltersLikeHammingDistance) {
    std::mt19937_64 rng(7);
    const auto rows = awkward_rows(rng, 64 * 5);
    std::vector<std::uint32_t> ids(rows.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<std::uint32_t>(i) | (rng() % 4 == 0 ? TOMBSTONE_BIT : 0u);
    }
    const QuantizedVector queries[] = {filled(0), filled(0xFFFFFFFFu), random_vector(rng), random_vector(rng)};
    const std::uint32_t bounds[] = {0, 1, 150, 192, 193, 384, kernels::ADMIT_ALL};

    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        for (const auto& query : queries) {
            for (const std::uint32_t bound : bounds) {
                // Every block length, at several offsets into the rows.
                for (std::size_t count = 1; count <= kernels::SCAN_BLOCK; ++count) {
                    const std::size_t start = (count * 37) % (rows.size() - count);
                    std::uint16_t got[kernels::SCAN_BLOCK];
                    const std::uint64_t mask =
                        kernel.run(query, rows.data() + start, ids.data() + start, count, bound, got);
                    std::uint64_t expected_mask = 0;
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::uint32_t d = hamming_distance(query, rows[start + i]);
                        ASSERT_EQ(got[i], d) << "count " << count << " row " << i;
                        if (!is_tombstoned(ids[start + i]) && d < bound) expected_mask |= std::uint64_t{1} << i;
                    }
                    ASSERT_EQ(mask, expected_mask) << "count " << count << " bound " << bound;
                }
            }
        }
    }
}

TEST(ScanKernels, ExtremeRowsGiveZeroAndFullDistance) {
    const std::vector<QuantizedVector> rows(kernels::SCAN_BLOCK, filled(0xFFFFFFFFu));
    const std::vector<std::uint32_t> ids(rows.size(), 3);
    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        std::uint16_t d[kernels::SCAN_BLOCK];
        EXPECT_EQ(kernel.run(filled(0), rows.data(), ids.data(), rows.size(), kernels::ADMIT_ALL, d), ~0ull);
        EXPECT_TRUE(std::all_of(d, d + rows.size(), [](std::uint16_t x) { return x == 384; }));
        EXPECT_EQ(kernel.run(filled(0xFFFFFFFFu), rows.data(), ids.data(), rows.size(), 1, d), ~0ull);
        EXPECT_TRUE(std::all_of(d, d + rows.size(), [](std::uint16_t x) { return x == 0; }));
    }
}

// The scan as a plain loop: every live slot offered to the heap in slot order.
std::vector<SearchHit> reference_scan(const VectorStore& store, const QuantizedVector& query, std::uint64_t k) {
    std::vector<SearchHit> heap;
    const auto ids = store.ids();
    const auto vectors = store.vectors();
    for (std::size_t slot = 0; slot < ids.size(); ++slot) {
        if (k == 0 || is_tombstoned(ids[slot])) continue;
        const std::uint32_t d = hamming_distance(query, vectors[slot]);
        const SearchHit hit{ids[slot], static_cast<std::uint32_t>(slot), d, distance_to_score(d)};
        if (heap.size() < k) {
            test_support::heap_push(heap, hit, FarthestFirst{});
        } else if (d < heap.front().distance) {
            heap_replace_top(std::span(heap), hit, FarthestFirst{});
        }
    }
    sort_by_distance(std::span(heap));
    return heap;
}

void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].slot, want[i].slot) << "position " << i;
        EXPECT_EQ(got[i].doc_id, want[i].doc_id) << "position " << i;
        EXPECT_EQ(got[i].distance, want[i].distance) << "position " << i;
        EXPECT_EQ(got[i].score, want[i].score) << "position " << i;
    }
}

// Few distinct distances, so ties at the cut-off are everywhere; tombstones
// fall on block edges too.
VectorStore tie_heavy_store(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < n; ++i) {
        vectors.push_back(first_bits(rng() % 6 * 3));
        const bool dead = rng() % 5 == 0 || i % 64 == 63 || i % 64 == 0;
        ids.push_back(static_cast<std::uint32_t>(rng() % 50) | (dead ? TOMBSTONE_BIT : 0u));
    }
    return VectorStore::from_slots(std::move(vectors), std::move(ids), std::vector<double>(n, 0.0));
}

class ScanAgainstReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ScanAgainstReference, SameHitsInTheSameOrderAsTheRowByRowScan) {
    const std::size_t n = GetParam();
    const VectorStore store = tie_heavy_store(n, n + 1);
    const std::uint64_t ks[] = {1, 2, 3, 10, 20, 21, 64, 65, n, n + 3, std::numeric_limits<std::uint64_t>::max()};
    for (const QuantizedVector& query : {first_bits(0), first_bits(7), first_bits(384)}) {
        for (const std::uint64_t k : ks) {
            SCOPED_TRACE("k " + std::to_string(k));
            const auto got = scan_top_k(store, query, k);
            expect_same_hits(got, reference_scan(store, query, k));

            // Independently of the heap: the retained distances are the k
            // smallest distances of the live slots.
            std::vector<std::uint32_t> live;
            for (std::size_t s = 0; s < n; ++s) {
                if (!is_tombstoned(store.ids()[s])) live.push_back(hamming_distance(query, store.vectors()[s]));
            }
            std::sort(live.begin(), live.end());
            live.resize(std::min<std::uint64_t>(k, live.size()));
            std::vector<std::uint32_t> kept;
            for (const auto& hit : got) kept.push_back(hit.distance);
            EXPECT_EQ(kept, live);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StoreSizes, ScanAgainstReference, ::testing::Values(1, 2, 63, 64, 65, 200, 1000, 4097));

TEST(Scan, RandomStoresMatchTheReference) {
    std::mt19937_64 rng(11);
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        vectors.push_back(random_vector(rng));
        ids.push_back(i | (i % 9 == 0 ? TOMBSTONE_BIT : 0u));
    }
    const VectorStore store = VectorStore::from_slots(vectors, ids, std::vector<double>(vectors.size(), 0.0));
    for (int q = 0; q < 20; ++q) {
        const QuantizedVector query = q % 2 ? random_vector(rng) : vectors[rng() % vectors.size()];
        expect_same_hits(scan_top_k(store, query, 10), reference_scan(store, query, 10));
    }
}

// The worked examples of the tie rules: distances per slot, k, expected slots.
struct TieCase {
    std::vector<std::size_t> distances;
    std::uint64_t k;
    std::vector<std::uint32_t> slots;
};

class ScanTieRules : public ::testing::TestWithParam<TieCase> {};

TEST_P(ScanTieRules, RetainedSlotsFollowTheHeap) {
    const TieCase& c = GetParam();
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < c.distances.size(); ++i) {
        vectors.push_back(first_bits(c.distances[i]));
        ids.push_back(static_cast<std::uint32_t>(100 + i));
    }
    const VectorStore store = VectorStore::from_slots(vectors, ids, std::vector<double>(vectors.size(), 0.0));
    std::vector<std::uint32_t> slots;
    for (const auto& hit : scan_top_k(store, first_bits(0), c.k)) slots.push_back(hit.slot);
    EXPECT_EQ(slots, c.slots);
}

INSTANTIATE_TEST_SUITE_P(Examples, ScanTieRules,
                         ::testing::Values(TieCase{{5, 5, 3}, 2, {2, 1}}, TieCase{{2, 7, 7, 1}, 3, {3, 0, 2}},
                                           TieCase{{4, 4, 4, 4}, 3, {0, 1, 2}}));

}  // namespace
}  // namespace kestrix

// Layer walks and the index road of a query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "scan.hpp"
#include "store.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

using test_support::U64_MAX;

using test_support::bits;

std::vector<std::uint32_t> identity_ids(std::size_t n) {
    std::vector<std::uint32_t> ids(n);
    for (std::uint32_t i = 0; i < n; ++i) ids[i] = i;
    return ids;
}

// Points scattered around a few random centres: each bit of the centre is
// flipped with probability `noise`.
struct Clustered {
    std::vector<QuantizedVector> centres;
    std::mt19937_64 rng;
    double noise;

    Clustered(std::size_t clusters, double noise_, std::uint64_t seed) : rng(seed), noise(noise_) {
        centres.resize(clusters);
        for (auto& c : centres)
            for (auto& w : c.words) w = static_cast<std::uint32_t>(rng());
    }
    QuantizedVector sample() {
        QuantizedVector v = centres[rng() % centres.size()];
        std::bernoulli_distribution flip(noise);
        for (std::size_t c = 0; c < DIMENSION; ++c)
            if (flip(rng)) v.words[c / 32] ^= 1u << (c % 32);
        return v;
    }
    std::vector<QuantizedVector> samples(std::size_t n) {
        std::vector<QuantizedVector> out(n);
        for (auto& v : out) v = sample();
        return out;
    }
};

// The oracle: every live slot measured, distances ascending.
std::vector<std::uint32_t> exact_distances(std::span<const QuantizedVector> v, std::span<const std::uint32_t> ids,
                                           const QuantizedVector& q) {
    std::vector<std::uint32_t> out;
    for (std::size_t s = 0; s < v.size(); ++s)
        if (!is_tombstoned(ids[s])) out.push_back(hamming_distance(q, v[s]));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> slots_and_distances(const std::vector<SearchHit>& hits) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const auto& h : hits) out.emplace_back(h.slot, h.distance);
    return out;
}

// ---------------------------------------------------------------------------
// search_layer on hand-made graphs. The target is the vector with no bits, so
// a node's distance is the number of bits its vector has.

class LayerSearchTest : public ::testing::Test {
protected:
    std::vector<QuantizedVector> v;
    std::unique_ptr<HnswGraph> index;

    void graph(std::vector<QuantizedVector> vectors, std::vector<std::vector<std::uint32_t>> rows) {
        v = std::move(vectors);
        HnswBuilder builder(v.size(), 16, 0);
        for (std::uint32_t s = 0; s < rows.size(); ++s) builder.set_neighbours(s, 0, rows[s]);
        index = std::make_unique<HnswGraph>(std::move(builder).finish());
    }
    std::vector<Candidate> search(std::uint32_t entry, std::uint64_t ef) {
        VisitedSet visited(v.size());
        return test_support::search_layer(*index, v, QuantizedVector{}, entry, 0, ef, visited);
    }
};

TEST_F(LayerSearchTest, ResultsComeBackInHeapOrder) {
    graph({bits(0, 10), bits(0, 3), bits(0, 7)}, {{1, 2}, {0}, {0}});
    EXPECT_EQ(search(0, 3), (std::vector<Candidate>{{10, 0}, {3, 1}, {7, 2}}));
    // Width 2: the entry is evicted when the third node arrives.
    EXPECT_EQ(search(0, 2), (std::vector<Candidate>{{7, 2}, {3, 1}}));
    // Width 1 keeps the nearest reached through strictly closer nodes; 0 acts as 1.
    EXPECT_EQ(search(0, 1), (std::vector<Candidate>{{3, 1}}));
    EXPECT_EQ(search(0, 0), (std::vector<Candidate>{{3, 1}}));
    EXPECT_EQ(search(0, U64_MAX), search(0, 3));
}

TEST_F(LayerSearchTest, EntryAloneOrOutsideTheStore) {
    graph({bits(0, 4), bits(0, 1)}, {{}, {0}});
    EXPECT_EQ(search(0, 10), (std::vector<Candidate>{{4, 0}}));
    EXPECT_TRUE(search(2, 10).empty());
    EXPECT_TRUE(search(EMPTY_LINK, 10).empty());
}

TEST_F(LayerSearchTest, EqualDistanceIsAdmittedOnlyWhileThereIsRoom) {
    graph({bits(0, 5), bits(100, 5)}, {{1}, {0}});
    EXPECT_EQ(search(0, 1), (std::vector<Candidate>{{5, 0}}));
    EXPECT_EQ(search(0, 2), (std::vector<Candidate>{{5, 0}, {5, 1}}));
}

TEST_F(LayerSearchTest, EvictionTakesTheTopAmongEqualFarthest) {
    // Entry and A both at 9; when B (4) overflows width 2 the top, the entry,
    // goes, and A sifts up.
    graph({bits(0, 9), bits(100, 9), bits(200, 4)}, {{1, 2}, {}, {}});
    EXPECT_EQ(search(0, 2), (std::vector<Candidate>{{9, 1}, {4, 2}}));
}

// ---------------------------------------------------------------------------

class GreedyDescendTest : public ::testing::Test {
protected:
    // Distances to the empty target: 10, 8, 6, 1, 4, 4.
    std::vector<QuantizedVector> v = {bits(0, 10), bits(0, 8), bits(0, 6), bits(0, 1), bits(0, 4), bits(100, 4)};
    HnswBuilder builder{6, 16, 0};
    const HnswGraph& index = builder.graph();

    void SetUp() override {
        for (std::uint32_t s = 0; s < 6; ++s) builder.add_node(s, 1);
    }
    void link(std::uint32_t slot, std::vector<std::uint32_t> row) { builder.set_neighbours(slot, 1, row); }
    Candidate descend(std::uint32_t start, std::uint32_t distance) {
        return greedy_descend(index, v, code_of(QuantizedVector{}), start, distance, 1, test_support::kernels_384());
    }
};

TEST_F(GreedyDescendTest, PassFinishesItsOwnLinksBeforeMoving) {
    // From 0 the pass moves to 1 and then 2; 1's link to 3 (distance 1) is never
    // read because the next pass starts from 2.
    link(0, {1, 2});
    link(1, {3});
    link(2, {4});
    EXPECT_EQ(descend(0, 10), (Candidate{4, 4}));
}

TEST_F(GreedyDescendTest, StopsWithoutAStrictlyBetterNeighbour) {
    link(3, {0, 4});
    EXPECT_EQ(descend(3, 1), (Candidate{1, 3}));
    link(4, {5});  // same distance: no move
    EXPECT_EQ(descend(4, 4), (Candidate{4, 4}));
    // The caller's distance is the one compared and returned.
    link(4, {3});
    EXPECT_EQ(descend(4, 0), (Candidate{0, 4}));
    // Links outside the store, and layers the slot is not in, are ignored.
    link(2, {77, 5});
    EXPECT_EQ(descend(2, 6), (Candidate{4, 5}));
    EXPECT_EQ(greedy_descend(index, v, code_of(QuantizedVector{}), 0, 10, 2, test_support::kernels_384()),
              (Candidate{10, 0}));
}

// ---------------------------------------------------------------------------

class ThreeSlotQuery : public ::testing::Test {
protected:
    std::vector<QuantizedVector> v = {QuantizedVector{}, bits(0, 384), bits(0, 100)};
    std::vector<std::uint32_t> ids = identity_ids(3);
    std::unique_ptr<HnswGraph> index = build_hnsw(v, ids, 16, 200);
    QuantizedVector query = bits(0, 100);
};

TEST_F(ThreeSlotQuery, NearestFirstWithScanScores) {
    const auto hits = test_support::search_hnsw(*index, v, ids, query, 10, 50);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(slots_and_distances(hits),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 0}, {0, 100}, {1, 284}}));
    for (const auto& h : hits) {
        EXPECT_EQ(h.doc_id, h.slot);
        EXPECT_EQ(h.score, distance_to_score(h.distance, DIMENSION));
    }
    EXPECT_EQ(hits[0].score, 1.0f);
    EXPECT_FLOAT_EQ(hits[1].score, 0.7395834f);
    EXPECT_FLOAT_EQ(hits[2].score, 0.2604167f);
}

TEST_F(ThreeSlotQuery, DegenerateQueriesAreEmpty) {
    EXPECT_TRUE(test_support::search_hnsw(*index, v, ids, query, 0, 50).empty());
    EXPECT_TRUE(test_support::search_hnsw(*index, v, ids, query, 0, U64_MAX).empty());
    // An entry point outside the vectors handed in.
    EXPECT_TRUE(test_support::search_hnsw(*index, std::span(v).first(0), ids, query, 10, 50).empty());

    const std::vector<QuantizedVector> none;
    auto empty = build_hnsw(none, {}, 16, 200);
    EXPECT_TRUE(test_support::search_hnsw(*empty, none, {}, query, 10, 50).empty());
    const std::vector<std::uint32_t> dead{TOMBSTONE_BIT, 1 | TOMBSTONE_BIT, 2 | TOMBSTONE_BIT};
    auto all_dead = build_hnsw(v, dead, 16, 200);
    EXPECT_TRUE(test_support::search_hnsw(*all_dead, v, dead, query, 10, 50).empty());
}

TEST_F(ThreeSlotQuery, CutToKComesBeforeDroppingDeadSlots) {
    // Slot 0 tombstoned after the build: the second place stays empty rather
    // than being filled by slot 1.
    std::vector<std::uint32_t> later = ids;
    later[0] |= TOMBSTONE_BIT;
    EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, v, later, query, 2, 50)),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 0}}));
    EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, v, later, query, 3, 50)),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 0}, {1, 284}}));
    // Slots beyond the id words handed in are dropped the same way.
    EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, v, std::span(ids).first(2), query, 3, 50)),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 100}, {1, 284}}));
}

// ---------------------------------------------------------------------------

class IndexQuery : public ::testing::Test {
protected:
#ifdef NDEBUG
    static constexpr std::size_t n = 4000;
#else
    static constexpr std::size_t n = 1200;
#endif
    Clustered source{40, 0.08, 11};
    std::vector<QuantizedVector> v = source.samples(n);
    std::vector<std::uint32_t> ids = identity_ids(n);
    std::vector<QuantizedVector> queries = source.samples(50);

    void tombstone_every(std::size_t step) {
        for (std::size_t s = 0; s < n; s += step) ids[s] |= TOMBSTONE_BIT;
    }

    // Checks that the k hits are live, exact, scored and ascending, and counts
    // those as good as the k-th exact one (ties at the cut-off make slot sets
    // ambiguous).
    std::size_t good_hits(const std::vector<SearchHit>& hits, const QuantizedVector& q, std::uint64_t k) {
        const std::uint32_t cutoff = exact_distances(v, ids, q)[k - 1];
        EXPECT_EQ(hits.size(), k);
        std::size_t good = 0;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            const auto& h = hits[i];
            EXPECT_FALSE(is_tombstoned(ids[h.slot]));
            EXPECT_EQ(h.doc_id, ids[h.slot]);
            EXPECT_EQ(h.distance, hamming_distance(q, v[h.slot]));
            EXPECT_EQ(h.score, distance_to_score(h.distance, DIMENSION));
            if (i > 0) {
                EXPECT_LE(hits[i - 1].distance, h.distance);
            }
            if (h.distance <= cutoff) ++good;
        }
        return good;
    }
};

TEST_F(IndexQuery, RecallAgainstTheExactScan) {
    tombstone_every(9);
    auto index = build_hnsw(v, ids, 16, 200);

    constexpr std::uint64_t k = 10;
    double found = 0;
    for (const auto& q : queries) {
        found += good_hits(test_support::search_hnsw(*index, v, ids, q, k, 100), q, k);
    }
    EXPECT_GT(found / (k * queries.size()), 0.9);
}

TEST_F(IndexQuery, WidthIsTheLargerOfEfAndK) {
    auto index = build_hnsw(v, ids, 8, 60);
    for (const auto& q : queries) {
        EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, v, ids, q, 10, 5)),
                  slots_and_distances(test_support::search_hnsw(*index, v, ids, q, 10, 10)));
        EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, v, ids, q, 1, 0)),
                  slots_and_distances(test_support::search_hnsw(*index, v, ids, q, 1, 1)));
        // k = 5 with ef = 50 returns the five best of the width-50 search.
        const auto wide = test_support::search_hnsw(*index, v, ids, q, 50, 50);
        const auto five = test_support::search_hnsw(*index, v, ids, q, 5, 50);
        ASSERT_EQ(wide.size(), 50u);
        EXPECT_EQ(slots_and_distances(five),
                  slots_and_distances(std::vector<SearchHit>(wide.begin(), wide.begin() + 5)));
    }
}

TEST_F(IndexQuery, UnboundedKAndEfReturnEverythingReached) {
    const std::size_t small = 300;
    std::span<const QuantizedVector> part = std::span(v).first(small);
    std::span<const std::uint32_t> part_ids = std::span(ids).first(small);
    auto index = build_hnsw(part, part_ids, 16, U64_MAX);
    for (const auto& q : queries) {
        const auto all = test_support::search_hnsw(*index, part, part_ids, q, U64_MAX, U64_MAX);
        ASSERT_LE(all.size(), small);
        std::set<std::uint32_t> distinct;
        for (std::size_t i = 0; i < all.size(); ++i) {
            distinct.insert(all[i].slot);
            if (i > 0) {
                EXPECT_LE(all[i - 1].distance, all[i].distance);
            }
        }
        EXPECT_EQ(distinct.size(), all.size());
        EXPECT_EQ(slots_and_distances(test_support::search_hnsw(*index, part, part_ids, q, small, small)),
                  slots_and_distances(all));
    }
}

TEST_F(IndexQuery, ReusedScratchGivesFreshResults) {
    // A query's answer must not depend on the queries before it: run the same
    // queries forwards with fresh contexts and backwards with one context,
    // after warming it.
    auto index = build_hnsw(v, ids, 8, 40);
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> expected;
    for (const auto& q : queries) {
        expected.push_back(slots_and_distances(test_support::search_hnsw(*index, v, ids, q, 10, 40)));
    }
    SearchContext scratch;
    for (const auto& q : source.samples(100)) search_hnsw(*index, v, ids, code_of(q), 10, 40, scratch);
    for (std::size_t i = queries.size(); i-- > 0;) {
        EXPECT_EQ(slots_and_distances(search_hnsw(*index, v, ids, code_of(queries[i]), 10, 40, scratch)), expected[i]);
    }
    // The stamp is about to wrap and every slot carries the stamp that follows
    // the wrap: without the clear, the whole store would look visited.
    scratch.visited.current = 0xFFFFFFFFu;
    std::fill(scratch.visited.stamps.begin(), scratch.visited.stamps.end(), 1u);
    EXPECT_EQ(slots_and_distances(search_hnsw(*index, v, ids, code_of(queries[0]), 10, 40, scratch)), expected[0]);
    EXPECT_EQ(scratch.visited.current, 1u);
}

TEST_F(IndexQuery, LiveRuleWalksThroughDeletedNodesAndKeepsLiveHits) {
    // The graph outlives deletions made after it was built.
    auto index = build_hnsw(v, ids, 16, 200);
    SearchContext context;
    for (const std::size_t step : {3u, 2u}) {
        tombstone_every(step);
        constexpr std::uint64_t k = 10;
        double found = 0;
        for (const auto& q : queries) {
            const auto live = search_hnsw_live(*index, v, ids, code_of(q), k, 60, context);
            found += good_hits(live, q, k);
            // The pool of the same walk: distinct live slots, the walk's best
            // among them, and past those only nodes as near as its k-th.
            auto pool = search_hnsw_pool(*index, v, ids, code_of(q), k, 60, 4 * k, context);
            ASSERT_EQ(pool.size(), 4 * k);
            std::sort(pool.begin(), pool.end(), [](const SearchHit& a, const SearchHit& b) {
                return std::pair(a.distance, a.slot) < std::pair(b.distance, b.slot);
            });
            for (std::size_t i = 0; i < pool.size(); ++i) {
                EXPECT_FALSE(is_tombstoned(ids[pool[i].slot]));
                EXPECT_EQ(pool[i].distance, hamming_distance(q, v[pool[i].slot]));
                if (i < k) {
                    EXPECT_EQ(pool[i].distance, live[i].distance);
                }
                if (i > 0) {
                    EXPECT_NE(pool[i].slot, pool[i - 1].slot);
                }
            }
        }
        EXPECT_GT(found / (k * queries.size()), 0.9) << "every " << step << "th slot deleted";
    }

    // Nearly everything deleted: a wide enough search reaches the few live
    // slots through the dead ones and returns every one, however large k is.
    std::vector<std::uint32_t> survivors{7, n / 2 + 1, n - 1};
    for (std::size_t s = 0; s < n; ++s) ids[s] |= TOMBSTONE_BIT;
    for (const std::uint32_t s : survivors) ids[s] &= ~TOMBSTONE_BIT;
    for (const auto& q : queries) {
        std::vector<std::uint32_t> got;
        for (const auto& h : search_hnsw_live(*index, v, ids, code_of(q), 10, U64_MAX, context))
            got.push_back(h.distance);
        EXPECT_EQ(got, exact_distances(v, ids, q));
        EXPECT_TRUE(search_hnsw_live(*index, v, ids, code_of(q), 0, U64_MAX, context).empty());
    }
    for (const std::uint32_t s : survivors) ids[s] |= TOMBSTONE_BIT;
    EXPECT_TRUE(search_hnsw_live(*index, v, ids, code_of(queries[0]), 10, U64_MAX, context).empty());
}

TEST(IndexQueryLargeM, EnormousMWorksOnASmallStore) {
    Clustered source(5, 0.1, 5);
    const auto v = source.samples(80);
    const auto ids = identity_ids(80);
    auto index = build_hnsw(v, ids, U64_MAX, 200);
    EXPECT_EQ(index->layer0_stride(), 79u);
    for (const auto& q : source.samples(10)) {
        // Rows can hold every other slot, so the search reaches and returns the exact answer.
        std::vector<std::uint32_t> found;
        for (const auto& h : test_support::search_hnsw(*index, v, ids, q, 80, 80)) found.push_back(h.distance);
        EXPECT_EQ(found, exact_distances(v, ids, q));
    }
}

}  // namespace
}  // namespace kestrix

// The index structure, its level generator and its construction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <random>
#include <set>
#include <vector>

#include "hnsw/graph.hpp"
#include "hnsw/graph_codec.hpp"
#include "store.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

using test_support::U64_MAX;

using test_support::bits;

std::vector<std::uint32_t> as_vector(std::span<const std::uint32_t> s) { return {s.begin(), s.end()}; }

std::vector<QuantizedVector> random_vectors(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<QuantizedVector> out(n);
    for (auto& v : out)
        for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
    return out;
}

// Everything a build decides, flattened, so two indexes compare in one go.
std::vector<std::uint64_t> dump(const HnswGraph& index) {
    std::vector<std::uint64_t> out{index.entry_point().value_or(EMPTY_LINK), index.top_level(), index.rng_state()};
    for (std::uint32_t s = 0; s < index.slot_count(); ++s) {
        out.push_back(index.layer0_count(s));
        out.insert(out.end(), index.layer0_row(s).begin(), index.layer0_row(s).end());
    }
    for (std::uint64_t l = 1; l <= index.upper_layer_count(); ++l) {
        const auto members = index.upper_nodes(l);
        out.insert(out.end(), members.begin(), members.end());
        for (std::size_t p = 0; p < members.size(); ++p) {
            out.push_back(index.upper_count(l, p));
            out.insert(out.end(), index.upper_row(l, p).begin(), index.upper_row(l, p).end());
        }
    }
    return out;
}

// The structural promises of a built index, checked against the store it was
// built from and against an independent run of the level generator.
void check_invariants(const HnswGraph& index, std::span<const QuantizedVector> vectors,
                      std::span<const std::uint32_t> ids, std::uint64_t m) {
    const std::size_t n = vectors.size();
    ASSERT_EQ(index.slot_count(), n);

    // Levels the live slots must have drawn, in ascending slot order.
    HnswBuilder fresh(0, m, 0);
    std::vector<std::uint64_t> expected_level(n, 0);
    std::vector<bool> live(n, false);
    std::uint64_t top = 0;
    std::optional<std::uint32_t> expected_entry;
    std::size_t live_count = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        if (is_tombstoned(ids[s])) continue;
        live[s] = true;
        ++live_count;
        expected_level[s] = fresh.draw_level();
        if (!expected_entry || expected_level[s] > top) {
            top = expected_level[s];
            expected_entry = s;
        }
    }
    EXPECT_EQ(index.entry_point(), expected_entry);
    EXPECT_EQ(index.top_level(), top);
    ASSERT_EQ(index.upper_layer_count(), top);

    // Membership: exactly the live slots whose level reaches the layer, ascending.
    for (std::uint64_t l = 1; l <= top; ++l) {
        std::vector<std::uint32_t> members;
        for (std::uint32_t s = 0; s < n; ++s)
            if (live[s] && expected_level[s] >= l) members.push_back(s);
        ASSERT_EQ(as_vector(index.upper_nodes(l)), members) << "layer " << l;
    }

    const std::uint64_t longest = n > 1 ? n - 1 : 1;
    auto check_row = [&](std::span<const std::uint32_t> row, std::uint32_t count, std::uint32_t self,
                         std::uint64_t capacity, std::uint64_t layer) {
        ASSERT_EQ(row.size(), std::min(capacity, longest));
        ASSERT_LE(count, row.size()) << "slot " << self << " layer " << layer;
        std::set<std::uint32_t> seen;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t link = row[i];
            ASSERT_LT(link, n) << "slot " << self << " layer " << layer;
            ASSERT_NE(link, self) << "self link at layer " << layer;
            ASSERT_TRUE(live[link]) << "link to tombstoned slot " << link;
            ASSERT_GE(expected_level[link], layer) << "link to a non-member of layer " << layer;
            ASSERT_TRUE(seen.insert(link).second) << "duplicate link " << link << " in slot " << self;
        }
        for (std::size_t i = count; i < row.size(); ++i)
            ASSERT_EQ(row[i], EMPTY_LINK) << "padding of slot " << self << " layer " << layer;
    };

    for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint32_t count = index.layer0_count(s);
        check_row(index.layer0_row(s), count, s, index.m0(), 0);
        if (!live[s]) {
            EXPECT_EQ(count, 0u);
        } else if (live_count >= 2) {
            // Rows only ever grow or are re-chosen full, so every node keeps a link.
            EXPECT_GE(count, 1u) << "isolated slot " << s;
        }
        if (::testing::Test::HasFatalFailure()) return;
    }
    for (std::uint64_t l = 1; l <= top; ++l) {
        const auto members = index.upper_nodes(l);
        for (std::size_t p = 0; p < members.size(); ++p) {
            check_row(index.upper_row(l, p), index.upper_count(l, p), members[p], index.m(), l);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// ---------------------------------------------------------------------------

TEST(HnswParameters, SmallMIsRaisedToTwo) {
    for (std::uint64_t m : {0ull, 1ull, 2ull}) {
        HnswBuilder builder(0, m, 7);
        const HnswGraph& index = builder.graph();
        EXPECT_EQ(index.m(), 2u);
        EXPECT_EQ(index.m0(), 4u);
        EXPECT_EQ(index.level_mult(), 1.0 / std::log(2.0));
        EXPECT_EQ(index.ef_construction(), 7u);
    }
    HnswBuilder sixteen(0, 16, 200);
    EXPECT_EQ(sixteen.graph().m0(), 32u);
    EXPECT_NEAR(sixteen.graph().level_mult(), 0.3607, 1e-4);
}

TEST(HnswParameters, LayerZeroCapacitySaturatesInsteadOfWrapping) {
    const std::uint64_t half = std::uint64_t{1} << 63;
    EXPECT_EQ(HnswBuilder(0, half - 1, 0).graph().m0(), U64_MAX - 1);
    EXPECT_EQ(HnswBuilder(0, half, 0).graph().m0(), U64_MAX);
    HnswBuilder builder(5, U64_MAX, U64_MAX);
    const HnswGraph& huge = builder.graph();
    EXPECT_EQ(huge.m(), U64_MAX);
    EXPECT_EQ(huge.m0(), U64_MAX);
    EXPECT_EQ(huge.ef_construction(), U64_MAX);
    EXPECT_EQ(huge.level_mult(), 1.0 / std::log(static_cast<double>(U64_MAX)));
    // Rows are as long as the other slots, not as long as m asks.
    EXPECT_EQ(huge.layer0_stride(), 4u);
    EXPECT_EQ(huge.upper_stride(), 4u);
}

TEST(HnswParameters, UnallocatableTablesThrowBadAlloc) {
    // More slots than slot numbers below EMPTY_LINK.
    EXPECT_THROW(HnswBuilder(std::size_t{1} << 32, 16, 200), std::bad_alloc);
    // Row count times stride times four bytes overflows 64 bits.
    EXPECT_THROW(HnswBuilder(0xFFFFFFFFu, U64_MAX, 200), std::bad_alloc);
}

TEST(HnswLevels, DrawsAfterResetFollowTheSeed) {
    HnswBuilder first(0, 16, 200);
    EXPECT_EQ(first.graph().rng_state(), RNG_SEED);
    first.draw_level();
    EXPECT_EQ(first.graph().rng_state(), 0x27DC5C1B2D04284Bull);
    EXPECT_NEAR(static_cast<double>(first.graph().rng_state() >> 11) * 0x1p-53, 0.1557, 1e-4);

    const std::pair<std::uint64_t, std::vector<std::uint64_t>> cases[] = {
        {16, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
        {2, {2, 0, 1, 0, 0, 1, 1, 0, 5, 4}},
    };
    for (const auto& [m, expected] : cases) {
        HnswBuilder index(0, m, 200);
        std::vector<std::uint64_t> got;
        for (int i = 0; i < 10; ++i) got.push_back(index.draw_level());
        EXPECT_EQ(got, expected) << "m = " << m;
    }
}

TEST(HnswLevels, LevelsAreCappedAndGeometric) {
    // With m = 2 a level of at least L has probability 2^-L, so over 2^20 draws
    // the cap of 16 is hit about sixteen times and never exceeded.
    constexpr std::size_t draws = std::size_t{1} << 20;
    for (std::uint64_t m : {2ull, 16ull}) {
        HnswBuilder index(0, m, 0);
        std::vector<std::size_t> at_least(MAX_LEVEL + 2, 0);
        for (std::size_t i = 0; i < draws; ++i) {
            const std::uint64_t level = index.draw_level();
            ASSERT_LE(level, MAX_LEVEL);
            for (std::uint64_t l = 0; l <= level; ++l) ++at_least[l];
        }
        for (std::uint64_t l = 1; l <= 3; ++l) {
            const double expected = std::pow(static_cast<double>(m), -static_cast<double>(l));
            const double tolerance = 5.0 * std::sqrt(expected / draws);
            EXPECT_NEAR(static_cast<double>(at_least[l]) / draws, expected, tolerance)
                << "m = " << m << ", level " << l;
        }
        if (m == 2) {
            EXPECT_GT(at_least[MAX_LEVEL], 4u);
            EXPECT_LT(at_least[MAX_LEVEL], 40u);
        }
    }
}

TEST(VisitedSetTest, StampsSeparateSearchesAndTheWrapClearsThem) {
    VisitedSet set(4);
    EXPECT_EQ(set.current, 1u);
    EXPECT_TRUE(test_support::visit(set, 2));
    EXPECT_FALSE(test_support::visit(set, 2));
    set.start_search();
    EXPECT_FALSE(set.is_visited(2));
    test_support::mark(set, 9);  // beyond the end: the array grows
    EXPECT_EQ(set.stamps.size(), 10u);
    EXPECT_TRUE(set.is_visited(9));
    EXPECT_FALSE(set.is_visited(7));

    set.current = 0xFFFFFFFEu;
    set.stamps = {1, 0xFFFFFFFFu};
    set.start_search();  // no wrap yet: nothing is cleared
    EXPECT_EQ(set.current, 0xFFFFFFFFu);
    EXPECT_TRUE(set.is_visited(1));
    set.start_search();  // wraps: the stale stamp 1 must not read as visited
    EXPECT_EQ(set.current, 1u);
    EXPECT_EQ(set.stamps, std::vector<std::uint32_t>(2, 0));
}

TEST(HnswRows, LayerZeroWritesTruncatePadAndRead) {
    HnswBuilder builder(10, 2, 0);  // m0 = 4
    const HnswGraph& index = builder.graph();
    ASSERT_EQ(index.layer0_stride(), 4u);
    const std::vector<std::uint32_t> long_list{1, 2, 3, 4, 5, 6};
    builder.set_neighbours(0, 0, long_list);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(index.layer0_count(0), 4u);

    const std::vector<std::uint32_t> three{7, 8, 9};
    builder.set_neighbours(0, 0, three);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), three);
    EXPECT_EQ(as_vector(index.layer0_row(0)), (std::vector<std::uint32_t>{7, 8, 9, EMPTY_LINK}));

    builder.set_neighbours(0, 0, {});
    EXPECT_TRUE(index.neighbours(0, 0).empty());
    EXPECT_EQ(index.layer0_count(0), 0u);
    EXPECT_EQ(as_vector(index.layer0_row(0)), std::vector<std::uint32_t>(4, EMPTY_LINK));

    // A free entry inside the counted part ends the reading there.
    const std::vector<std::uint32_t> holed{5, EMPTY_LINK, 6};
    builder.set_neighbours(1, 0, holed);
    EXPECT_EQ(as_vector(index.neighbours(1, 0)), (std::vector<std::uint32_t>{5}));

    // Rows that do not exist read as empty and ignore writes.
    EXPECT_TRUE(index.neighbours(10, 0).empty());
    builder.set_neighbours(10, 0, three);
    EXPECT_TRUE(index.neighbours(10, 0).empty());
}

TEST(HnswRows, UpperLayersHoldOnlyTheirMembers) {
    HnswBuilder builder(10, 2, 0);
    const HnswGraph& index = builder.graph();
    builder.add_node(3, 2);
    builder.add_node(5, 1);
    builder.add_node(8, 0);
    ASSERT_EQ(index.upper_layer_count(), 2u);
    EXPECT_EQ(as_vector(index.upper_nodes(1)), (std::vector<std::uint32_t>{3, 5}));
    EXPECT_EQ(as_vector(index.upper_nodes(2)), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(as_vector(index.upper_row(1, 1)), std::vector<std::uint32_t>(2, EMPTY_LINK));

    const std::vector<std::uint32_t> links{5, 8, 9};
    builder.set_neighbours(3, 1, links);  // capacity m = 2
    EXPECT_EQ(as_vector(index.neighbours(3, 1)), (std::vector<std::uint32_t>{5, 8}));
    EXPECT_TRUE(index.neighbours(5, 1).empty());  // the neighbouring row is untouched

    const std::vector<std::uint32_t> one{3};
    builder.set_neighbours(5, 1, one);
    EXPECT_EQ(as_vector(index.neighbours(5, 1)), one);
    EXPECT_EQ(as_vector(index.neighbours(3, 1)), (std::vector<std::uint32_t>{5, 8}));

    // Above a node's level, above the top layer, and for non-members: nothing.
    builder.set_neighbours(5, 2, one);
    builder.set_neighbours(4, 1, one);
    builder.set_neighbours(3, 3, one);
    EXPECT_TRUE(index.neighbours(5, 2).empty());
    EXPECT_TRUE(index.neighbours(4, 1).empty());
    EXPECT_TRUE(index.neighbours(3, 3).empty());
    EXPECT_TRUE(index.neighbours(8, 1).empty());
    EXPECT_TRUE(index.neighbours(3, 2).empty());
}

TEST(HnswSelect, DiversityRuleKeepsFarApartCandidatesFirst) {
    // Distances to the base come with the list; A-B is 15 and A-C is 40.
    std::vector<QuantizedVector> v = {QuantizedVector{}, bits(0, 15), bits(100, 40)};
    const std::uint32_t A = 0, B = 1, C = 2;
    const std::vector<Candidate> sorted{{10, A}, {20, B}, {30, C}};
    EXPECT_EQ(test_support::select_neighbours(sorted, 2, v), (std::vector<std::uint32_t>{A, C}));
    EXPECT_EQ(test_support::select_neighbours(sorted, 3, v), (std::vector<std::uint32_t>{A, C, B}));
    EXPECT_EQ(test_support::select_neighbours(sorted, U64_MAX, v), (std::vector<std::uint32_t>{A, C, B}));
    EXPECT_EQ(test_support::select_neighbours(sorted, 1, v), (std::vector<std::uint32_t>{A}));
    EXPECT_TRUE(test_support::select_neighbours(sorted, 0, v).empty());

    // A tie counts against the candidate: B at 15 from the base and 15 from A.
    const std::vector<Candidate> tie{{10, A}, {15, B}, {30, C}};
    EXPECT_EQ(test_support::select_neighbours(tie, 2, v), (std::vector<std::uint32_t>{A, C}));
    const std::vector<Candidate> closer{{10, A}, {14, B}, {30, C}};
    EXPECT_EQ(test_support::select_neighbours(closer, 2, v), (std::vector<std::uint32_t>{A, B}));

    // Slots outside the store are skipped.
    const std::vector<Candidate> stray{{5, 7}, {10, A}, {20, B}};
    EXPECT_EQ(test_support::select_neighbours(stray, 3, v), (std::vector<std::uint32_t>{A, B}));
}

class ReverseLinkTest : public ::testing::Test {
protected:
    // Seen from slot 0 (no bits): 1 at 10, 2 at 12 (2 from 1), 3 at 20 (far
    // from 1), 4 at 14 (4 from 1).
    std::vector<QuantizedVector> v = {QuantizedVector{}, bits(0, 10),  bits(0, 12), bits(100, 20),
                                      bits(0, 14),       bits(200, 5), bits(0, 30)};
    HnswBuilder builder{7, 2, 0};  // m0 = 4
    const HnswGraph& index = builder.graph();
};

TEST_F(ReverseLinkTest, AppendsWithRoomAndIgnoresDuplicates) {
    const std::vector<std::uint32_t> one{1};
    builder.set_neighbours(0, 0, one);
    builder.add_reverse_link(0, 2, 0, 4, v);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), (std::vector<std::uint32_t>{1, 2}));
    builder.add_reverse_link(0, 1, 0, 4, v);
    builder.add_reverse_link(0, 2, 0, 4, v);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(index.layer0_count(0), 2u);

    // Upper layer without the neighbour as a member: nothing happens.
    builder.add_reverse_link(0, 2, 1, 2, v);
    EXPECT_TRUE(index.neighbours(0, 1).empty());
}

TEST_F(ReverseLinkTest, FullRowIsReselectedAndMayDropAnOldLink) {
    const std::vector<std::uint32_t> full{1, 2, 3, 4};
    builder.set_neighbours(0, 0, full);
    // 5 is nearest (5) and far from the rest, so it gets in and 4 (shadowed by 1) falls out.
    builder.add_reverse_link(0, 5, 0, 4, v);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), (std::vector<std::uint32_t>{5, 1, 3, 2}));
}

TEST_F(ReverseLinkTest, FullRowMayRefuseTheNewNode) {
    const std::vector<std::uint32_t> full{1, 2, 3, 4};
    builder.set_neighbours(0, 0, full);
    // 6 is the farthest (30) and only 20 from 1: it loses.
    builder.add_reverse_link(0, 6, 0, 4, v);
    EXPECT_EQ(as_vector(index.neighbours(0, 0)), (std::vector<std::uint32_t>{1, 3, 2, 4}));
}

// ---------------------------------------------------------------------------

std::vector<std::uint32_t> identity_ids(std::size_t n) {
    std::vector<std::uint32_t> ids(n);
    for (std::uint32_t i = 0; i < n; ++i) ids[i] = i;
    return ids;
}

TEST(HnswBuild, StoresWithoutLiveSlotsGetAnEmptyIndex) {
    auto empty = build_hnsw({}, {}, 16, 200);
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->entry_point().has_value());
    EXPECT_EQ(empty->top_level(), 0u);
    EXPECT_EQ(empty->slot_count(), 0u);

    const std::vector<QuantizedVector> v = random_vectors(5, 1);
    std::vector<std::uint32_t> ids = identity_ids(5);
    for (auto& id : ids) id |= TOMBSTONE_BIT;
    auto dead = build_hnsw(v, ids, 16, 200);
    EXPECT_FALSE(dead->entry_point().has_value());
    EXPECT_EQ(dead->top_level(), 0u);
    EXPECT_EQ(dead->upper_layer_count(), 0u);
    EXPECT_EQ(dead->rng_state(), RNG_SEED);  // tombstones draw no level
    for (std::uint32_t s = 0; s < 5; ++s) EXPECT_EQ(dead->layer0_count(s), 0u);
}

TEST(HnswBuild, OneAndTwoLiveSlots) {
    const std::vector<QuantizedVector> v = {bits(0, 3), bits(50, 9)};
    const std::vector<std::uint32_t> first_id{0};
    auto one = build_hnsw(std::span(v).first(1), first_id, 16, 200);
    EXPECT_EQ(one->entry_point(), 0u);
    EXPECT_EQ(one->top_level(), 0u);
    EXPECT_TRUE(one->neighbours(0, 0).empty());

    auto two = build_hnsw(v, identity_ids(2), 16, 200);
    EXPECT_EQ(as_vector(two->neighbours(0, 0)), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(as_vector(two->neighbours(1, 0)), (std::vector<std::uint32_t>{0}));
}

TEST(HnswBuild, ThreeSlotExampleLinksEveryoneByDistance) {
    const std::vector<QuantizedVector> v = {QuantizedVector{}, bits(0, 384), bits(0, 100)};
    auto index = build_hnsw(v, identity_ids(3), 16, 200);
    EXPECT_EQ(index->entry_point(), 0u);
    EXPECT_EQ(as_vector(index->neighbours(0, 0)), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(as_vector(index->neighbours(1, 0)), (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(as_vector(index->neighbours(2, 0)), (std::vector<std::uint32_t>{0, 1}));
}

TEST(HnswBuild, TombstonedSlotIsNeitherNodeNorLink) {
    const std::vector<QuantizedVector> v = {QuantizedVector{}, bits(0, 384), bits(0, 100)};
    const std::vector<std::uint32_t> ids = {0 | TOMBSTONE_BIT, 1, 2};
    auto index = build_hnsw(v, ids, 16, 200);
    EXPECT_EQ(index->slot_count(), 3u);
    EXPECT_EQ(index->entry_point(), 1u);
    EXPECT_EQ(index->layer0_count(0), 0u);
    EXPECT_EQ(as_vector(index->layer0_row(0)), std::vector<std::uint32_t>(2, EMPTY_LINK));
    EXPECT_EQ(as_vector(index->neighbours(1, 0)), (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(as_vector(index->neighbours(2, 0)), (std::vector<std::uint32_t>{1}));
}

// A point (a, b) of a grid: the first a bits of the first half and the first b
// bits of the second half set, so distances are |a1 - a2| + |b1 - b2|.
QuantizedVector grid(std::size_t a, std::size_t b) {
    QuantizedVector v = bits(0, a);
    const QuantizedVector second = bits(192, b);
    for (std::size_t i = 0; i < QUANTIZED_WORDS; ++i) v.words[i] |= second.words[i];
    return v;
}

TEST(HnswBuild, EachLayerStartsWhereTheLayerAboveEnded) {
    // With m = 2 the first six live slots draw levels 2, 0, 1, 0, 0, 1.

    // Slot 3 (level 0) walks from the entry 0 (distance 8) on layer 1 to 2
    // (distance 2) and searches layer 0 from there with width 2, keeping 2 and 0.
    // Had it skipped the walk, it would have met 1 (also at 8) before 0 and kept 1.
    const std::vector<QuantizedVector> walk = {grid(4, 7), grid(3, 6), grid(11, 8), grid(11, 6), grid(11, 9)};
    auto walked = build_hnsw(walk, identity_ids(walk.size()), 2, 2);
    EXPECT_EQ(as_vector(walked->neighbours(3, 0)), (std::vector<std::uint32_t>{2, 0, 4}));

    // Slot 5 (level 1) finds 0 (distance 15) and 2 (distance 7) on layer 1 and
    // enters layer 0 at 2, the nearer; from there 1 (also at 7) arrives after 2
    // and the eviction leaves 1 first in the heap. Entering at 0 would put 2 first.
    const std::vector<QuantizedVector> enter = {grid(10, 0), grid(4, 4), grid(9, 7),
                                                grid(0, 2),  grid(8, 0), grid(5, 10)};
    auto entered = build_hnsw(enter, identity_ids(enter.size()), 2, 2);
    EXPECT_EQ(as_vector(entered->upper_nodes(1)), (std::vector<std::uint32_t>{0, 2, 5}));
    EXPECT_EQ(as_vector(entered->neighbours(5, 0)), (std::vector<std::uint32_t>{1, 2}));
}

TEST(HnswBuild, EqualInputsGiveEqualIndexes) {
    const std::size_t n = 800;
    const auto v = random_vectors(n, 42);
    const auto ids = identity_ids(n);
    auto first = build_hnsw(v, ids, 5, 40);
    auto second = build_hnsw(v, ids, 5, 40);
    EXPECT_EQ(dump(*first), dump(*second));

    // m of 0, 1 and 2 are the same m; an ef_construction of 0 searches as 1.
    auto m0 = build_hnsw(v, ids, 0, 30);
    auto m1 = build_hnsw(v, ids, 1, 30);
    auto m2 = build_hnsw(v, ids, 2, 30);
    EXPECT_EQ(dump(*m0), dump(*m2));
    EXPECT_EQ(dump(*m1), dump(*m2));
    EXPECT_EQ(dump(*build_hnsw(v, ids, 8, 0)), dump(*build_hnsw(v, ids, 8, 1)));
    // A width beyond the store finds what a width of the store finds.
    EXPECT_EQ(dump(*build_hnsw(v, ids, 8, U64_MAX)), dump(*build_hnsw(v, ids, 8, n)));
}

struct BuildCase {
    std::size_t n;
    std::uint64_t m;
    std::uint64_t ef_construction;
    double dead_fraction;
    LinkRule rule = LinkRule::FillRows;
};

void PrintTo(const BuildCase& c, std::ostream* os) {
    *os << "n=" << c.n << " m=" << c.m << " ef_construction=" << c.ef_construction << " dead=" << c.dead_fraction;
}

class HnswInvariants : public ::testing::TestWithParam<BuildCase> {};

TEST_P(HnswInvariants, BuiltGraphKeepsItsShape) {
    BuildCase c = GetParam();
#ifndef NDEBUG
    c.n = std::min<std::size_t>(c.n, c.m > 16 ? 500 : 2000);  // unoptimised and sanitised builds are slow
#endif
    const auto v = random_vectors(c.n, 1000 + c.n + c.m);
    std::vector<std::uint32_t> ids = identity_ids(c.n);
    std::mt19937_64 rng(c.n * 31 + c.m);
    std::bernoulli_distribution dead(c.dead_fraction);
    for (auto& id : ids)
        if (dead(rng)) id |= TOMBSTONE_BIT;

    auto index = build_hnsw(v, ids, c.m, c.ef_construction, c.rule);
    EXPECT_EQ(index->m(), std::max<std::uint64_t>(c.m, 2));
    EXPECT_EQ(index->ef_construction(), c.ef_construction);
    EXPECT_EQ(index->link_rule(), c.rule);
    check_invariants(*index, v, ids, c.m);

    if (c.m > 127 && c.n > 300) {
        // Rows wider than a byte can count are exercised and still exact.
        std::uint32_t widest = 0;
        for (std::uint32_t s = 0; s < c.n; ++s) widest = std::max(widest, index->layer0_count(s));
        EXPECT_GT(widest, 255u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RandomStores, HnswInvariants,
    ::testing::Values(BuildCase{1, 16, 200, 0.0}, BuildCase{2, 16, 200, 0.5}, BuildCase{3, 0, 200, 0.0},
                      BuildCase{17, 0, 0, 0.2}, BuildCase{20000, 1, 16, 0.1}, BuildCase{1500, 2, 40, 0.1},
                      BuildCase{1500, 3, 40, 0.3}, BuildCase{5000, 16, 40, 0.05}, BuildCase{1500, 48, 60, 0.1},
                      BuildCase{500, 200, 200, 0.0}, BuildCase{150, 200, 50, 0.1}, BuildCase{60, U64_MAX, 10, 0.1},
                      BuildCase{40, 16, U64_MAX, 0.1}, BuildCase{5000, 16, 40, 0.05, LinkRule::KeepWayIn},
                      BuildCase{1500, 2, 40, 0.1, LinkRule::KeepWayIn}));

// Layer-0 nodes a walk from the entry point can reach at all.
std::size_t reachable(const HnswGraph& graph) {
    std::vector<bool> seen(graph.slot_count());
    std::vector<std::uint32_t> todo{*graph.entry_point()};
    for (seen[todo[0]] = true; !todo.empty();) {
        const std::uint32_t slot = todo.back();
        todo.pop_back();
        for (const std::uint32_t link : graph.neighbours(slot, 0)) {
            if (!seen[link]) seen[link] = true, todo.push_back(link);
        }
    }
    return static_cast<std::size_t>(std::count(seen.begin(), seen.end(), true));
}

TEST(HnswLinkRule, OutliersKeepAWayIn) {
    // Tight clusters with every seventh vector drawn at random, far from all:
    // full rows re-chosen by distance shut such nodes out for good.
    const std::size_t n = 3000;
    auto v = random_vectors(n, 41);
    const auto centres = random_vectors(8, 42);
    std::mt19937_64 rng(43);
    for (std::size_t s = 0; s < n; ++s) {
        if (s % 7 == 0) continue;
        v[s] = centres[rng() % centres.size()];
        for (int flips = 0; flips < 30; ++flips) v[s].words[rng() % QUANTIZED_WORDS] ^= 1u << (rng() % 32);
    }
    const auto ids = identity_ids(n);
    const auto filled = build_hnsw(v, ids, 8, 40, LinkRule::FillRows);
    const auto kept = build_hnsw(v, ids, 8, 40, LinkRule::KeepWayIn);
    EXPECT_LT(reachable(*filled), n);
    EXPECT_EQ(reachable(*kept), n);
}

// ---------------------------------------------------------------------------
// A built graph taken back by a builder and extended by appended slots must be
// the graph one build over every slot gives, table for table: later graphs are
// extended this way instead of being rebuilt.

struct ResumeCase {
    std::vector<std::size_t> cuts;  // slot counts at which the graph is finished and taken back
    std::uint64_t m;
    std::uint64_t ef_construction;
    bool clustered;
    double dead_fraction;
    LinkRule rule = LinkRule::FillRows;
};

void PrintTo(const ResumeCase& c, std::ostream* os) {
    *os << "cuts=";
    for (const std::size_t cut : c.cuts) *os << cut << ",";
    *os << " m=" << c.m << " clustered=" << c.clustered << " dead=" << c.dead_fraction;
}

class HnswResume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(HnswResume, AppendedSlotsGiveTheGraphOfOneBuild) {
    const ResumeCase& c = GetParam();
    const std::size_t n = c.cuts.back();
    std::mt19937_64 rng(n + c.m);
    std::vector<QuantizedVector> v = random_vectors(n, 7 + n);
    if (c.clustered) {
        // Few centres, few flipped bits: distances tie often.
        const auto centres = random_vectors(6, 99);
        for (auto& x : v) {
            x = centres[rng() % centres.size()];
            for (int flips = 0; flips < 4; ++flips) x.words[rng() % QUANTIZED_WORDS] ^= 1u << (rng() % 32);
        }
    }
    // Append-only: a slot is dead from the moment it is appended, so the first
    // build already meets tombstones.
    std::vector<std::uint32_t> ids = identity_ids(n);
    std::bernoulli_distribution dead(c.dead_fraction);
    for (auto& id : ids)
        if (dead(rng)) id |= TOMBSTONE_BIT;
    const auto full = build_hnsw(v, ids, c.m, c.ef_construction, c.rule);

    HnswBuilder builder(c.cuts.front(), c.m, c.ef_construction, c.rule);
    builder.insert_live(std::span(v).first(c.cuts.front()), std::span(ids).first(c.cuts.front()), 0);
    for (std::size_t i = 1; i < c.cuts.size(); ++i) {
        const std::size_t from = c.cuts[i - 1];
        const std::size_t to = c.cuts[i];
        builder = HnswBuilder::resume(std::move(builder).finish(), to);
        std::size_t live = 0;
        for (std::size_t s = from; s < to; ++s) live += is_tombstoned(ids[s]) ? 0 : 1;
        std::vector<std::size_t> reported;
        builder.insert_live(std::span(v).first(to), std::span(ids).first(to), from,
                            [&](std::size_t inserted, std::size_t total) {
                                EXPECT_EQ(total, live);
                                reported.push_back(inserted);
                            });
        ASSERT_EQ(reported.size(), live);
        if (live > 0) {
            EXPECT_EQ(reported.back(), live);
        }
    }
    EXPECT_EQ(dump(builder.graph()), dump(*full));
    EXPECT_EQ(builder.graph().layer0_stride(), full->layer0_stride());

    // Slots are offered once, in order, and a graph never shrinks.
    EXPECT_THROW(builder.insert_live(v, ids, n - 1), std::invalid_argument);
    EXPECT_THROW(HnswBuilder::resume(std::move(builder).finish(), n - 1), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    AppendOnlyHistories, HnswResume,
    ::testing::Values(ResumeCase{{1, 2, 3, 40}, 16, 200, false, 0.0},  // rows widen from 1 to m0
                      ResumeCase{{5, 6, 400}, 4, 30, false, 0.2},      // first build narrower than m0
                      ResumeCase{{0, 300, 301, 900}, 8, 40, true, 0.1, LinkRule::KeepWayIn},
                      ResumeCase{{700, 1400}, 16, 60, false, 0.3},
                      ResumeCase{{200, 200, 1200}, 2, 20, true, 0.0, LinkRule::KeepWayIn},  // an empty extension
                      ResumeCase{
                          {50, 600}, 200, 50, true, 0.1, LinkRule::KeepWayIn}));  // rows wider than the first store

// ---------------------------------------------------------------------------
// A graph's bytes read back for the same store are the graph written, table
// for table, and can be extended like it; bytes that break any rule are
// refused by name, whatever part of them is damaged.

namespace codec {

std::unique_ptr<HnswGraph> graph_over(std::size_t n, std::uint64_t m, double dead_fraction,
                                      LinkRule rule = LinkRule::FillRows) {
    const auto v = random_vectors(n, 11 + n);
    std::vector<std::uint32_t> ids = identity_ids(n);
    for (std::size_t s = 0; s < n; ++s) {
        if (static_cast<double>(s % 10) < dead_fraction * 10) ids[s] |= TOMBSTONE_BIT;
    }
    return build_hnsw(v, ids, m, 40, rule);
}

void put_u32(std::vector<std::byte>& b, std::size_t at, std::uint32_t value) { std::memcpy(b.data() + at, &value, 4); }
void put_u64(std::vector<std::byte>& b, std::size_t at, std::uint64_t value) { std::memcpy(b.data() + at, &value, 8); }

class GraphCodecRoundTrip : public ::testing::TestWithParam<BuildCase> {};

TEST_P(GraphCodecRoundTrip, DecodedGraphIsTheEncodedOneAndExtendsAlike) {
    const BuildCase& c = GetParam();
    const auto graph = graph_over(c.n, c.m, c.dead_fraction, c.rule);
    const auto bytes = encode_graph(*graph);
    // The lowest version that holds the rule: the first reader reads the first rule's graphs.
    EXPECT_EQ(bytes[8], c.rule == LinkRule::FillRows ? std::byte{1} : std::byte{2});
    auto decoded = decode_graph(bytes, c.n);
    ASSERT_TRUE(decoded.has_value()) << error_name(decoded.error());
    EXPECT_EQ(dump(*decoded), dump(*graph));
    EXPECT_EQ(decoded->m(), graph->m());
    EXPECT_EQ(decoded->m0(), graph->m0());
    EXPECT_EQ(decoded->ef_construction(), graph->ef_construction());
    EXPECT_EQ(decoded->link_rule(), graph->link_rule());
    EXPECT_EQ(decoded->level_mult(), graph->level_mult());
    EXPECT_EQ(encode_graph(*decoded), bytes);

    // Laid out for another store, or cut anywhere: refused.
    EXPECT_EQ(decode_graph(bytes, c.n + 1).error(), GraphError::SlotCountMismatch);
    for (std::size_t cut :
         {std::size_t{0}, GRAPH_HEADER_BYTES - 1, GRAPH_HEADER_BYTES, bytes.size() / 2, bytes.size() - 1}) {
        if (cut >= bytes.size()) continue;
        EXPECT_EQ(decode_graph(std::span(bytes).first(cut), c.n).error(), GraphError::Truncated) << cut;
    }
    auto longer = bytes;
    longer.push_back(std::byte{0});
    EXPECT_EQ(decode_graph(longer, c.n).error(), GraphError::TrailingBytes);

    // Extending the loaded graph and the original by the same slots gives the same graph.
    const std::size_t grown = c.n + 37;
    const auto v = random_vectors(grown, 5);
    const auto ids = identity_ids(grown);
    HnswBuilder a = HnswBuilder::resume(std::move(*decoded), grown);
    HnswBuilder b = HnswBuilder::resume(std::move(*decode_graph(bytes, c.n)), grown);
    a.insert_live(v, ids, c.n);
    b.insert_live(v, ids, c.n);
    EXPECT_EQ(dump(a.graph()), dump(b.graph()));
}

INSTANTIATE_TEST_SUITE_P(Graphs, GraphCodecRoundTrip,
                         ::testing::Values(BuildCase{0, 16, 200, 0.0}, BuildCase{1, 16, 200, 0.0},
                                           BuildCase{3, 0, 200, 1.0}, BuildCase{2000, 4, 40, 0.2},
                                           BuildCase{2000, 4, 40, 0.2, LinkRule::KeepWayIn},
                                           BuildCase{600, 16, 40, 0.0},
                                           BuildCase{80, U64_MAX, 40, 0.1, LinkRule::KeepWayIn}));

// One field or cell changed at a time, with the check that must catch it.
struct Damage {
    const char* what;
    std::function<void(std::vector<std::byte>&, const HnswGraph&)> apply;
    GraphError expected;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.what; }

class GraphCodecRefuses : public ::testing::TestWithParam<Damage> {};

// Offset of the first upper layer's member count.
std::size_t upper_start(const HnswGraph& g) {
    return GRAPH_HEADER_BYTES + (g.slot_count() + g.slot_count() * g.layer0_stride()) * 4;
}

TEST_P(GraphCodecRefuses, EachBrokenRule) {
    const auto graph = graph_over(3000, 4, 0.1);
    ASSERT_GE(graph->top_level(), 3u);
    auto bytes = encode_graph(*graph);
    GetParam().apply(bytes, *graph);
    const auto decoded = decode_graph(bytes, graph->slot_count());
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error(), GetParam().expected) << error_name(decoded.error());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, GraphCodecRefuses,
    ::testing::Values(
        Damage{"magic", [](auto& b, auto&) { b[0] = std::byte{'X'}; }, GraphError::BadMagic},
        Damage{"version", [](auto& b, auto&) { put_u32(b, 8, 3); }, GraphError::UnsupportedVersion},
        Damage{"rule in a version-1 graph", [](auto& b, auto&) { put_u32(b, 12, 1); }, GraphError::ReservedNotZero},
        Damage{"unknown rule", [](auto& b, auto&) { put_u32(b, 8, 2), put_u32(b, 12, 2); }, GraphError::BadLinkRule},
        Damage{"version 2 without its rule", [](auto& b, auto&) { put_u32(b, 8, 2); }, GraphError::BadLinkRule},
        Damage{"slot count", [](auto& b, auto&) { put_u64(b, 16, U64_MAX); }, GraphError::SlotCountMismatch},
        Damage{"m", [](auto& b, auto&) { put_u64(b, 24, 1); }, GraphError::BadM},
        Damage{"ef_construction", [](auto& b, auto&) { put_u64(b, 32, 0); }, GraphError::BadEfConstruction},
        Damage{"m changes the stride", [](auto& b, auto&) { put_u64(b, 24, 5); }, GraphError::BadStride},
        Damage{"stride", [](auto& b, auto&) { put_u32(b, 56, 0xFFFFFFFFu); }, GraphError::BadStride},
        Damage{"upper stride", [](auto& b, auto&) { put_u32(b, 60, 3); }, GraphError::BadStride},
        Damage{"generator", [](auto& b, auto&) { put_u64(b, 40, 0); }, GraphError::BadRngState},
        Damage{"top level too high", [](auto& b, auto&) { put_u32(b, 52, 17); }, GraphError::BadTopLevel},
        Damage{"levels without a node",
               [](auto& b, auto&) { put_u32(b, 48, EMPTY_LINK); }, GraphError::BadTopLevel},
        Damage{"entry outside", [](auto& b, auto&) { put_u32(b, 48, 3000); }, GraphError::BadEntryPoint},
        Damage{"entry not on top", [](auto& b, const HnswGraph& g) {
                   put_u32(b, 48, *g.entry_point() == 0 ? 1 : 0);
               }, GraphError::BadEntryPoint},
        Damage{"fewer layers than written", [](auto& b, const HnswGraph& g) {
                   put_u32(b, 52, static_cast<std::uint32_t>(g.top_level() - 1));
               }, GraphError::TrailingBytes},
        Damage{"more layers than written", [](auto& b, const HnswGraph& g) {
                   put_u32(b, 52, static_cast<std::uint32_t>(g.top_level() + 1));
               }, GraphError::Truncated},
        Damage{"count above stride", [](auto& b, auto&) { put_u32(b, GRAPH_HEADER_BYTES + 4 * 7, 9); },
               GraphError::BadCount},
        Damage{"link outside", [](auto& b, const HnswGraph& g) {
                   put_u32(b, GRAPH_HEADER_BYTES + 4 * g.slot_count(), 3000);
               }, GraphError::BadLink},
        Damage{"link past the count", [](auto& b, const HnswGraph& g) {
                   std::uint32_t s = 0;
                   while (g.layer0_count(s) == g.layer0_stride()) ++s;
                   put_u32(b, GRAPH_HEADER_BYTES + 4 * (g.slot_count() + s * g.layer0_stride() + g.layer0_stride() - 1), 0);
               }, GraphError::BadLink},
        Damage{"member count beyond the bytes", [](auto& b, const HnswGraph& g) {
                   put_u32(b, upper_start(g), 0xFFFFFFFFu);
               }, GraphError::Truncated},
        Damage{"empty layer", [](auto& b, const HnswGraph& g) {
                   // An empty first layer followed by its old body: read as members of nothing.
                   put_u32(b, upper_start(g), 0);
               }, GraphError::BadMembers},
        Damage{"members out of order", [](auto& b, const HnswGraph& g) {
                   const auto members = g.upper_nodes(1);
                   put_u32(b, upper_start(g) + 4, members[1]);
               }, GraphError::BadMembers},
        Damage{"member outside", [](auto& b, const HnswGraph& g) {
                   put_u32(b, upper_start(g) + 4 * g.upper_nodes(1).size(), 3000);
               }, GraphError::BadMembers},
        Damage{"layers not nested", [](auto& b, const HnswGraph& g) {
                   // The second layer's first member, moved to a slot the first layer lacks.
                   const auto first = g.upper_nodes(1);
                   const std::size_t second = upper_start(g) + 4 + (first.size() * (2 + g.upper_stride())) * 4;
                   const auto members = g.upper_nodes(2);
                   std::uint32_t slot = members[0];
                   while (slot > 0 && std::binary_search(first.begin(), first.end(), slot)) --slot;
                   ASSERT_FALSE(std::binary_search(first.begin(), first.end(), slot));
                   put_u32(b, second + 4, slot);
               }, GraphError::LayersNotNested}));

}  // namespace codec

}  // namespace
}  // namespace kestrix

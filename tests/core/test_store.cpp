// Core pieces the Python face cannot observe directly: the heap moves that
// decide ties, the short-list ordering, the store's arrays after failed and
// recycled inserts, and the reader's refusal to allocate before checking.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codec.hpp"
#include "heap.hpp"
#include "hnsw/graph.hpp"
#include "page_array.hpp"
#include "quantized.hpp"
#include "query.hpp"
#include "scan.hpp"
#include "store.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

struct Tagged {
    std::uint32_t distance;
    std::uint32_t tag;
    friend bool operator==(const Tagged&, const Tagged&) = default;
};

QuantizedVector with_low_bits(unsigned count) { return test_support::bits(0, count); }

std::uint32_t naive_distance(const QuantizedVector& a, const QuantizedVector& b) {
    std::uint32_t total = 0;
    for (std::size_t c = 0; c < DIMENSION; ++c) {
        total += ((a.words[c / 32] >> (c % 32)) & 1u) != ((b.words[c / 32] >> (c % 32)) & 1u);
    }
    return total;
}

TEST(Quantize, SignRuleAndBitLayout) {
    std::vector<float> values(DIMENSION, -1.0f);
    values[0] = 1.0f;
    values[33] = std::numeric_limits<float>::denorm_min();
    values[64] = std::numeric_limits<float>::infinity();
    values[65] = -0.0f;
    values[66] = std::numeric_limits<float>::quiet_NaN();
    values[383] = 0.5f;
    const auto q = quantize(std::span<const float, DIMENSION>(values.data(), DIMENSION));
    EXPECT_EQ(q.words[0], 0x00000001u);
    EXPECT_EQ(q.words[1], 0x00000002u);
    EXPECT_EQ(q.words[2], 0x00000001u);
    EXPECT_EQ(q.words[11], 0x80000000u);
    for (int i = 3; i < 11; ++i) EXPECT_EQ(q.words[i], 0u) << "word " << i;
}

TEST(HammingDistance, MatchesBitByBitCountOnRandomRows) {
    std::mt19937_64 rng(42);
    for (int trial = 0; trial < 2000; ++trial) {
        QuantizedVector a, b;
        for (auto& w : a.words) w = static_cast<std::uint32_t>(rng());
        for (auto& w : b.words) w = static_cast<std::uint32_t>(rng());
        if (trial % 7 == 0) b = a;
        if (trial % 11 == 0) {
            b.words.fill(0xFFFFFFFFu);
            a.words.fill(0);
        }
        ASSERT_EQ(hamming_distance(a, b), naive_distance(a, b));
        ASSERT_EQ(hamming_distance(a, b), hamming_distance(b, a));
    }
}

TEST(Score, SinglePrecisionInTwoRoundedSteps) {
    EXPECT_EQ(distance_to_score(0, DIMENSION), 1.0f);
    EXPECT_EQ(distance_to_score(96, DIMENSION), 0.75f);
    EXPECT_EQ(distance_to_score(192, DIMENSION), 0.5f);
    EXPECT_EQ(distance_to_score(384, DIMENSION), 0.0f);
    EXPECT_EQ(static_cast<double>(distance_to_score(1, DIMENSION)), 0.9973958134651184);
    EXPECT_EQ(static_cast<double>(distance_to_score(100, DIMENSION)), 0.7395833730697632);
    EXPECT_EQ(static_cast<double>(distance_to_score(383, DIMENSION)), 0.002604186534881592);
    for (std::uint32_t d = 1; d <= 384; ++d)
        ASSERT_LT(distance_to_score(d, DIMENSION), distance_to_score(d - 1, DIMENSION));
}

TEST(Heap, EqualDistancesAreNeverSwappedAndTheLeftChildWins) {
    std::vector<Tagged> heap;
    for (std::uint32_t tag = 0; tag < 5; ++tag) test_support::heap_push(heap, Tagged{7, tag}, FarthestFirst{});
    // Nothing ranks above an equal parent: the array keeps arrival order.
    for (std::uint32_t tag = 0; tag < 5; ++tag) EXPECT_EQ(heap[tag].tag, tag);

    // Pop swaps the top with the last, then sifts down taking the left child
    // between equals.
    const Tagged top = test_support::heap_pop(heap, FarthestFirst{});
    EXPECT_EQ(top.tag, 0u);
    ASSERT_EQ(heap.size(), 4u);
    EXPECT_EQ(heap[0].tag, 4u);  // the moved element stays: its children are equal, not greater

    std::vector<Tagged> mins;
    for (std::uint32_t d : {5u, 3u, 3u, 1u, 3u})
        test_support::heap_push(mins, Tagged{d, d * 10 + static_cast<std::uint32_t>(mins.size())}, NearestFirst{});
    std::vector<std::uint32_t> order;
    while (!mins.empty()) order.push_back(test_support::heap_pop(mins, NearestFirst{}).distance);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 3, 3, 3, 5}));
}

TEST(SortByDistance, ShortListsKeepArrivalOrderAmongEquals) {
    std::vector<Tagged> items{{5, 9}, {3, 4}, {5, 1}};
    sort_by_distance(std::span(items));
    EXPECT_EQ(items, (std::vector<Tagged>{{3, 4}, {5, 9}, {5, 1}}));

    std::vector<Tagged> twenty;
    for (std::uint32_t i = 0; i < 20; ++i) twenty.push_back({(i * 7) % 3, i});
    sort_by_distance(std::span(twenty));
    for (std::size_t i = 1; i < twenty.size(); ++i) {
        ASSERT_LE(twenty[i - 1].distance, twenty[i].distance);
        if (twenty[i - 1].distance == twenty[i].distance) {
            ASSERT_LT(twenty[i - 1].tag, twenty[i].tag);
        }
    }

    std::vector<Tagged> long_list;
    std::mt19937 rng(1);
    for (std::uint32_t i = 0; i < 500; ++i) long_list.push_back({static_cast<std::uint32_t>(rng() % 40), i});
    sort_by_distance(std::span(long_list));
    for (std::size_t i = 1; i < long_list.size(); ++i) ASSERT_LE(long_list[i - 1].distance, long_list[i].distance);
}

TEST(ScanTopK, StrictHeapDecidesTiesAtTheCutOff) {
    // Slots at distances 2, 7, 7, 1 with k = 3 keep slots 3, 0, 2.
    VectorStore store;
    const QuantizedVector query;
    for (unsigned bits : {2u, 7u, 7u, 1u}) ASSERT_TRUE(store.insert(0, code_of(with_low_bits(bits)), 0.0));
    auto hits = scan_top_k(store, code_of(query), 3);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].slot, 3u);
    EXPECT_EQ(hits[1].slot, 0u);
    EXPECT_EQ(hits[2].slot, 2u);

    // A k far beyond the store neither fails nor reserves for k.
    hits = scan_top_k(store, code_of(query), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(hits.size(), 4u);
    EXPECT_LE(hits.capacity(), 4u);
}

TEST(VectorStore, FixedCapacityRecyclesLowestTombstoneOnlyWhenFull) {
    auto store = VectorStore::with_capacity(3);
    for (std::uint32_t id : {10u, 11u, 12u}) ASSERT_TRUE(store.insert(id, code_of(with_low_bits(id)), 1.0));
    ASSERT_TRUE(store.remove(12));
    ASSERT_TRUE(store.remove(11));
    const auto slot = store.insert(13, code_of(with_low_bits(13)), 2.0);
    ASSERT_TRUE(slot);
    EXPECT_EQ(*slot, 1u);
    EXPECT_EQ(store.ids()[1], 13u);
    EXPECT_EQ(store.timestamps()[1], 2.0);
    EXPECT_EQ(test_support::code_at(store, 1), with_low_bits(13));
    EXPECT_EQ(store.size(), 3u);

    ASSERT_EQ(store.insert(14, code_of(QuantizedVector{}), 3.0).value(), 2u);
    const auto full = store.insert(15, code_of(QuantizedVector{}), 4.0);
    ASSERT_FALSE(full);
    EXPECT_EQ(error_name(full.error()), "CapacityExceeded");
}

TEST(VectorStore, RefusedInsertChangesNothing) {
    VectorStore store;
    ASSERT_TRUE(store.insert(1, code_of(with_low_bits(1)), 5.0));
    const auto refused = store.insert(0x80000000u, code_of(with_low_bits(2)), 6.0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(error_name(refused.error()), "DocIdTooLarge");
    EXPECT_EQ(store.size(), 1u);
    EXPECT_EQ(store.ids()[0], 1u);
}

TEST(VectorStore, NoStoreGrowsPastItsSlotLimit) {
    // Slot numbers and the serialized count are 32-bit: past the limit a slot
    // would wrap. Both kinds of store refuse the append that would pass it.
    VectorStore growable;
    auto fixed = VectorStore::with_capacity(10);
    for (VectorStore* store : {&growable, &fixed}) {
        VectorStoreTestAccess::set_slot_limit(*store, 3);
        for (std::uint32_t id = 0; id < 3; ++id)
            ASSERT_EQ(store->insert(id, code_of(with_low_bits(id)), 1.0).value(), id);
        const auto refused = store->insert(7, code_of(with_low_bits(7)), 2.0);
        ASSERT_FALSE(refused);
        EXPECT_EQ(error_name(refused.error()), "CapacityExceeded");
        EXPECT_EQ(store->size(), 3u);
        EXPECT_EQ(std::vector<std::uint32_t>(store->ids().begin(), store->ids().end()),
                  (std::vector<std::uint32_t>{0, 1, 2}));
        // A growable store never recycles tombstones; compaction makes room.
        ASSERT_TRUE(store->remove(1));
        EXPECT_FALSE(store->insert(8, code_of(QuantizedVector{}), 3.0));
        EXPECT_EQ(store->compact(), 1u);
        EXPECT_EQ(store->insert(8, code_of(QuantizedVector{}), 3.0).value(), 2u);
    }
    EXPECT_EQ(MAX_SLOTS, 0xFFFFFFFFu);
}

TEST(PageArray, GrowsFromTheHeapIntoPagesKeepingEveryValue) {
    // Grown one value at a time as the store grows, across the point where the
    // array leaves the heap for pages of its own, then shrunk, moved and regrown.
    PageArray<std::uint32_t> array;
    std::size_t reservations = 0;
    for (std::uint32_t i = 0; i < 200'000; ++i) {
        if (array.size() == array.capacity()) {
            const std::size_t before = array.capacity();
            array.reserve(i < 8 ? 8 : i + i / 2);
            EXPECT_EQ(array.capacity(), i < 8 ? 8u : i + i / 2);  // exactly what was asked, not the pages
            ASSERT_GT(array.capacity(), before);
            ++reservations;
        }
        array.push_back(i * 2654435761u);
    }
    EXPECT_GT(reservations, 20u);
    for (std::uint32_t i = 0; i < 200'000; ++i) ASSERT_EQ(array[i], i * 2654435761u) << i;

    array.resize(1000);
    array.shrink_to_fit();
    EXPECT_EQ(array.capacity(), 1000u);
    PageArray<std::uint32_t> moved = std::move(array);
    EXPECT_TRUE(array.empty());
    moved.resize(300'000);  // values past the old end read as zero, even where old values once were
    EXPECT_EQ(moved[999], 999u * 2654435761u);
    EXPECT_EQ(moved[1000], 0u);
    EXPECT_EQ(moved[299'999], 0u);
    EXPECT_THROW(moved.reserve(moved.max_size() + 1), std::bad_alloc);
    EXPECT_EQ(moved.size(), 300'000u);
}

TEST(VectorStore, CompactFillsHolesFromTheEnd) {
    // A x B C x D -> A D B C
    VectorStore store;
    for (std::uint32_t id : {1u, 2u, 3u, 4u, 5u, 6u}) ASSERT_TRUE(store.insert(id, code_of(with_low_bits(id)), id));
    store.remove(2);
    store.remove(5);
    EXPECT_EQ(store.compact(), 2u);
    EXPECT_EQ(std::vector<std::uint32_t>(store.ids().begin(), store.ids().end()),
              (std::vector<std::uint32_t>{1, 6, 3, 4}));
    EXPECT_EQ(store.timestamps()[1], 6.0);
    EXPECT_EQ(test_support::code_at(store, 1), with_low_bits(6));
}

TEST(VectorStore, SweepUsesOrderedComparisons) {
    VectorStore store;
    ASSERT_TRUE(store.insert(1, code_of(QuantizedVector{}), 100.0));
    ASSERT_TRUE(store.insert(2, code_of(QuantizedVector{}), std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(store.run_gc(std::numeric_limits<double>::quiet_NaN(), 1000.0), 0u);
    EXPECT_EQ(store.run_gc(std::numeric_limits<double>::infinity(), 1000.0), 0u);
    EXPECT_EQ(store.run_gc(900.0, 1000.0), 0u);  // age equal to the ttl is not older
    EXPECT_EQ(store.run_gc(899.0, 1000.0), 1u);  // the NaN timestamp is never swept
    EXPECT_EQ(store.run_gc(-1e300, 1000.0), 0u);
}

TEST(VectorStore, BuildIndexIsOneStepAndTheQueryEntryFollowsIt) {
    VectorStore store;
    std::mt19937_64 rng(3);
    for (std::uint32_t id = 0; id < 300; ++id) {
        QuantizedVector v;
        for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
        ASSERT_TRUE(store.insert(id, code_of(v), 0.0));
    }
    store.remove(5);
    store.build_index(8, 40);
    ASSERT_TRUE(store.has_index());
    // The graph is the one a build over the store's rows gives.
    const auto expected = build_hnsw(store.codes(), store.ids(), 8, 40);
    EXPECT_EQ(store.index()->rng_state(), expected->rng_state());
    EXPECT_EQ(store.index()->entry_point(), expected->entry_point());
    for (std::uint32_t s = 0; s < 300; ++s) {
        ASSERT_TRUE(std::ranges::equal(store.index()->layer0_row(s), expected->layer0_row(s))) << s;
    }

    // The entry answers through the graph, with a width of max(ef, k)...
    SearchContext context;
    const QuantizedVector query = test_support::code_at(store, 7);
    const auto through_graph = search(store, code_of(query), 5, 1, context);
    const auto direct = test_support::search_hnsw(*expected, store.codes(), store.ids(), query, 5, 5);
    ASSERT_EQ(through_graph.size(), direct.size());
    for (std::size_t i = 0; i < direct.size(); ++i) EXPECT_EQ(through_graph[i].slot, direct[i].slot);
    // ...and by the scan once a change has discarded the graph.
    ASSERT_TRUE(store.insert(1000, code_of(query), 0.0));
    EXPECT_FALSE(store.has_index());
    const auto scanned = search(store, code_of(query), 2, 50, context);
    ASSERT_EQ(scanned.size(), 2u);
    EXPECT_EQ(scanned[0].slot + scanned[1].slot, 307u);  // both at distance 0
    EXPECT_EQ(scanned[0].distance + scanned[1].distance, 0u);
}

TEST(Codec, ReaderChecksLengthsBeforeAllocating) {
    std::vector<std::byte> header(12);
    std::memcpy(header.data(), "KSTX", 4);
    for (std::uint32_t version : {1u, 2u}) {
        std::memcpy(header.data() + 4, &version, 4);
        const std::uint32_t n = 0xFFFFFFFFu;
        std::memcpy(header.data() + 8, &n, 4);
        const auto result = deserialize(header);
        ASSERT_FALSE(result);
        EXPECT_EQ(error_name(result.error()), "CorruptedData");
    }
}

TEST(Codec, VersionOneGetsEpochTimestampsAndTrailingBytesAreIgnored) {
    std::vector<std::byte> data(12 + 52 + 5, std::byte{0xAB});
    std::memcpy(data.data(), "KSTX", 4);
    const std::uint32_t version = 1, n = 1, id = 0x80000007u;
    std::memcpy(data.data() + 4, &version, 4);
    std::memcpy(data.data() + 8, &n, 4);
    std::memcpy(data.data() + 12, &id, 4);
    const auto store = deserialize(data);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->size(), 1u);
    EXPECT_EQ(store->ids()[0], id);
    EXPECT_EQ(store->timestamps()[0], 0.0);
    EXPECT_EQ(test_support::code_at(*store, 0).words[0], 0xABABABABu);
    EXPECT_FALSE(store->capacity());

    const auto bytes = serialize(*store);
    EXPECT_EQ(bytes.size(), 72u);
    const auto again = deserialize(bytes);
    ASSERT_TRUE(again);
    EXPECT_EQ(serialize(*again), bytes);
}

}  // namespace
}  // namespace kestrix

// The index measures a node's links together and offers them afterwards. These
// tests hold every batched path to the plain one-link-at-a-time loop, on
// stores full of equal distances (where any change of order would show), for
// every gather kernel this CPU can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "heap.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "kernels/code_kernels.hpp"
#include "kernels/kernel_set.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

using test_support::U64_MAX;

// Every set this CPU runs at 384 bits, specialised and generic.
std::vector<kernels::CodeKernels> kernels_here() {
    const auto best = kernels::available_code_kernels(DIMENSION / kernels::WORD_BITS);
    const auto generic = kernels::available_generic_code_kernels(DIMENSION / kernels::WORD_BITS);
    std::vector<kernels::CodeKernels> sets(best.begin(), best.end());
    sets.insert(sets.end(), generic.begin(), generic.end());
    return sets;
}

// Vectors that differ only in a few bits: distances take a handful of values
// and most comparisons are ties.
std::vector<QuantizedVector> tie_heavy(std::mt19937_64& rng, std::size_t n, unsigned free_bits) {
    std::vector<QuantizedVector> v(n);
    for (auto& x : v) {
        x.words.fill(0x5A5A5A5Au);
        x.words[0] ^= static_cast<std::uint32_t>(rng()) & ((1u << free_bits) - 1u);
    }
    return v;
}

QuantizedVector random_vector(std::mt19937_64& rng) {
    QuantizedVector v;
    for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
    return v;
}

// The walk measured link by link, with the container heap moves.
std::vector<Candidate> reference_search_layer(const HnswGraph& index, std::span<const QuantizedVector> vectors,
                                              const QuantizedVector& target, std::uint32_t entry, std::uint64_t layer,
                                              std::uint64_t ef, VisitedSet& visited) {
    std::vector<Candidate> candidates;
    std::vector<Candidate> results;
    visited.start_search();
    if (entry >= vectors.size()) return results;
    test_support::mark(visited, entry);
    const Candidate first{hamming_distance(target, vectors[entry]), entry};
    test_support::heap_push(candidates, first, NearestFirst{});
    test_support::heap_push(results, first, FarthestFirst{});
    while (!candidates.empty()) {
        const Candidate nearest = test_support::heap_pop(candidates, NearestFirst{});
        if (nearest.distance > results.front().distance && results.size() >= ef) break;
        for (const std::uint32_t slot : index.neighbours(nearest.slot, layer)) {
            if (slot >= vectors.size() || !test_support::visit(visited, slot)) continue;
            const std::uint32_t distance = hamming_distance(target, vectors[slot]);
            if (distance < results.front().distance || results.size() < ef) {
                test_support::heap_push(candidates, Candidate{distance, slot}, NearestFirst{});
                test_support::heap_push(results, Candidate{distance, slot}, FarthestFirst{});
                if (results.size() > ef) test_support::heap_pop(results, FarthestFirst{});
            }
        }
    }
    return results;
}

Candidate reference_descend(const HnswGraph& index, std::span<const QuantizedVector> vectors,
                            const QuantizedVector& target, std::uint32_t start, std::uint64_t layer) {
    Candidate best{hamming_distance(target, vectors[start]), start};
    for (bool moved = true; moved;) {
        moved = false;
        for (const std::uint32_t slot : index.neighbours(best.slot, layer)) {
            if (slot >= vectors.size()) continue;
            const std::uint32_t d = hamming_distance(target, vectors[slot]);
            if (d < best.distance) {
                best = {d, slot};
                moved = true;
            }
        }
    }
    return best;
}

std::vector<std::uint32_t> reference_select(std::span<const Candidate> sorted, std::uint64_t capacity,
                                            std::span<const QuantizedVector> vectors) {
    std::vector<std::uint32_t> accepted;
    std::vector<std::uint32_t> discarded;
    for (const Candidate& c : sorted) {
        if (accepted.size() >= capacity) break;
        if (c.slot >= vectors.size()) continue;
        bool shadowed = false;
        for (const std::uint32_t taken : accepted) {
            if (hamming_distance(vectors[c.slot], vectors[taken]) <= c.distance) shadowed = true;
        }
        (shadowed ? discarded : accepted).push_back(c.slot);
    }
    for (const std::uint32_t s : discarded) {
        if (accepted.size() >= capacity) break;
        accepted.push_back(s);
    }
    return accepted;
}

std::vector<std::uint32_t> marked(const VisitedSet& set) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t s = 0; s < set.stamps.size(); ++s) {
        if (set.is_visited(s)) out.push_back(s);
    }
    return out;
}

TEST(GatherKernels, MatchPairwiseDistancesForEverySlotListAndPair) {
    std::mt19937_64 rng(11);
    std::vector<QuantizedVector> rows;
    for (int i = 0; i < 100; ++i) rows.push_back(random_vector(rng));
    rows[3].words.fill(0);
    rows[4].words.fill(0xFFFFFFFFu);
    rows[5].words.fill(0);
    rows[5].words[11] = 0x80000000u;  // only the last bit of the row
    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        for (std::size_t count = 0; count <= 70; ++count) {
            QuantizedVector query = random_vector(rng);
            if (count % 5 == 0) query.words.fill(0);
            std::vector<std::uint32_t> slots(count);
            // Repeats, and the last row of the store, which ends the allocation.
            for (auto& s : slots) s = rng() % 4 == 0 ? 99 : static_cast<std::uint32_t>(rng() % rows.size());
            std::vector<std::uint32_t> out(kernels::gather_room(count) + 1, 0xDEADu);
            kernel.gather(code_of(query), code_of(rows[0]), slots.data(), count, out.data());
            std::uint32_t nearest = 1000;
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t d = hamming_distance(query, rows[slots[i]]);
                ASSERT_EQ(out[i], d) << "count " << count << " position " << i;
                ASSERT_EQ(kernel.distance(code_of(query), code_of(rows[slots[i]])), d);
                nearest = std::min(nearest, d);
            }
            EXPECT_EQ(out[kernels::gather_room(count)], 0xDEADu) << "wrote past the room";
            // The bound is inclusive: the nearest distance itself is within.
            if (count > 0) {
                EXPECT_TRUE(kernel.any_within(code_of(query), code_of(rows[0]), slots.data(), count, nearest));
                if (nearest > 0) {
                    EXPECT_FALSE(kernel.any_within(code_of(query), code_of(rows[0]), slots.data(), count, nearest - 1));
                }
            }
            EXPECT_FALSE(kernel.any_within(code_of(query), code_of(rows[0]), slots.data(), 0, 1000));
        }
    }
}

// Random rows with repeats, self links, slots beyond the store, free entries
// inside the counted part, and long rows that take several chunks.
class RandomGraph : public ::testing::Test {
protected:
    std::mt19937_64 rng{2024};

    std::unique_ptr<HnswGraph> make(std::size_t slots, std::size_t store, std::uint64_t m) {
        HnswBuilder builder(slots, m, 0);
        const HnswGraph* index = &builder.graph();
        for (std::uint32_t s = 0; s < slots; ++s) {
            if (s % 3 == 0) builder.add_node(s, 1 + rng() % 2);
        }
        for (std::uint64_t layer = 0; layer <= 2; ++layer) {
            const std::size_t width = layer == 0 ? index->layer0_stride() : index->upper_stride();
            for (std::uint32_t s = 0; s < slots; ++s) {
                std::vector<std::uint32_t> row(rng() % (width + 1));
                for (auto& link : row) {
                    const auto pick = rng() % 40;
                    link = pick == 0   ? EMPTY_LINK
                           : pick == 1 ? static_cast<std::uint32_t>(store + rng() % 5)
                           : pick == 2 ? s
                                       : static_cast<std::uint32_t>(rng() % store);
                }
                builder.set_neighbours(s, layer, row);
            }
        }
        return std::make_unique<HnswGraph>(std::move(builder).finish());
    }
};

TEST_F(RandomGraph, LayerSearchMakesTheMovesOfTheLinkByLinkWalk) {
    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        for (const std::uint64_t m : std::initializer_list<std::uint64_t>{2, 16, 48}) {
            const std::size_t slots = 300;
            const auto v = tie_heavy(rng, 280, m == 16 ? 3 : 6);  // the last slots have no vector
            auto index = make(slots, v.size(), m);
            VisitedSet mine(v.size());
            VisitedSet theirs(v.size());
            std::vector<Candidate> candidates;
            std::vector<Candidate> found;
            for (int trial = 0; trial < 40; ++trial) {
                const QuantizedVector target = tie_heavy(rng, 1, 6)[0];
                const auto entry = static_cast<std::uint32_t>(rng() % (slots + 2));
                const std::uint64_t layer = trial % 4 == 0 ? 1 : 0;
                for (const std::uint64_t ef : std::initializer_list<std::uint64_t>{0, 1, 2, 7, 60, U64_MAX}) {
                    search_layer(*index, v, code_of(target), entry, layer, ef, mine, candidates, found, kernel);
                    const auto expected = reference_search_layer(*index, v, target, entry, layer, ef, theirs);
                    ASSERT_EQ(found, expected) << "m " << m << " ef " << ef << " entry " << entry;
                    ASSERT_EQ(marked(mine), marked(theirs));
                }
                if (entry < v.size() && !index->upper_nodes(1).empty()) {
                    const std::uint32_t start = index->upper_nodes(1)[rng() % index->upper_nodes(1).size()];
                    if (start < v.size()) {
                        EXPECT_EQ(greedy_descend(*index, v, code_of(target), start, hamming_distance(target, v[start]),
                                                 1, kernel),
                                  reference_descend(*index, v, target, start, 1));
                    }
                }
            }
        }
    }
}

TEST(BatchedSelection, ChoosesWhatTheLinkByLinkRuleChooses) {
    std::mt19937_64 rng(5);
    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        for (int trial = 0; trial < 200; ++trial) {
            const auto v = tie_heavy(rng, 120, 2 + trial % 6);
            const QuantizedVector base = v[rng() % v.size()];
            std::vector<Candidate> sorted;
            const std::size_t n = rng() % 100;
            for (std::size_t i = 0; i < n; ++i) {
                // Mostly distinct slots; now and then one outside the store.
                const auto slot = static_cast<std::uint32_t>(rng() % 20 == 0 ? v.size() + 3 : rng() % v.size());
                sorted.push_back({slot < v.size() ? hamming_distance(base, v[slot]) : 0u, slot});
            }
            sort_by_distance(std::span(sorted));
            for (const std::uint64_t capacity : std::initializer_list<std::uint64_t>{0, 1, 3, 16, 32, U64_MAX}) {
                std::vector<std::uint32_t> accepted;
                std::vector<std::uint32_t> discarded;
                select_neighbours(sorted, capacity, v, accepted, discarded, kernel);
                ASSERT_EQ(accepted, reference_select(sorted, capacity, v)) << "capacity " << capacity;
            }
        }
    }
}

TEST(SearchContextReuse, GivesWhatAFreshContextGivesAcrossQueriesAndGraphs) {
    // One context serves queries on a large graph, then a smaller one, and back,
    // through both query rules, while its stamp wraps; every answer must be the
    // one a context made for that query alone gives.
    std::mt19937_64 rng(9);
    struct Case {
        std::vector<QuantizedVector> v;
        std::vector<std::uint32_t> ids;
        std::unique_ptr<HnswGraph> graph;
    };
    std::vector<Case> cases;
    for (const std::size_t n : {600u, 150u}) {
        Case c{tie_heavy(rng, n, 7), std::vector<std::uint32_t>(n), nullptr};
        for (std::uint32_t i = 0; i < n; ++i) c.ids[i] = i;
        c.graph = build_hnsw(c.v, c.ids, 4, 30);
        // Deleted after the build: the plain rule drops them, the live rule walks through them.
        for (std::uint32_t i = 0; i < n; i += 3) c.ids[i] |= TOMBSTONE_BIT;
        cases.push_back(std::move(c));
    }
    const auto queries = tie_heavy(rng, 20, 7);
    SearchContext shared;
    shared.visited.current = 0xFFFFFFFFu - 50;
    using Rule = std::vector<SearchHit> (*)(const HnswGraph&, CodeRows, std::span<const std::uint32_t>,
                                            const std::uint64_t*, std::uint64_t, std::uint64_t, SearchContext&);
    for (const Rule rule : {Rule{search_hnsw}, Rule{search_hnsw_live}}) {
        for (const std::size_t which : {0u, 1u, 0u}) {
            const Case& c = cases[which];
            for (const auto& q : queries) {
                SearchContext fresh;
                const auto expected = rule(*c.graph, c.v, c.ids, code_of(q), 10, 20, fresh);
                const auto got = rule(*c.graph, c.v, c.ids, code_of(q), 10, 20, shared);
                ASSERT_EQ(got.size(), expected.size());
                for (std::size_t j = 0; j < got.size(); ++j) {
                    EXPECT_EQ(got[j].slot, expected[j].slot);
                    EXPECT_EQ(got[j].distance, expected[j].distance);
                }
            }
        }
    }
    EXPECT_LT(shared.visited.current, 1000u);  // the wrap happened on the way
}

TEST(SearchContextThreads, ManyThreadsSearchOneGraphEachWithItsOwnContext) {
    // A built graph is only read: threads with contexts of their own get the
    // answers of one thread alone.
    std::mt19937_64 rng(21);
    const auto v = tie_heavy(rng, 1500, 8);
    std::vector<std::uint32_t> ids(v.size());
    for (std::uint32_t i = 0; i < ids.size(); ++i) ids[i] = i % 5 == 0 ? (i | TOMBSTONE_BIT) : i;
    const auto graph = build_hnsw(v, ids, 8, 40);
    const auto queries = tie_heavy(rng, 40, 8);
    std::vector<std::vector<SearchHit>> expected;
    SearchContext alone;
    for (const auto& q : queries) expected.push_back(search_hnsw_live(*graph, v, ids, code_of(q), 10, 30, alone));

    std::vector<std::size_t> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            SearchContext own;
            for (int round = 0; round < 3; ++round) {
                for (std::size_t i = 0; i < queries.size(); ++i) {
                    const auto got =
                        search_hnsw_live(*graph, v, ids, code_of(queries[(i + t) % queries.size()]), 10, 30, own);
                    const auto& want = expected[(i + t) % queries.size()];
                    bool same = got.size() == want.size();
                    for (std::size_t j = 0; same && j < got.size(); ++j) same = got[j].slot == want[j].slot;
                    mismatches[t] += same ? 0 : 1;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<std::size_t>(4, 0));
}

}  // namespace
}  // namespace kestrix

// The collection's core: the id map under churn, batch answers against single
// ones, a refused batch, an add that runs out of memory, the room a search
// leaves behind, the collection's file, and the readers-writer discipline with
// the pool under many threads.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "collection.hpp"
#include "collection_build.hpp"
#include "collection_file.hpp"
#include "collection_log.hpp"
#include "file_io.hpp"
#include "hnsw/search.hpp"
#include "thread_pool.hpp"

// Every allocation of this program through operator new is counted, and when
// armed the n-th one from then on is refused: what an add does when memory
// runs out at any of its allocations, and what a search leaves allocated.
namespace {
std::atomic<long long> refuse_in{-1};  // allocations until the refused one; -1: none
std::atomic<long long> live_bytes{0};

std::size_t allocated_bytes(void* p) noexcept {
#if defined(_WIN32)
    return _msize(p);
#else
    return malloc_usable_size(p);
#endif
}
}  // namespace

// The replacements pair malloc with free by design; the compiler, seeing
// them inlined into callers, takes the pair for a new/free mismatch.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (refuse_in.load(std::memory_order_relaxed) >= 0 && refuse_in.fetch_sub(1) == 0) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    live_bytes += static_cast<long long>(allocated_bytes(p));
    return p;
}
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    live_bytes -= static_cast<long long>(allocated_bytes(p));
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace kestrix {
namespace {

QuantizedVector random_vector(std::mt19937_64& rng) {
    QuantizedVector v;
    for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
    return v;
}

TEST(IdMap, AgreesWithAStandardMapUnderChurn) {
    std::mt19937_64 rng(7);
    IdMap map;
    std::unordered_map<std::uint64_t, std::uint32_t> model;
    for (int step = 0; step < 20000; ++step) {
        // A small key range so that erasures hit long probe runs.
        const std::uint64_t id = rng() % 512 * 0x100000001ull;
        if (rng() % 3 == 0) {
            EXPECT_EQ(map.erase(id), model.erase(id) == 1);
        } else {
            map.reserve(model.size() + 1);
            map.assign(id, static_cast<std::uint32_t>(step));
            model[id] = static_cast<std::uint32_t>(step);
        }
        ASSERT_EQ(map.size(), model.size());
    }
    for (std::uint64_t key = 0; key < 512; ++key) {
        const std::uint64_t id = key * 0x100000001ull;
        const auto it = model.find(id);
        EXPECT_EQ(map.find(id), it == model.end() ? std::nullopt : std::optional(it->second));
    }
}

Collection filled(std::size_t n, std::mt19937_64& rng) {
    Collection c;
    std::vector<std::uint64_t> ids(n);
    std::vector<QuantizedVector> vectors(n);
    for (std::size_t i = 0; i < n; ++i) {
        ids[i] = i * 3;
        // Few distinct vectors: ties everywhere.
        vectors[i] = i % 5 == 0 ? QuantizedVector{} : random_vector(rng);
    }
    EXPECT_TRUE(c.add(ids, vectors, 1.0).has_value());
    return c;
}

// The live slots (whose ids the ascending `allowed` lists, when filtered) by
// (distance, slot): Hamming distance to `query`, or with `floats` the
// asymmetric distance of their prepared form.
std::vector<std::uint32_t> brute_force_order(const Collection& c, const QuantizedVector& query,
                                             std::span<const float> floats = {},
                                             std::span<const std::uint64_t> allowed = {}, bool filtered = false) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order;  // (distance, slot)
    const auto words = c.store().ids();
    const auto& measure = kernels::code_kernels(6);
    std::optional<kernels::AsymmetricQuery> prepared;
    if (!floats.empty()) prepared = *kernels::prepare_asymmetric_query(floats, ASYMMETRIC_QUERY_BITS);
    for (std::uint32_t slot = 0; slot < words.size(); ++slot) {
        if (is_tombstoned(words[slot])) continue;
        if (filtered && !std::binary_search(allowed.begin(), allowed.end(), c.doc_ids()[slot])) continue;
        const auto* code = c.store().code(slot);
        order.emplace_back(
            prepared ? measure.asymmetric_distance(*prepared, code) : measure.distance(code_of(query), code), slot);
    }
    std::sort(order.begin(), order.end());
    std::vector<std::uint32_t> slots;
    for (const auto& [distance, slot] : order) slots.push_back(slot);
    return slots;
}

TEST(Collection, BatchRowsEqualSingleQueriesOnEveryThreadCountAndSplit) {
    std::mt19937_64 rng(11);
    Collection c = filled(70000, rng);
    std::vector<std::uint64_t> gone;
    for (std::uint64_t id = 0; id < 70000 * 3; id += 21) gone.push_back(id);
    c.remove(gone);
    std::vector<QuantizedVector> queries(37);
    for (auto& q : queries) q = random_vector(rng);
    queries[3] = QuantizedVector{};
    // Float queries whose signs are the codes', for rescoring by the codes' signs.
    std::uniform_real_distribution<float> magnitude(0.01f, 1.0f);
    std::vector<float> floats(queries.size() * DIMENSION);
    for (std::size_t row = 0; row < queries.size(); ++row) {
        for (std::size_t d = 0; d < DIMENSION; ++d) {
            const bool set = (queries[row].words[d / 32] >> (d % 32)) & 1u;
            floats[row * DIMENSION + d] = set ? magnitude(rng) : -magnitude(rng);
        }
    }
    // Allow-lists whose rows the scan gathers (1 in 40 ids, some deleted or
    // never stored) and whose blocks it masks (1 in 3).
    std::vector<std::uint64_t> sparse, dense;
    for (std::uint64_t id = 0; id < 70000 * 3 + 600; id += 120) sparse.push_back(id);
    for (std::uint64_t id = 0; id < 70000 * 3; id += 9) dense.push_back(id);
    const auto allowed_by = [&](int filter) { return filter == 1 ? std::span(sparse) : std::span(dense); };
    const auto floats_of = [&](std::size_t row) { return std::span(floats).subspan(row * DIMENSION, DIMENSION); };
    // The brute-force orders of each filter and row (by the codes, and by the
    // float queries), which no thread count, k or split changes.
    std::vector<std::vector<std::uint32_t>> by_code[3], by_float[3];
    for (int filter = 0; filter < 3; ++filter) {
        for (std::size_t row = 0; row < queries.size(); ++row) {
            by_code[filter].push_back(brute_force_order(c, queries[row], {}, allowed_by(filter), filter != 0));
            by_float[filter].push_back(
                brute_force_order(c, queries[row], floats_of(row), allowed_by(filter), filter != 0));
        }
    }
    for (const std::size_t threads : {1u, 2u, 4u}) {
        for (const std::uint64_t k : {0u, 1u, 10u, 100u}) {
            for (const int filter : {0, 1, 2}) {
                for (const bool rescore : {false, true}) {
                    // Two queries force the row split, 37 the query split.
                    for (const std::size_t q : {2u, 37u}) {
                        SearchOptions options{k, true, 50, threads};
                        options.rescore = rescore;
                        options.oversample = 3;
                        if (filter != 0) options.filter = allowed_by(filter);
                        const auto batch = c.search_batch(std::span(queries).first(q), options, floats);
                        SCOPED_TRACE(testing::Message() << threads << " threads, k " << k << ", " << q << " queries"
                                                        << (rescore ? ", rescored" : "") << ", filter " << filter);
                        const std::size_t eligible = filter == 0 ? c.size() : by_code[filter][0].size();
                        ASSERT_EQ(batch.width, std::min<std::size_t>(k, eligible));
                        for (std::size_t row = 0; row < q; ++row) {
                            const auto single = c.search(code_of(queries[row]), floats_of(row), options);
                            ASSERT_EQ(single.size(), batch.width);
                            if (!rescore) {  // the first k live slots by (distance, slot), by brute force
                                const auto& slots = by_code[filter][row];
                                for (std::size_t i = 0; i < single.size(); ++i) EXPECT_EQ(single[i].slot, slots[i]);
                            } else if (threads == 1) {
                                // Picked among the first 3 k (allowed) by (asymmetric distance, slot);
                                // each answer with its code's Hamming distance.
                                const auto& slots = by_float[filter][row];
                                const std::set<std::uint32_t> candidates(
                                    slots.begin(),
                                    slots.begin() + static_cast<std::ptrdiff_t>(std::min(3 * k, slots.size())));
                                for (const auto& hit : single) {
                                    EXPECT_TRUE(candidates.contains(hit.slot));
                                    EXPECT_EQ(hit.distance, kernels::code_kernels(6).distance(
                                                                code_of(queries[row]), c.store().code(hit.slot)));
                                }
                            }
                            for (std::size_t i = 0; i < single.size(); ++i) {
                                EXPECT_EQ(batch.ids[row * batch.width + i], static_cast<std::int64_t>(single[i].id));
                                EXPECT_EQ(batch.scores[row * batch.width + i], single[i].score);
                                if (i == 0) continue;
                                const auto& a = single[i - 1];
                                const auto& b = single[i];
                                EXPECT_TRUE(rescore ? a.score > b.score || (a.score == b.score && a.slot < b.slot)
                                                    : a.distance < b.distance ||
                                                          (a.distance == b.distance && a.slot < b.slot));
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(Collection, AFilteredWalkKeepsOnlyAllowedNodesAndHandsOverWhenItGivesUp) {
    std::mt19937_64 rng(5);
    Collection c = filled(3000, rng);
    std::vector<std::uint64_t> gone;
    for (std::uint64_t id = 0; id < 3000 * 3; id += 33) gone.push_back(id);
    c.remove(gone);
    ASSERT_TRUE(c.build_index(8, 32));
    std::vector<std::uint64_t> most, few;
    for (std::uint64_t id = 0; id < 3000 * 3; id += 3) (id % 60 == 0 ? few : most).push_back(id);
    for (const auto& allowed : {std::span<const std::uint64_t>(most), std::span<const std::uint64_t>(few)}) {
        for (int trial = 0; trial < 20; ++trial) {
            const QuantizedVector query = random_vector(rng);
            const auto exact = brute_force_order(c, query, {}, allowed, true);
            SearchOptions options{10, false, 10, 1};  // a narrow walk: the planner lets most of the ids walk
            options.filter = allowed;
            // Odd trials rescore (by the signs of floats of the code's signs):
            // the walk and any hand-over then measure by asymmetric distance.
            std::vector<float> floats;
            if (trial % 2 == 1) {
                options.rescore = true;
                options.oversample = 3;
                for (std::size_t d = 0; d < DIMENSION; ++d)
                    floats.push_back((query.words[d / 32] >> (d % 32)) & 1u ? 0.5f + 0.01f * float(d % 7) : -0.3f);
            }
            const auto hits = c.search(code_of(query), floats, options);
            ASSERT_EQ(hits.size(), std::min<std::size_t>(10, exact.size()));
            // Every answer allowed, live and measured right (how many of the
            // exact ones a walk finds is bench/filter_engine.py's business:
            // uniform random codes leave a graph little to go by).
            for (const DocumentHit& hit : hits) {
                EXPECT_NE(std::find(exact.begin(), exact.end(), hit.slot), exact.end());
                EXPECT_EQ(hit.distance, kernels::code_kernels(6).distance(code_of(query), c.store().code(hit.slot)));
            }
        }
    }
    // The walk itself: the few allowed slots give it no budget, so it gives up
    // (and the collection answered above by the scan); the many let it finish.
    auto room = std::make_unique<SearchContext>();
    AllowedSlots few_slots(c.slot_count()), most_slots(c.slot_count());
    for (std::uint32_t slot = 0; slot < c.slot_count(); ++slot) {
        if (c.doc_ids()[slot] % 60 == 0) few_slots.allow(slot);
        if (c.doc_ids()[slot] % 60 != 0 && !is_tombstoned(c.store().ids()[slot])) most_slots.allow(slot);
    }
    const QuantizedVector query = random_vector(rng);
    few_slots.list();
    most_slots.list();
    EXPECT_FALSE(search_hnsw_allowed(*c.graph(), c.store().codes(), c.store().ids(), code_of(query), 10, 10, 10,
                                     few_slots, *room));
    const auto walked = search_hnsw_allowed(*c.graph(), c.store().codes(), c.store().ids(), code_of(query), 10, 10, 10,
                                            most_slots, *room);
    ASSERT_TRUE(walked);
    EXPECT_EQ(walked->size(), 10u);
    for (const SearchHit& hit : *walked) EXPECT_TRUE(most_slots.allows(hit.slot));
}

TEST(Collection, RefusedBatchChangesNothing) {
    std::mt19937_64 rng(3);
    Collection c = filled(10, rng);
    const auto before = c.ids();
    std::vector<QuantizedVector> two(2, QuantizedVector{});
    const std::uint64_t duplicate[] = {100, 100};
    const std::uint64_t too_large[] = {100, MAX_DOCUMENT_ID + 1};
    EXPECT_EQ(c.add(duplicate, two, 2.0).error().kind, CollectionError::Kind::DuplicateId);
    EXPECT_EQ(c.add(too_large, two, 2.0).error().row, 1u);
    EXPECT_EQ(c.ids(), before);
    EXPECT_EQ(c.slot_count(), 10u);
}

std::vector<std::byte> file_of(const Collection& c) {
    std::vector<std::byte> out;
    VectorSink sink(out);
    file::write_collection(c, sink);
    return out;
}

// Whichever allocation of an add fails, graph extension included, the add
// happens whole, with its graph, or not at all.
TEST(Collection, AnAddThatRunsOutOfMemoryChangesNothingGraphIncluded) {
    const auto make = [] {
        std::mt19937_64 rng(17);
        Collection c = filled(600, rng);
        c.build_index(8, 40);
        return c;
    };
    std::mt19937_64 rng(23);
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = 0; i < 30; ++i) ids.push_back(i % 2 ? i * 3 : 5000 + i);  // upserts and new ids
    std::vector<QuantizedVector> vectors(ids.size());
    for (auto& v : vectors) v = random_vector(rng);
    Collection reference = make();
    ASSERT_TRUE(reference.add(ids, vectors, 2.0).has_value());
    const auto after = file_of(reference);

    Collection c = make();
    const auto before = file_of(c);
    const auto ids_before = c.ids();
    for (long long n = 0;; ++n) {
        refuse_in = n;
        bool refused = false;
        try {
            ASSERT_TRUE(c.add(ids, vectors, 2.0).has_value());
        } catch (const std::bad_alloc&) {
            refused = true;
        }
        refuse_in = -1;
        if (!refused) break;
        ASSERT_EQ(file_of(c), before) << "allocation " << n;
        ASSERT_EQ(c.ids(), ids_before);
        ASSERT_EQ(c.graph_nodes(), count_graph_nodes(*c.graph(), c.store().ids()));
    }
    EXPECT_EQ(file_of(c), after);
    EXPECT_EQ(c.ids(), reference.ids());
    EXPECT_EQ(c.graph_nodes(), reference.graph_nodes());
}

// The graph road's working room belongs to the collection: nothing of it
// stays once the collection is gone, however large it was.
TEST(Collection, GraphSearchRoomGoesWithTheCollection) {
    std::mt19937_64 rng(19);
    {
        // What a first search sets up once for the process is not the collection's.
        Collection small = filled(50, rng);
        small.build_index(4, 16);
        small.search(code_of(random_vector(rng)), 5, false, 10);
    }
    const long long before = live_bytes.load();
    {
        Collection c = filled(20000, rng);
        c.build_index(4, 16);
        for (int q = 0; q < 3; ++q) c.search(code_of(random_vector(rng)), 5, false, 10);
    }
    // A visited stamp per slot alone would be 80 KB.
    EXPECT_LT(live_bytes.load() - before, 4096);
}

// Kept as the collection changes: the counts a full scan gives.
TEST(Collection, GraphNodesAreCountedAsTheCollectionChanges) {
    std::mt19937_64 rng(29);
    Collection c = filled(3000, rng);
    c.build_index(8, 40);
    for (int step = 0; step < 40; ++step) {
        std::vector<std::uint64_t> ids(25);
        for (auto& id : ids) id = rng() % 12000;
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        if (step % 3 == 0) {
            c.remove(ids);
        } else if (step % 7 == 0) {
            c.expire(0.5, 10.0 + step);  // what the first fill stored
        } else {
            std::vector<QuantizedVector> vectors(ids.size());
            for (auto& v : vectors) v = random_vector(rng);
            ASSERT_TRUE(c.add(ids, vectors, 5.0 + step).has_value());
        }
        ASSERT_EQ(c.graph_nodes(), count_graph_nodes(*c.graph(), c.store().ids())) << "step " << step;
    }
}

// A file written to a descriptor is the file written to a buffer, and reads
// back, from the file and from the buffer, as the collection it was.
TEST(CollectionFile, ADescriptorGetsTheBufferBytesAndTheyReadBack) {
    std::mt19937_64 rng(31);
    GuardedCollection guarded;
    guarded.collection = Collection(side::SideKind::Int8);
    // A name of its own: other runs of the suite may share the temporary folder.
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kestrix-collection-file-" + std::to_string(std::random_device{}()) + ".kxc"))
                                 .string();
    for (const std::size_t batch : {1u, 2000u, 40u, 1500u}) {  // side rows past the sink's buffer
        std::vector<std::uint64_t> ids(batch);
        std::vector<float> floats(batch * DIMENSION);
        for (std::size_t i = 0; i < batch; ++i) ids[i] = rng() % 100000;
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (auto& f : floats) f = std::uniform_real_distribution<float>(-1, 1)(rng);
        std::vector<QuantizedVector> codes(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            codes[i] = quantize(std::span<const float, DIMENSION>(floats.data() + i * DIMENSION, DIMENSION));
        }
        ASSERT_TRUE(guarded.collection.add(ids, codes, 1.0, floats).has_value());
        if (batch == 40) guarded.collection.build_index(8, 32);
        const auto bytes = file::collection_file_bytes(guarded);
        EXPECT_EQ(bytes.size(), file::collection_file_size(guarded.collection));

        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(file::write_collection(guarded, fileno(out)).has_value());
        std::fclose(out);
        auto from_file = file::load_collection(path.c_str(), false);
        auto mapped = file::load_collection(path.c_str(), true);
        container::MemorySource memory(bytes);
        auto from_memory = file::read_collection(memory);
        for (auto* read : {&from_file, &mapped, &from_memory}) {
            ASSERT_TRUE(read->has_value()) << read->error().message;
            EXPECT_EQ(file_of(**read), bytes);
        }
        EXPECT_TRUE((*mapped).side().is_in_place());
    }
    std::filesystem::remove(path);
}

TEST(Collection, CompactKeepsOrderAndUpsertMovesToTheEnd) {
    std::mt19937_64 rng(5);
    Collection c = filled(6, rng);  // ids 0 3 6 9 12 15
    const std::uint64_t again[] = {3};
    const QuantizedVector v[] = {QuantizedVector{}};
    ASSERT_TRUE(c.add(again, v, 2.0).has_value());
    const std::uint64_t gone[] = {9, 42};
    EXPECT_EQ(c.remove(gone), 1u);
    EXPECT_EQ(c.compact(), 2u);
    EXPECT_EQ(c.ids(), (std::vector<std::uint64_t>{0, 6, 12, 15, 3}));
    EXPECT_EQ(c.expire(0.5, 2.0), 4u);  // everything stored at time 1.0
    EXPECT_EQ(c.ids(), (std::vector<std::uint64_t>{3}));
}

// Readers search in parallel (each batch itself on the pool) while writers
// add and delete under the exclusive lock; every answer must be a consistent
// snapshot: ids that exist at that moment, the width bounded by the live count.
// Durable, the writers go through the log (group commit among them), and the
// log replays to the collection they left.
TEST(Collection, ReadersAndWritersShareOneCollection) {
    for (const bool durable : {false, true}) {
        SCOPED_TRACE(durable);
        GuardedCollection guarded;
        const std::string path = "/tmp/kestrix-shared-log-" +
                                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".wal";
        if (durable) {
            guarded.log.store(std::shared_ptr<wal::Log>(wal::Log::create(path, durable::LOG_TAG, 0, {}).value()));
        }
        std::atomic<bool> stop{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int w = 0; w < 2; ++w) {
            threads.emplace_back([&, w] {
                std::mt19937_64 rng(100 + w);
                for (int step = 0; step < (durable ? 60 : 200); ++step) {
                    std::vector<std::uint64_t> ids(50);
                    std::vector<QuantizedVector> vectors(50);
                    for (auto& id : ids) id = rng() % 2000;
                    std::sort(ids.begin(), ids.end());
                    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
                    vectors.resize(ids.size());
                    for (auto& v : vectors) v = random_vector(rng);
                    if (durable) {
                        const bool done = step % 3 == 2 ? durable::remove(guarded, ids).has_value()
                                                        : durable::add(guarded, ids, vectors, 1.0, {}).has_value();
                        if (!done) failures++;
                        continue;
                    }
                    std::unique_lock lock(guarded.mutex);
                    if (step % 3 == 2) {
                        guarded.collection.remove(ids);
                    } else if (!guarded.collection.add(ids, vectors, 1.0)) {
                        failures++;
                    }
                }
            });
        }
        for (int r = 0; r < 3; ++r) {
            threads.emplace_back([&, r] {
                std::mt19937_64 rng(200 + r);
                for (int round = 0; round < 30 || !stop.load(); ++round) {
                    std::vector<QuantizedVector> queries(40);
                    for (auto& q : queries) q = random_vector(rng);
                    std::shared_lock lock(guarded.mutex);
                    const Collection& c = guarded.collection;
                    const auto batch = c.search_batch(queries, {5, true, 50, 2});
                    if (batch.width != std::min<std::size_t>(5, c.size())) failures++;
                    for (const auto id : batch.ids) {
                        if (id < 0 || !c.contains(static_cast<std::uint64_t>(id))) failures++;
                    }
                }
            });
        }
        for (int w = 0; w < 2; ++w) threads[w].join();
        stop = true;
        for (std::size_t t = 2; t < threads.size(); ++t) threads[t].join();
        EXPECT_EQ(failures.load(), 0);
        if (durable) {
            Collection again;
            auto reader = wal::LogReader::open(path, {durable::LOG_TAG, 0});
            ASSERT_TRUE(reader.has_value());
            EXPECT_EQ(durable::replay(again, *reader, 0).value().records, durable::last_record(guarded));
            EXPECT_EQ(file_of(again), file_of(guarded.collection));
            ::unlink(path.c_str());
        }
    }
}

// A build on its own thread: searches go on while it runs; slots added
// before it is installed go into its graph as an add would have put them; a
// compaction meanwhile, or a cancel, leaves it out.
TEST(BackgroundBuild, InstallsWhatABuildThenTheChangesMeanwhileWouldGive) {
    const auto make = [] {
        std::mt19937_64 rng(37);
        return filled(4000, rng);
    };
    std::mt19937_64 rng(41);
    std::vector<std::uint64_t> more(60);
    for (std::uint64_t i = 0; i < more.size(); ++i) more[i] = i * 3 + (i % 2 ? 1 : 0);  // upserts and new ids
    std::vector<QuantizedVector> vectors(more.size());
    for (auto& v : vectors) v = random_vector(rng);
    Collection reference = make();
    reference.build_index(8, 40);
    ASSERT_TRUE(reference.add(more, vectors, 3.0).has_value());

    for (const int change : {0, 1, 2}) {  // an add, a compaction, a cancel
        SCOPED_TRACE(change);
        GuardedCollection guarded;
        guarded.collection = make();
        BackgroundBuild build(guarded, 8, 40);
        std::atomic<int> searched{0};
        std::thread other([&] {
            if (change == 2) return;
            // Readers are not kept waiting by the build.
            {
                std::shared_lock lock(guarded.mutex);
                searched += static_cast<int>(guarded.collection.search(code_of(vectors[0]), 5, true, 10).size());
            }
            // Once the build has counted it has its read lock (or is done):
            // the change comes after the build began.
            while (!build.progress()) std::this_thread::yield();
            std::unique_lock lock(guarded.mutex);
            if (change == 0) {
                ASSERT_TRUE(guarded.collection.add(more, vectors, 3.0).has_value());
            } else {
                guarded.collection.remove(more);
                guarded.collection.compact();
            }
        });
        if (change == 2) build.cancel();
        while (!build.wait_for(std::chrono::milliseconds(10))) {}
        other.join();
        build.finish();
        const auto installed = build.install();
        ASSERT_TRUE(installed.has_value());
        EXPECT_EQ(*installed, change == 0);
        EXPECT_EQ(searched.load(), change == 2 ? 0 : 5);
        if (change == 0) {
            EXPECT_EQ(file_of(guarded.collection), file_of(reference));
            EXPECT_EQ(guarded.collection.graph_nodes(), reference.graph_nodes());
        } else {
            EXPECT_FALSE(guarded.collection.has_index());
        }
    }
}

// A durable collection's log makes the collection again, byte for byte:
// adds with upserts and side rows (a run of them made as one), a delete made
// after a background build took its slots and before it was installed (the
// replayed build covers the slots as they were when it began), an expiry, a
// compaction and the add after it.
TEST(CollectionLog, ReplayMakesTheSameCollection) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string path = "/tmp/kestrix-collection-log-" + std::to_string(stamp) + ".wal";
    std::mt19937_64 rng(43);
    std::normal_distribution<float> normal;
    const auto batch = [&](std::size_t n, std::uint64_t first_id) {
        std::vector<std::uint64_t> ids(n);
        std::vector<float> floats(n * DIMENSION);
        std::vector<QuantizedVector> codes(n);
        for (std::size_t i = 0; i < n; ++i) {
            ids[i] = first_id + i * 2;
            for (std::size_t c = 0; c < DIMENSION; ++c) floats[i * DIMENSION + c] = normal(rng);
            codes[i] = quantize(std::span<const float, DIMENSION>(floats.data() + i * DIMENSION, DIMENSION));
        }
        return std::tuple(ids, codes, floats);
    };
    GuardedCollection guarded;
    guarded.collection = Collection(side::SideKind::Int8);
    auto log = wal::Log::create(path, durable::LOG_TAG, 0, {});
    ASSERT_TRUE(log.has_value());
    guarded.log.store(std::shared_ptr<wal::Log>(std::move(*log)));
    for (int round = 0; round < 6; ++round) {
        const auto [ids, codes, floats] = batch(300, static_cast<std::uint64_t>(round) * 250);
        ASSERT_TRUE(durable::add(guarded, ids, codes, 1000.0 + round, floats).has_value());
    }
    {
        BackgroundBuild build(guarded, 8, 40);
        while (!build.wait_for(std::chrono::milliseconds(10))) {}
        const std::vector<std::uint64_t> gone = {2, 4, 1250, 1400};
        ASSERT_EQ(durable::remove(guarded, gone).value(), 4u);
        build.finish();
        ASSERT_EQ(build.install().value(), true);
    }
    const auto [ids, codes, floats] = batch(100, 5000);
    ASSERT_TRUE(durable::add(guarded, ids, codes, 2000.0, floats).has_value());
    // The first round's documents that no later round replaced or deleted.
    ASSERT_EQ(durable::expire(guarded, 500.0, 1501.0).value(), 300u - 175 - 2);
    ASSERT_GT(durable::compact(guarded).value(), 0u);
    ASSERT_TRUE(durable::add(guarded, std::span(ids).first(10), std::span(codes).first(10), 3000.0,
                             std::span(floats).first(10 * DIMENSION))
                    .has_value());
    EXPECT_EQ(durable::last_record(guarded), 12u);

    Collection again(side::SideKind::Int8);
    auto reader = wal::LogReader::open(path, {durable::LOG_TAG, 0});
    ASSERT_TRUE(reader.has_value());
    const auto replayed = durable::replay(again, *reader, 0);
    ASSERT_TRUE(replayed.has_value());
    EXPECT_EQ(replayed->records, 12u);
    EXPECT_EQ(replayed->stopped_at, 0u);
    EXPECT_EQ(file_of(again), file_of(guarded.collection));
    // Up to a record only: what the collection was then.
    Collection part(side::SideKind::Int8);
    auto again_reader = wal::LogReader::open(path, {durable::LOG_TAG, 0});
    ASSERT_TRUE(again_reader.has_value());
    const auto stopped = durable::replay(part, *again_reader, 0, 6);
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->records, 6u);
    EXPECT_EQ(stopped->left_out, 6u);
    EXPECT_EQ(part.size(), 925u);  // the even ids 0 .. 1848
    ::unlink(path.c_str());
}

TEST(ThreadPool, RunsEveryTaskOnceAndRethrowsAfterAllFinished) {
    ThreadPool pool(3);
    std::vector<std::atomic<int>> hits(1000);
    pool.run(hits.size(), 4, [&](std::size_t i) { hits[i]++; });
    for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
    std::atomic<int> ran{0};
    EXPECT_THROW(pool.run(100, 4,
                          [&](std::size_t i) {
                              ran++;
                              if (i == 7) throw std::bad_alloc();
                          }),
                 std::bad_alloc);
    EXPECT_EQ(ran.load(), 100);
}

}  // namespace
}  // namespace kestrix

namespace kestrix {
namespace {

// The graph road after deletes and appends: only live documents, as many as
// asked for; a build stopped by its progress callback keeps the earlier graph.
TEST(Collection, GraphKeepsWorkingThroughDeletesAppendsAndAStoppedBuild) {
    std::mt19937_64 rng(13);
    Collection c = filled(3000, rng);
    c.build_index(8, 40);
    const HnswGraph* built = c.graph();
    std::vector<std::uint64_t> gone;
    for (std::uint64_t id = 0; id < 3000 * 3; id += 6) gone.push_back(id);
    c.remove(gone);
    std::vector<std::size_t> reports;
    EXPECT_FALSE(c.build_index(8, 40, [&](std::size_t done, std::size_t total) {
        reports.push_back(done);
        EXPECT_EQ(total, 1500u);
        return done < 1000;
    }));
    EXPECT_EQ(reports, (std::vector<std::size_t>{512, 1024}));
    EXPECT_EQ(c.graph(), built);
    const std::uint64_t more[] = {1, 2, 4};
    std::vector<QuantizedVector> vectors(3);
    for (auto& v : vectors) v = random_vector(rng);
    ASSERT_TRUE(c.add(more, vectors, 2.0).has_value());
    ASSERT_TRUE(c.has_index());
    for (int trial = 0; trial < 20; ++trial) {
        const auto hits = c.search(code_of(trial < 3 ? vectors[trial] : random_vector(rng)), 50, false, 10);
        EXPECT_EQ(hits.size(), 50u);
        for (const auto& hit : hits) {
            EXPECT_TRUE(c.contains(hit.id)) << hit.id;
        }
        if (trial < 3) {
            EXPECT_EQ(hits.front().id, more[trial]);  // appended slots are reachable
        }
    }
}

}  // namespace
}  // namespace kestrix

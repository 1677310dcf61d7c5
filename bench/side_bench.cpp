// How much of the float ranking rescoring recovers, and what it costs.
//
//   kestrix_side_bench DIR [k [scan]]
//
// DIR holds stored.f32 (n x 384 float32), queries.f32 (q x 384) and truth.i32
// (q x k: the float inner-product top-k of each query, as rows of stored),
// written by bench/side_rescore.py. For the scan and the graph road and each
// oversampling factor it reports the share of the float top-k in the answer,
// how often the float top-1 is in it, the candidate search's time per query
// and the rescoring's time per query in each mode (medians over the
// queries). A report, never a test.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "collection.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "scan.hpp"
#include "side/side.hpp"
#include "store.hpp"

using namespace kestrix;
using Clock = std::chrono::steady_clock;

namespace {

template <class T>
std::vector<T> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<T> out(bytes / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(T)));
    return out;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Tally {
    double share = 0, top1 = 0;
    std::vector<double> seconds;  // per query: the median is the figure (the machine is shared)

    double median_us() {
        if (seconds.empty()) return 0;
        std::nth_element(seconds.begin(), seconds.begin() + seconds.size() / 2, seconds.end());
        return 1e6 * seconds[seconds.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [k [scan]]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::size_t k = argc > 2 ? std::stoul(argv[2]) : 10;
    // "scan": the exact road only (a graph of millions takes long to build).
    const bool with_graph = !(argc > 3 && std::string(argv[3]) == "scan");
    const auto stored = read_all<float>(dir + "/stored.f32");
    const auto queries = read_all<float>(dir + "/queries.f32");
    const auto truth = read_all<std::int32_t>(dir + "/truth.i32");
    const std::size_t n = stored.size() / DIMENSION, q = queries.size() / DIMENSION;

    constexpr std::size_t WORDS = DIMENSION / kernels::WORD_BITS;
    VectorStore store;
    store.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t code[WORDS];
        quantize_into(stored.data() + i * DIMENSION, DIMENSION, code);
        static_cast<void>(store.insert(static_cast<std::uint32_t>(i), code, 0.0));
    }
    side::SideStore int8(side::SideKind::Int8), half(side::SideKind::Float16);
    int8.append(n, stored);
    half.append(n, stored);
    auto start = Clock::now();
    const auto graph = with_graph ? build_hnsw(store.codes(), store.ids(), 16, 200, LinkRule::KeepWayIn) : nullptr;
    std::printf("%zu stored, %zu queries, k=%zu; graph built in %.1f s; kernels: %s\n", n, q, k, seconds_since(start),
                side::side_kernels().name);

    struct Mode {
        const char* name;
        side::RescoreMode mode;
        side::SideView view;
    };
    const Mode modes[] = {{"sign", side::RescoreMode::Sign, {}},
                          {"int8", side::RescoreMode::Int8, int8.view()},
                          {"float16", side::RescoreMode::Float16, half.view()}};

    auto score = [&](std::size_t query, const std::vector<SearchHit>& hits, Tally& tally) {
        const std::int32_t* want = truth.data() + query * k;
        std::size_t found = 0;
        bool top1 = false;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            found += std::count(want, want + k, static_cast<std::int32_t>(hits[i].slot));
            top1 = top1 || static_cast<std::int32_t>(hits[i].slot) == want[0];
        }
        tally.share += static_cast<double>(found) / k;
        tally.top1 += top1;
    };

    std::printf("\n%-6s %5s %5s | %-14s %8s | %-22s | %-22s | %-22s\n", "road", "over", "cands", "binary share/top1",
                "median us", "sign share/top1/us", "int8 share/top1/us", "float16 share/top1/us");
    // Each mode runs in its own pass over the queries, search then rescoring,
    // so the side it reads competes for the cache only with the search, as in
    // a collection that has one side.
    for (const bool use_graph : {false, true}) {
        if (use_graph && !graph) break;
        for (const std::size_t over : {1, 2, 4, 8, 16, 24, 32}) {
            const std::size_t candidates = k * over;
            SearchContext context;  // one search at a time: one context reused
            // The graph road as a collection walks it at its default width (as
            // wide as the candidates, at least 50), the candidates picked from
            // every node it measured.
            auto candidates_of = [&](const QuantizedVector& quantized) {
                const std::uint64_t* code = code_of(quantized);
                if (!use_graph) {  // the collection's exact selection
                    FirstRowsSelection selection(std::min(candidates, n), n, DIMENSION);
                    selection.offer_rows(code, store.codes(), store.ids(), 0, n);
                    return selection.take();
                }
                auto hits = search_hnsw_pool(*graph, store.codes(), store.ids(), code, k,
                                             std::max<std::uint64_t>(DEFAULT_EF, candidates), candidates, context);
                std::sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
                    return a.distance != b.distance ? a.distance < b.distance : a.slot < b.slot;
                });
                return hits;
            };
            Tally binary, rescored[3];
            for (std::size_t i = 0; i < q; ++i) {
                const QuantizedVector code =
                    quantize(std::span<const float, DIMENSION>(queries.data() + i * DIMENSION, DIMENSION));
                start = Clock::now();
                auto hits = candidates_of(code);
                binary.seconds.push_back(seconds_since(start));
                hits.resize(std::min(k, hits.size()));
                score(i, hits, binary);
            }
            for (int m = 0; m < 3; ++m) {
                for (std::size_t i = 0; i < q; ++i) {
                    const std::span<const float, DIMENSION> query(queries.data() + i * DIMENSION, DIMENSION);
                    auto hits = candidates_of(quantize(query));
                    start = Clock::now();
                    const auto prepared = *side::prepare_query(modes[m].mode, query);
                    hits.resize(side::rescore(prepared, modes[m].view, store.codes(), std::span(hits), k));
                    rescored[m].seconds.push_back(seconds_since(start));
                    score(i, hits, rescored[m]);
                }
            }
            std::printf("%-6s %5zu %5zu | %6.3f / %5.3f %8.1f", use_graph ? "graph" : "scan", over, candidates,
                        binary.share / q, binary.top1 / q, binary.median_us());
            for (auto& t : rescored) {
                std::printf(" | %6.3f / %5.3f / %6.2f", t.share / q, t.top1 / q, t.median_us());
            }
            std::printf("\n");
        }
    }

    // The int8 rescoring of 160 candidates with each kernel set this CPU has.
    std::printf("\nint8 rescoring of %zu candidates per query, by kernel set (us per query):\n", 16 * k);
    std::vector<std::vector<SearchHit>> lists;
    for (std::size_t i = 0; i < q; ++i) {
        const auto code = quantize(std::span<const float, DIMENSION>(queries.data() + i * DIMENSION, DIMENSION));
        lists.push_back(scan_top_k(store, code_of(code), 16 * k));
    }
    for (const auto& kernels : side::available_side_kernels()) {
        Tally tally;
        for (std::size_t i = 0; i < q; ++i) {
            const std::span<const float, DIMENSION> query(queries.data() + i * DIMENSION, DIMENSION);
            auto copy = lists[i];
            start = Clock::now();
            side::rescore(*side::prepare_query(side::RescoreMode::Int8, query), int8.view(), store.codes(),
                          std::span(copy), k, kernels);
            tally.seconds.push_back(seconds_since(start));
        }
        std::printf("  %-12s %7.2f\n", kernels.name, tally.median_us());
    }
    return 0;
}

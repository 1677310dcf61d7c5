// The collection's query planner: which road a query takes (the exact scan
// in tiles of rows and blocks of queries, split over threads and merged, or
// the graph), how wide it looks, and the rescoring of its candidates.
#include <algorithm>
#include <cassert>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "collection.hpp"
#include "hnsw/search.hpp"
#include "scan.hpp"
#include "thread_pool.hpp"

namespace kestrix {

namespace {

// The collection's answer order: distance, then slot. Total, so a batch, a
// single query and any split of the rows all give the same list.
bool ranks_before(const SearchHit& a, const SearchHit& b) noexcept {
    return a.distance != b.distance ? a.distance < b.distance : a.slot < b.slot;
}

// Rows are scanned in tiles that stay in the core's cache while every query
// of a block is measured against them, so a block of queries reads the
// vectors from memory once.
constexpr std::size_t ROW_TILE = 2048;
constexpr std::size_t QUERY_BLOCK = 32;
// A split of the rows among threads pays off only above this many per thread.
constexpr std::size_t MIN_ROWS_PER_SPLIT = 32768;

// A filtered scan gathers the allowed rows one by one (rather than measuring
// every block of rows that holds one) when at most one slot in this many is
// allowed: on 1,000,000 rows the two cost the same at 10 % allowed, and the
// gather is 15 times cheaper at 1 % (docs/filters.md).
constexpr std::size_t GATHER_SPARSITY = 10;
// The filtered walk against the scan of the allowed slots. A walk that keeps
// only allowed nodes measures more nodes the fewer are allowed (about ef x
// slots / allowed before its results fill), the scan one row per allowed
// slot, so the scan is the cheaper road while allowed^2 <= WALK_COST x ef x
// slots. Measured on 1,000,000 rows at ef 50: the two cost the same near 5 %
// allowed, which puts WALK_COST at 50 (docs/filters.md).
constexpr std::uint64_t WALK_COST = 50;

bool gathers(const AllowedSlots& allowed, std::size_t slots) noexcept {
    return allowed.count() * GATHER_SPARSITY <= slots;
}

// What a query's candidates are measured by: the asymmetric distance of its
// floats when it is rescored (the float query rounded to a few bits against
// the codes' signs puts as much of the float answer into 40 candidates as the
// Hamming distance of its own signs puts into 240), else the Hamming distance
// of its code. Without usable floats (none, or not finite) a rescored query
// falls back to the codes' Hamming order too.
using CandidateQuery = std::optional<kernels::AsymmetricQuery>;

CandidateQuery candidate_query(std::span<const float> floats, std::size_t dim, const SearchOptions& options) noexcept {
    if (!options.rescore || floats.size() < dim) return std::nullopt;
    auto prepared = kernels::prepare_asymmetric_query(floats.first(dim), ASYMMETRIC_QUERY_BITS);
    if (!prepared) return std::nullopt;
    return std::move(*prepared);
}

// The best `width` live (and allowed, with a filter) rows of [begin, end) for
// each query of a block, in the collection's order (by asymmetric distance
// where the query has its prepared form in `prepared`).
void scan_block_of_queries(const VectorStore& store, CodeRows queries, std::span<const CandidateQuery> prepared,
                           std::size_t width, std::size_t begin, std::size_t end, std::span<std::vector<SearchHit>> out,
                           const AllowedSlots* allowed = nullptr) {
    const std::size_t rows = allowed ? std::min(end - begin, allowed->count()) : end - begin;
    std::vector<FirstRowsSelection> selections;
    selections.reserve(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
        if (prepared[q]) {
            selections.emplace_back(width, rows, *prepared[q]);
        } else {
            selections.emplace_back(width, rows, store.dimension());
        }
    }
    const auto vectors = store.codes();
    const auto words = store.ids();
    if (allowed && gathers(*allowed, store.size())) {
        const auto all = allowed->slots();
        const auto first = std::lower_bound(all.begin(), all.end(), begin);
        const auto last = std::lower_bound(first, all.end(), end);
        const auto slots =
            all.subspan(static_cast<std::size_t>(first - all.begin()), static_cast<std::size_t>(last - first));
        for (std::size_t q = 0; q < queries.size(); ++q) selections[q].offer_slots(queries[q], vectors, words, slots);
    } else {
        for (std::size_t tile = begin; tile < end; tile += ROW_TILE) {
            const std::size_t tile_end = std::min(end, tile + ROW_TILE);
            for (std::size_t q = 0; q < queries.size(); ++q)
                selections[q].offer_rows(queries[q], vectors, words, tile, tile_end, allowed);
        }
    }
    for (std::size_t q = 0; q < queries.size(); ++q) out[q] = selections[q].take();
}

std::vector<SearchHit> scan_one(const VectorStore& store, const std::uint64_t* query, const CandidateQuery& prepared,
                                std::size_t width, const AllowedSlots* allowed) {
    std::vector<SearchHit> hits;
    scan_block_of_queries(store, CodeRows(query, store.dimension(), 1), std::span(&prepared, 1), width, 0, store.size(),
                          std::span(&hits, 1), allowed);
    return hits;
}

void write_row(const std::vector<SearchHit>& hits, std::span<const std::uint64_t> doc_ids, BatchHits& out,
               std::size_t row) noexcept {
    const std::size_t width = out.width;
    std::int64_t* ids = out.ids.data() + row * width;
    float* scores = out.scores.data() + row * width;
    std::int16_t* distances = out.distances.data() + row * width;
    const std::size_t n = std::min(hits.size(), width);
    for (std::size_t i = 0; i < n; ++i) {
        ids[i] = static_cast<std::int64_t>(doc_ids[hits[i].slot]);
        scores[i] = hits[i].score;
        distances[i] = static_cast<std::int16_t>(hits[i].distance);
    }
    std::fill(ids + n, ids + width, std::int64_t{-1});
    std::fill(scores + n, scores + width, std::numeric_limits<float>::quiet_NaN());
    std::fill(distances + n, distances + width, NO_DISTANCE);
}

}  // namespace

std::optional<AllowedSlots> Collection::allowed_slots(const SearchOptions& options) const {
    if (!options.filter) return std::nullopt;
    AllowedSlots allowed(store_.size());
    // The map holds live documents only, so deleted, replaced and expired
    // slots are never allowed.
    map_.find_each(*options.filter, [&allowed](std::uint32_t slot) { allowed.allow(slot); });
    allowed.list();
    return allowed;
}

// How many candidates a query looks for: its answers, or with rescoring
// oversample times as many (never more than the eligible documents: the live
// ones, or the allowed ones with a filter).
std::size_t Collection::candidate_width(const SearchOptions& options, std::size_t eligible) noexcept {
    const std::uint64_t live = eligible;
    std::uint64_t wanted = options.k;
    if (options.rescore && options.oversample > 1) {
        wanted = options.k > live / options.oversample ? live : options.k * options.oversample;
    }
    return static_cast<std::size_t>(std::min(wanted, live));
}

bool Collection::walks_graph(const SearchOptions& options, std::size_t width,
                             const AllowedSlots* allowed) const noexcept {
    if (!graph_ || options.exact) return false;
    if (!allowed) return true;
    // The walk's width, as graph_one sets it.
    const std::uint64_t ef = std::max(options.ef.value_or(default_walk(options, width)), options.k);
    const auto count = static_cast<std::uint64_t>(allowed->count());
    const auto slots = static_cast<std::uint64_t>(store_.size());
    // Both sides stay below 2^64: count, slots < 2^32 and ef is cut to slots.
    return count * count > WALK_COST * std::min(ef, slots) * slots;
}

void Collection::rescore_hits(std::vector<SearchHit>& hits, const std::uint64_t* query, std::span<const float> floats,
                              const SearchOptions& options) const {
    if (!options.rescore) return;
    const std::size_t dim = dimension();
    const auto prepared = floats.size() >= dim
                              ? side::prepare_query(side::native_mode(side_.kind()), floats.first(dim), metric_)
                              : std::unexpected(side::SideError::BadRow);
    if (prepared) {
        hits.resize(side::rescore(*prepared, side_.view(), store_.codes(), std::span(hits), options.k));
        // The candidates may have been measured by asymmetric distance; an
        // answer's distance is always its code's Hamming distance.
        const auto codes = store_.codes();
        const kernels::CodeKernels& measure = kernels::code_kernels(codes.words);
        for (SearchHit& hit : hits) hit.distance = measure.distance(query, codes[hit.slot]);
    } else if (hits.size() > options.k) {
        // No usable floats (none, or not finite): the codes' best k. (A graph's
        // candidates come in no particular order.)
        const auto keep = static_cast<std::ptrdiff_t>(options.k);
        std::partial_sort(hits.begin(), hits.begin() + keep, hits.end(), ranks_before);
        hits.resize(options.k);
    }
}

// The walk's width when the caller names none: DEFAULT_EF, or as many as the
// answers want; a rescored query walks wider by a factor per answer (the
// sign mode, with only the codes to rescore by, wider still), never wider
// than the live documents.
std::uint64_t Collection::default_walk(const SearchOptions& options, std::size_t width) const noexcept {
    if (!options.rescore) return std::max<std::uint64_t>(DEFAULT_EF, width);
    const std::uint64_t per_answer =
        side_.kind() == side::SideKind::None ? SIGN_WALK_PER_ANSWER : RESCORED_WALK_PER_ANSWER;
    const std::uint64_t live = map_.size();
    return std::max(DEFAULT_EF, options.k > live / per_answer ? live : options.k * per_answer);
}

// The graph road: deleted and replaced documents' nodes are walked through
// but never kept, so up to `width` live hits come back; put in the
// collection's order.
std::vector<SearchHit> Collection::graph_one(const std::uint64_t* query, const CandidateQuery& prepared,
                                             std::size_t width, const SearchOptions& options,
                                             const AllowedSlots* allowed, SearchContext& context) const {
    const std::uint64_t ef = options.ef.value_or(default_walk(options, width));
    const auto vectors = store_.codes();
    const auto words = store_.ids();
    if (allowed) {
        // A walk that gave up, or found fewer than the answers due, hands
        // over to the scan of the allowed slots: a filter never cuts answers.
        // A rescored query walks and scans by its asymmetric distances.
        auto hits =
            prepared ? search_hnsw_allowed(*graph_, vectors, words, *prepared, options.k, ef, width, *allowed, context)
                     : search_hnsw_allowed(*graph_, vectors, words, query, options.k, ef, width, *allowed, context);
        if (!hits || hits->size() < std::min<std::size_t>(options.k, allowed->count())) {
            return scan_one(store_, query, prepared, width, allowed);
        }
        if (!prepared && width <= options.k) std::sort(hits->begin(), hits->end(), ranks_before);
        return std::move(*hits);
    }
    // Rescoring candidates: the walk keeps its width max(ef, k), guided by
    // the prepared query's asymmetric distances where it has them, and the
    // candidates come from every live node it measured.
    if (prepared) return search_hnsw_pool(*graph_, vectors, words, *prepared, options.k, ef, width, context);
    if (width > options.k) {
        return search_hnsw_pool(*graph_, vectors, words, query, options.k, ef, width, context);
    }
    auto hits = search_hnsw_live(*graph_, vectors, words, query, width, ef, context);
    std::sort(hits.begin(), hits.end(), ranks_before);
    return hits;
}

std::vector<DocumentHit> Collection::search(const std::uint64_t* query, std::uint64_t k, bool exact,
                                            std::uint64_t ef) const {
    SearchOptions options;
    options.k = k;
    options.exact = exact;
    options.ef = ef;
    return search(query, {}, options);
}

std::vector<DocumentHit> Collection::search(const std::uint64_t* query, std::span<const float> floats,
                                            const SearchOptions& options) const {
    const auto allowed = allowed_slots(options);
    const AllowedSlots* filter = allowed ? &*allowed : nullptr;
    const std::size_t width = candidate_width(options, filter ? filter->count() : map_.size());
    std::vector<DocumentHit> out;
    if (width == 0) return out;
    const CandidateQuery prepared = candidate_query(floats, dimension(), options);
    std::vector<SearchHit> hits;
    if (walks_graph(options, width, filter)) {
        hits = graph_one(query, prepared, width, options, filter, *rooms_.borrow());
    } else {
        hits = scan_one(store_, query, prepared, width, filter);
    }
    rescore_hits(hits, query, floats, options);
    out.reserve(hits.size());
    for (const SearchHit& hit : hits) out.push_back({doc_ids_[hit.slot], hit.slot, hit.distance, hit.score});
    return out;
}

BatchHits Collection::search_batch(CodeRows queries, const SearchOptions& options,
                                   std::span<const float> floats) const {
    assert(queries.dim == dimension());
    // One allow-list for every query of the batch, made once.
    const auto allowed = allowed_slots(options);
    const AllowedSlots* filter = allowed ? &*allowed : nullptr;
    const std::size_t eligible = filter ? filter->count() : map_.size();
    BatchHits out;
    out.queries = queries.size();
    out.width = static_cast<std::size_t>(std::min<std::uint64_t>(options.k, eligible));
    // Candidates per query; rescoring cuts them back to out.width.
    const std::size_t width = candidate_width(options, eligible);
    const std::size_t dim = dimension();
    auto floats_of = [&](std::size_t q) {
        return floats.size() >= (q + 1) * dim ? floats.subspan(q * dim, dim) : std::span<const float>{};
    };
    out.ids.resize(queries.size() * out.width);
    out.scores.resize(queries.size() * out.width);
    out.distances.resize(queries.size() * out.width);
    if (width == 0 || queries.empty()) return out;

    const std::size_t threads = std::max<std::size_t>(options.threads, 1);
    const bool through_graph = walks_graph(options, width, filter);
    const std::size_t blocks = (queries.size() + QUERY_BLOCK - 1) / QUERY_BLOCK;
    // Few queries on many threads: split the rows as well, and merge.
    std::size_t splits = 1;
    if (!through_graph && blocks < threads) {
        splits = std::min(threads, std::max<std::size_t>(store_.size() / MIN_ROWS_PER_SPLIT, 1));
    }
    const std::size_t rows_per_split = (store_.size() + splits - 1) / splits;

    // Per (query, split) hits when the rows are split; per query otherwise.
    std::vector<std::vector<SearchHit>> partial(queries.size() * splits);
    const std::function<void(std::size_t)> task = [&](std::size_t t) {
        const std::size_t block = t / splits;
        const std::size_t split = t % splits;
        const std::size_t first = block * QUERY_BLOCK;
        const std::size_t count = std::min(QUERY_BLOCK, queries.size() - first);
        const CodeRows block_queries(queries[first], dim, count);
        if (through_graph) {
            const auto context = rooms_.borrow();
            for (std::size_t q = 0; q < count; ++q) {
                const CandidateQuery prepared = candidate_query(floats_of(first + q), dim, options);
                auto hits = graph_one(block_queries[q], prepared, width, options, filter, *context);
                rescore_hits(hits, block_queries[q], floats_of(first + q), options);
                write_row(hits, doc_ids_, out, first + q);
            }
            return;
        }
        const std::size_t begin = std::min(store_.size(), split * rows_per_split);
        const std::size_t end = std::min(store_.size(), begin + rows_per_split);
        std::vector<CandidateQuery> prepared(count);
        for (std::size_t q = 0; q < count; ++q) prepared[q] = candidate_query(floats_of(first + q), dim, options);
        std::vector<std::vector<SearchHit>> hits(count);
        scan_block_of_queries(store_, block_queries, prepared, width, begin, end, hits, filter);
        for (std::size_t q = 0; q < count; ++q) {
            if (splits == 1) {
                rescore_hits(hits[q], block_queries[q], floats_of(first + q), options);
                write_row(hits[q], doc_ids_, out, first + q);
            } else {
                partial[(first + q) * splits + split] = std::move(hits[q]);
            }
        }
    };
    process_pool().run(blocks * splits, threads, task);

    if (splits > 1) {
        std::vector<SearchHit> merged;
        for (std::size_t q = 0; q < queries.size(); ++q) {
            merged.clear();
            for (std::size_t s = 0; s < splits; ++s) {
                const auto& part = partial[q * splits + s];
                merged.insert(merged.end(), part.begin(), part.end());
            }
            std::sort(merged.begin(), merged.end(), ranks_before);
            if (merged.size() > width) merged.resize(width);
            rescore_hits(merged, queries[q], floats_of(q), options);
            write_row(merged, doc_ids_, out, q);
        }
    }
    return out;
}

}  // namespace kestrix

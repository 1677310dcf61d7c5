#include "collection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "hnsw/context.hpp"
#include "hnsw/search.hpp"
#include "kernels/kernel_set.hpp"
#include "scan.hpp"
#include "thread_pool.hpp"

namespace kestrix {

// ---------------------------------------------------------------- id map

namespace {

// A 64-bit mixer, so that ids that differ only in high bits (or are
// consecutive) still spread over the table.
std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

}  // namespace

std::size_t IdMap::home(std::uint64_t id) const noexcept {
    return static_cast<std::size_t>(mix(id)) & (keys_.size() - 1);
}

std::optional<std::uint32_t> IdMap::find(std::uint64_t id) const noexcept {
    if (keys_.empty()) return std::nullopt;
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = home(id);; i = (i + 1) & mask) {
        if (keys_[i] == id) return slots_[i];
        if (keys_[i] == EMPTY) return std::nullopt;
    }
}

void IdMap::reserve(std::size_t entries) {
    if (entries <= keys_.size() / 2) return;
    std::size_t capacity = 16;
    while (capacity / 2 < entries) capacity *= 2;
    std::vector<std::uint64_t> keys(capacity, EMPTY);
    std::vector<std::uint32_t> slots(capacity, 0);
    // Everything is allocated; moving the entries over cannot fail.
    std::swap(keys, keys_);
    std::swap(slots, slots_);
    count_ = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] != EMPTY) assign(keys[i], slots[i]);
    }
}

void IdMap::assign(std::uint64_t id, std::uint32_t slot) noexcept {
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = home(id);; i = (i + 1) & mask) {
        if (keys_[i] == id) {
            slots_[i] = slot;
            return;
        }
        if (keys_[i] == EMPTY) {
            keys_[i] = id;
            slots_[i] = slot;
            ++count_;
            return;
        }
    }
}

bool IdMap::erase(std::uint64_t id) noexcept {
    if (keys_.empty()) return false;
    const std::size_t mask = keys_.size() - 1;
    std::size_t hole = home(id);
    while (keys_[hole] != id) {
        if (keys_[hole] == EMPTY) return false;
        hole = (hole + 1) & mask;
    }
    // Backward shift: later entries of the probe run that may live in the hole
    // move into it, so every run stays unbroken without deletion markers.
    for (std::size_t i = (hole + 1) & mask; keys_[i] != EMPTY; i = (i + 1) & mask) {
        const std::size_t want = home(keys_[i]);
        // The entry may move back to `hole` unless its home lies in (hole, i].
        const bool home_between = hole <= i ? (want > hole && want <= i) : (want > hole || want <= i);
        if (!home_between) {
            keys_[hole] = keys_[i];
            slots_[hole] = slots_[i];
            hole = i;
        }
    }
    keys_[hole] = EMPTY;
    --count_;
    return true;
}

// ---------------------------------------------------------------- changes

namespace {

// Room for `wanted` elements with geometric growth, so that many small adds
// stay linear in total.
template <class Vec>
std::size_t grown_room(const Vec& v, std::size_t wanted) noexcept {
    if (wanted <= v.capacity()) return v.capacity();
    return std::max(wanted, v.capacity() + v.capacity() / 2);
}

}  // namespace

std::expected<Collection, LoadProblem> Collection::from_parts(VectorStore store, std::vector<std::uint64_t> doc_ids,
                                                              std::optional<side::SideStore> side) {
    if (doc_ids.size() != store.size()) return std::unexpected(LoadProblem{"document ids do not match the slot count"});
    if (side && side->size() != store.size())
        return std::unexpected(LoadProblem{"side rows do not match the slot count"});
    if (store.size() > MAX_COLLECTION_SLOTS) return std::unexpected(LoadProblem{"too many slots"});
    const auto words = store.ids();
    std::size_t live = 0;
    for (std::size_t slot = 0; slot < doc_ids.size(); ++slot) {
        if (doc_ids[slot] > MAX_DOCUMENT_ID) return std::unexpected(LoadProblem{"a document id is out of range"});
        if ((words[slot] & ~TOMBSTONE_BIT) != id_word_of(doc_ids[slot])) {
            return std::unexpected(LoadProblem{"a slot's id word does not match its document id"});
        }
        live += !is_tombstoned(words[slot]);
    }
    Collection collection;
    collection.map_.reserve(live);
    for (std::size_t slot = 0; slot < doc_ids.size(); ++slot) {
        if (is_tombstoned(words[slot])) continue;
        if (collection.map_.find(doc_ids[slot])) return std::unexpected(LoadProblem{"a live document id repeats"});
        collection.map_.assign(doc_ids[slot], static_cast<std::uint32_t>(slot));
    }
    collection.side_ = side ? std::move(*side) : side::SideStore::without_rows(store.size());
    collection.store_ = std::move(store);
    collection.doc_ids_ = std::move(doc_ids);
    return collection;
}

std::expected<void, CollectionError> Collection::add(std::span<const std::uint64_t> ids,
                                                     std::span<const QuantizedVector> vectors, double now,
                                                     std::span<const float> floats) {
    const std::size_t n = std::min(ids.size(), vectors.size());
    if (side_.kind() != side::SideKind::None && floats.size() / DIMENSION < n) {
        return std::unexpected(CollectionError{CollectionError::Kind::NoSideRows, 0, 0});
    }
    for (std::size_t row = 0; row < n; ++row) {
        if (ids[row] > MAX_DOCUMENT_ID)
            return std::unexpected(CollectionError{CollectionError::Kind::IdOutOfRange, row, ids[row]});
    }
    if (n > MAX_COLLECTION_SLOTS - store_.size()) {
        return std::unexpected(CollectionError{CollectionError::Kind::TooManySlots, 0, 0});
    }
    // Duplicates within the batch: the first repeated row is reported.
    {
        IdMap seen;
        seen.reserve(n);
        for (std::size_t row = 0; row < n; ++row) {
            if (seen.find(ids[row])) {
                return std::unexpected(CollectionError{CollectionError::Kind::DuplicateId, row, ids[row]});
            }
            seen.assign(ids[row], static_cast<std::uint32_t>(row));
        }
    }

    // Every allocation before the first change.
    const std::size_t slots_after = store_.size() + n;
    // The document ids grow in step with the store's arrays.
    const std::size_t room = grown_room(doc_ids_, slots_after);
    store_.reserve(room);
    doc_ids_.reserve(room);
    map_.reserve(map_.size() + n);
    side_.reserve(room);
    // With room reserved this cannot fail; the rows go in before any change
    // so the side is already one row per slot when the store grows.
    side_.append(n, floats);

    for (std::size_t row = 0; row < n; ++row) {
        if (const auto old = map_.find(ids[row])) store_.tombstone_slot(*old);
        // Room was reserved and the id word carries no tombstone: cannot fail.
        const auto slot = store_.insert(id_word_of(ids[row]), vectors[row], now);
        doc_ids_.push_back(ids[row]);
        map_.assign(ids[row], *slot);
    }
    if (graph_ && n > 0) extend_graph(store_.size() - n);
    return {};
}

void Collection::extend_graph(std::size_t first_new_slot) noexcept {
    // The builder takes the graph over; on any failure it is gone, and the
    // collection answers by the exact scan until the caller builds again.
    auto graph = std::move(graph_);
    try {
        HnswBuilder builder = HnswBuilder::resume(std::move(*graph), store_.size());
        builder.insert_live(store_.vectors(), store_.ids(), first_new_slot);
        *graph = std::move(builder).finish();
        graph_ = std::move(graph);
    } catch (...) {}
}

std::uint64_t Collection::remove(std::span<const std::uint64_t> ids) noexcept {
    std::uint64_t removed = 0;
    for (const std::uint64_t id : ids) {
        const auto slot = map_.find(id);
        if (!slot) continue;
        store_.tombstone_slot(*slot);
        map_.erase(id);
        ++removed;
    }
    return removed;
}

std::uint64_t Collection::expire(double ttl_ms, double now) noexcept {
    std::uint64_t expired = 0;
    const auto words = store_.ids();
    const auto times = store_.timestamps();
    for (std::size_t slot = 0; slot < words.size(); ++slot) {
        // An ordered comparison: NaN ages and NaN ttls never expire anything.
        if (is_tombstoned(words[slot]) || !(now - times[slot] > ttl_ms)) continue;
        store_.tombstone_slot(slot);
        map_.erase(doc_ids_[slot]);
        ++expired;
    }
    return expired;
}

std::uint64_t Collection::compact() {
    const auto words = store_.ids();
    const std::size_t live = map_.size();
    const std::size_t removed = words.size() - live;
    if (removed == 0) return 0;
    side_.own();  // the only step of the side that can fail, taken before any change
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> id_words;
    std::vector<double> times;
    std::vector<std::uint64_t> doc_ids;
    vectors.reserve(live);
    id_words.reserve(live);
    times.reserve(live);
    doc_ids.reserve(live);
    std::vector<std::uint32_t> kept;
    kept.reserve(live);
    IdMap map;
    map.reserve(live);
    for (std::size_t slot = 0; slot < words.size(); ++slot) {
        if (is_tombstoned(words[slot])) continue;
        kept.push_back(static_cast<std::uint32_t>(slot));
        map.assign(doc_ids_[slot], static_cast<std::uint32_t>(vectors.size()));
        vectors.push_back(store_.vectors()[slot]);
        id_words.push_back(words[slot]);
        times.push_back(store_.timestamps()[slot]);
        doc_ids.push_back(doc_ids_[slot]);
    }
    store_ = VectorStore::from_slots(std::move(vectors), std::move(id_words), std::move(times));
    doc_ids_ = std::move(doc_ids);
    map_ = std::move(map);
    side_.keep_rows(kept);  // ascending and in range by construction: cannot refuse
    graph_.reset();
    return removed;
}

std::vector<std::uint64_t> Collection::ids() const {
    std::vector<std::uint64_t> out;
    out.reserve(map_.size());
    const auto words = store_.ids();
    for (std::size_t slot = 0; slot < words.size(); ++slot) {
        if (!is_tombstoned(words[slot])) out.push_back(doc_ids_[slot]);
    }
    return out;
}

std::expected<std::vector<QuantizedVector>, CollectionError> Collection::get(std::span<const std::uint64_t> ids) const {
    std::vector<QuantizedVector> out;
    out.reserve(ids.size());
    for (std::size_t row = 0; row < ids.size(); ++row) {
        const auto slot = map_.find(ids[row]);
        if (!slot) return std::unexpected(CollectionError{CollectionError::Kind::UnknownId, row, ids[row]});
        out.push_back(store_.vectors()[*slot]);
    }
    return out;
}

std::expected<std::vector<float>, CollectionError> Collection::get_side(std::span<const std::uint64_t> ids) const {
    std::vector<float> out;
    if (side_.kind() == side::SideKind::None) return out;
    out.resize(ids.size() * DIMENSION);
    const auto view = side_.view();
    for (std::size_t row = 0; row < ids.size(); ++row) {
        const auto slot = map_.find(ids[row]);
        if (!slot) return std::unexpected(CollectionError{CollectionError::Kind::UnknownId, row, ids[row]});
        side::decode_row(view.kind, view.row(*slot),
                         std::span<float, DIMENSION>(out.data() + row * DIMENSION, DIMENSION));
    }
    return out;
}

// Slots per step of a build: small enough that a caller hears from it a few
// times a second, large enough that the checks cost nothing.
constexpr std::size_t BUILD_CHUNK = 1024;

bool Collection::build_index(std::uint64_t m, std::uint64_t ef_construction, const BuildCheck& keep_going) {
    try {
        // Rows keep free places for later reverse links, so that nodes far
        // from the rest stay reachable (see LinkRule). A loaded graph goes on
        // with the rule it was built with.
        HnswBuilder builder(store_.size(), m, ef_construction, LinkRule::KeepWayIn);
        const auto words = store_.ids();
        std::size_t done = 0;
        for (std::size_t first = 0; first < words.size(); first += BUILD_CHUNK) {
            const std::size_t end = std::min(words.size(), first + BUILD_CHUNK);
            // The builder stops at the end of the id words it is handed, so a
            // build in chunks makes exactly the insertions of one in a piece.
            builder.insert_live(store_.vectors(), words.first(end), first);
            for (std::size_t slot = first; slot < end; ++slot) done += !is_tombstoned(words[slot]);
            if (keep_going && !keep_going(done, map_.size())) return false;
        }
        graph_ = std::make_unique<HnswGraph>(std::move(builder).finish());
        return true;
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

std::vector<std::byte> Collection::graph_bytes() const {
    return graph_ ? encode_graph(*graph_) : std::vector<std::byte>{};
}

std::expected<void, GraphError> Collection::restore_graph(std::span<const std::byte> bytes) {
    auto graph = decode_graph(bytes, store_.size());
    if (!graph) return std::unexpected(graph.error());
    graph_ = std::make_unique<HnswGraph>(std::move(*graph));
    return {};
}

Collection::GraphNodes Collection::graph_nodes() const noexcept {
    GraphNodes counted;
    if (!graph_) return counted;
    const auto words = store_.ids();
    const auto entry = graph_->entry_point();
    // Every slot the graph inserted has a row with links, but for a graph of
    // one node, which is its entry point.
    for (std::uint32_t slot = 0; slot < graph_->slot_count() && slot < words.size(); ++slot) {
        if (graph_->layer0_count(slot) == 0 && entry != slot) continue;
        ++counted.nodes;
        counted.waypoints += is_tombstoned(words[slot]) ? 1 : 0;
    }
    return counted;
}

// ---------------------------------------------------------------- search

namespace {

// The collection's answer order: distance, then slot. Total, so a batch, a
// single query and any split of the rows all give the same list.
bool ranks_before(const SearchHit& a, const SearchHit& b) noexcept {
    return a.distance != b.distance ? a.distance < b.distance : a.slot < b.slot;
}

// Query room of the graph road, one per thread, reused across queries and
// graphs (each search takes a fresh visited stamp).
SearchContext& thread_context() {
    thread_local SearchContext context;
    return context;
}

// Rows are scanned in tiles that stay in the core's cache while every query
// of a block is measured against them, so a block of queries reads the
// vectors from memory once.
constexpr std::size_t ROW_TILE = 2048;
constexpr std::size_t QUERY_BLOCK = 32;
// A split of the rows among threads pays off only above this many per thread.
constexpr std::size_t MIN_ROWS_PER_SPLIT = 32768;

// The best `width` live rows of [begin, end) for each query of a block, in
// the collection's order.
void scan_block_of_queries(const VectorStore& store, std::span<const QuantizedVector> queries, std::size_t width,
                           std::size_t begin, std::size_t end, std::span<std::vector<SearchHit>> out) {
    std::vector<FirstRowsSelection> selections;
    selections.reserve(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) selections.emplace_back(width, end - begin);
    const auto vectors = store.vectors();
    const auto words = store.ids();
    for (std::size_t tile = begin; tile < end; tile += ROW_TILE) {
        const std::size_t tile_end = std::min(end, tile + ROW_TILE);
        for (std::size_t q = 0; q < queries.size(); ++q)
            selections[q].offer_rows(queries[q], vectors, words, tile, tile_end);
    }
    for (std::size_t q = 0; q < queries.size(); ++q) out[q] = selections[q].take();
}

std::vector<SearchHit> scan_one(const VectorStore& store, const QuantizedVector& query, std::size_t width) {
    std::vector<SearchHit> hits;
    scan_block_of_queries(store, std::span(&query, 1), width, 0, store.size(), std::span(&hits, 1));
    return hits;
}

// The graph road: deleted and replaced documents' nodes are walked through
// but never kept, so up to `width` live hits come back; put in the
// collection's order.
std::vector<SearchHit> graph_one(const HnswGraph& graph, const VectorStore& store, const QuantizedVector& query,
                                 std::size_t width, const SearchOptions& options) {
    const std::uint64_t ef = options.ef.value_or(std::max<std::uint64_t>(DEFAULT_EF, width));
    if (width > options.k) {
        // Rescoring candidates: the walk keeps its width max(ef, k), and the
        // candidates come from every live node it measured.
        return search_hnsw_pool(graph, store.vectors(), store.ids(), query, options.k, ef, width, thread_context());
    }
    auto hits = search_hnsw_live(graph, store.vectors(), store.ids(), query, width, ef, thread_context());
    std::sort(hits.begin(), hits.end(), ranks_before);
    return hits;
}

void write_row(const std::vector<SearchHit>& hits, std::span<const std::uint64_t> doc_ids, std::int64_t* ids,
               float* scores, std::size_t width) noexcept {
    const std::size_t n = std::min(hits.size(), width);
    for (std::size_t i = 0; i < n; ++i) {
        ids[i] = static_cast<std::int64_t>(doc_ids[hits[i].slot]);
        scores[i] = hits[i].score;
    }
    std::fill(ids + n, ids + width, std::int64_t{-1});
    std::fill(scores + n, scores + width, std::numeric_limits<float>::quiet_NaN());
}

}  // namespace

// How many candidates a query looks for: its answers, or with rescoring
// oversample times as many (never more than the live documents).
std::size_t Collection::candidate_width(const SearchOptions& options) const noexcept {
    const std::uint64_t live = map_.size();
    std::uint64_t wanted = options.k;
    if (options.rescore && options.oversample > 1) {
        wanted = options.k > live / options.oversample ? live : options.k * options.oversample;
    }
    return static_cast<std::size_t>(std::min(wanted, live));
}

void Collection::rescore_hits(std::vector<SearchHit>& hits, std::span<const float> floats,
                              const SearchOptions& options) const noexcept {
    if (!options.rescore) return;
    const auto prepared = floats.size() >= DIMENSION
                              ? side::prepare_query(side::native_mode(side_.kind()), floats.first<DIMENSION>())
                              : std::unexpected(side::SideError::BadRow);
    if (prepared) {
        hits.resize(side::rescore(*prepared, side_.view(), store_.vectors(), std::span(hits), options.k));
    } else if (hits.size() > options.k) {
        // No usable floats (none, or not finite): the codes' best k. (A graph's
        // candidates come in no particular order.)
        const auto keep = static_cast<std::ptrdiff_t>(options.k);
        std::partial_sort(hits.begin(), hits.begin() + keep, hits.end(), ranks_before);
        hits.resize(options.k);
    }
}

std::vector<DocumentHit> Collection::search(const QuantizedVector& query, std::uint64_t k, bool exact,
                                            std::uint64_t ef) const {
    SearchOptions options;
    options.k = k;
    options.exact = exact;
    options.ef = ef;
    return search(query, {}, options);
}

std::vector<DocumentHit> Collection::search(const QuantizedVector& query, std::span<const float> floats,
                                            const SearchOptions& options) const {
    const std::size_t width = candidate_width(options);
    std::vector<DocumentHit> out;
    if (width == 0) return out;
    auto hits =
        (graph_ && !options.exact) ? graph_one(*graph_, store_, query, width, options) : scan_one(store_, query, width);
    rescore_hits(hits, floats, options);
    out.reserve(hits.size());
    for (const SearchHit& hit : hits) out.push_back({doc_ids_[hit.slot], hit.slot, hit.distance, hit.score});
    return out;
}

BatchHits Collection::search_batch(std::span<const QuantizedVector> queries, const SearchOptions& options,
                                   std::span<const float> floats) const {
    BatchHits out;
    out.queries = queries.size();
    out.width = static_cast<std::size_t>(std::min<std::uint64_t>(options.k, map_.size()));
    // Candidates per query; rescoring cuts them back to out.width.
    const std::size_t width = candidate_width(options);
    auto floats_of = [&](std::size_t q) {
        return floats.size() >= (q + 1) * DIMENSION ? floats.subspan(q * DIMENSION, DIMENSION)
                                                    : std::span<const float>{};
    };
    out.ids.resize(queries.size() * out.width);
    out.scores.resize(queries.size() * out.width);
    if (width == 0 || queries.empty()) return out;

    const std::size_t threads = std::max<std::size_t>(options.threads, 1);
    const bool through_graph = graph_ && !options.exact;
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
        const auto block_queries = queries.subspan(first, count);
        if (through_graph) {
            for (std::size_t q = 0; q < count; ++q) {
                auto hits = graph_one(*graph_, store_, block_queries[q], width, options);
                rescore_hits(hits, floats_of(first + q), options);
                write_row(hits, doc_ids_, out.ids.data() + (first + q) * out.width,
                          out.scores.data() + (first + q) * out.width, out.width);
            }
            return;
        }
        const std::size_t begin = std::min(store_.size(), split * rows_per_split);
        const std::size_t end = std::min(store_.size(), begin + rows_per_split);
        std::vector<std::vector<SearchHit>> hits(count);
        scan_block_of_queries(store_, block_queries, width, begin, end, hits);
        for (std::size_t q = 0; q < count; ++q) {
            if (splits == 1) {
                rescore_hits(hits[q], floats_of(first + q), options);
                write_row(hits[q], doc_ids_, out.ids.data() + (first + q) * out.width,
                          out.scores.data() + (first + q) * out.width, out.width);
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
            rescore_hits(merged, floats_of(q), options);
            write_row(merged, doc_ids_, out.ids.data() + q * out.width, out.scores.data() + q * out.width, out.width);
        }
    }
    return out;
}

}  // namespace kestrix

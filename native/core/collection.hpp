// A collection: the store an application keeps its documents in. Unique 63-bit
// document ids over the slots of a VectorStore, upserts, deletes, insertion
// times for a time-to-live sweep, batch search on many threads, and an HNSW
// graph that survives deletes.
//
// Slots are appended in insertion order and never reused until compact(): an
// upsert tombstones the document's old slot and appends the new vector, so the
// exact scan's tie rule (lower slot first) means "stored, or last replaced,
// earlier comes first". The store's 32-bit id word of a slot holds the low 31
// bits of its document id (plus the tombstone bit), which keeps the store's
// bytes meaningful on their own; the full ids live in `doc_ids`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "hnsw/graph.hpp"
#include "hnsw/graph_codec.hpp"
#include "quantized.hpp"
#include "rw_lock.hpp"
#include "scan.hpp"
#include "side/side.hpp"
#include "store.hpp"

namespace kestrix {

inline constexpr std::uint64_t MAX_DOCUMENT_ID = (std::uint64_t{1} << 63) - 1;
// Slot numbers must stay below the graph's EMPTY_LINK.
inline constexpr std::size_t MAX_COLLECTION_SLOTS = 0xFFFFFFFEu;

// The store's id word for a document id.
constexpr std::uint32_t id_word_of(std::uint64_t document_id) noexcept {
    return static_cast<std::uint32_t>(document_id) & ~TOMBSTONE_BIT;
}

// Document id -> slot. Open addressing with linear probing and backward-shift
// deletion (no deletion markers, so lookups never slow down with churn), at
// most half full. Insertion never allocates: reserve() first.
class IdMap {
public:
    std::optional<std::uint32_t> find(std::uint64_t id) const noexcept;
    // Room for `entries` entries in all. Throws std::bad_alloc, leaving the map as it was.
    void reserve(std::size_t entries);
    // Sets the slot of `id`, adding it if absent. Requires room (reserve).
    void assign(std::uint64_t id, std::uint32_t slot) noexcept;
    bool erase(std::uint64_t id) noexcept;
    std::size_t size() const noexcept { return count_; }

private:
    static constexpr std::uint64_t EMPTY = ~std::uint64_t{0};  // never a document id
    std::size_t home(std::uint64_t id) const noexcept;

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> slots_;
    std::size_t count_ = 0;
};

struct CollectionError {
    enum class Kind : std::uint8_t {
        IdOutOfRange,  // above MAX_DOCUMENT_ID
        DuplicateId,   // twice in one batch
        NotFinite,     // a NaN or an infinity in a row
        TooManySlots,  // the slots would pass MAX_COLLECTION_SLOTS
        UnknownId,     // get() of an id that is not stored
        NoSideRows,    // a collection with a side was given codes without their floats
    };
    Kind kind;
    std::size_t row = 0;   // the batch row concerned
    std::uint64_t id = 0;  // the id concerned
};

// One answer of a single query.
struct DocumentHit {
    std::uint64_t id;
    std::uint32_t slot;
    std::uint32_t distance;
    float score;
};

// The answers of a batch: `queries` rows of `width` columns, best first;
// a short row is padded at its end with id -1 and score NaN.
struct BatchHits {
    std::size_t queries = 0;
    std::size_t width = 0;
    std::vector<std::int64_t> ids;
    std::vector<float> scores;
};

// Candidates per answer when rescoring. Measured on all-MiniLM-L6-v2
// embeddings of 31,103 verses (1,000 held-out queries, k = 10, exact scan):
// the int8 side recovers 0.930 of the float top-10 from 16 x k candidates,
// 0.955 from 24 x k and 0.966 from 32 x k, and finds the float top-1 0.994 /
// 0.997 / 0.998 of the time. 24 is the smallest factor measured that gives
// 0.95 and 0.99; the rescoring's cost grows linearly with it.
inline constexpr std::uint64_t DEFAULT_OVERSAMPLE = 24;

// The graph walk's width when the caller names none, for a query without
// rescoring. A rescored query walks as wide as its candidate list when that
// is wider: on the same embeddings the candidates of a 50-wide walk hold 0.91
// of the float top-10 (top-1: 0.95), those of a 240-wide walk 0.95 (0.99),
// like the scan's. Its cost is about three times the narrow walk's.
inline constexpr std::uint64_t DEFAULT_EF = 50;

struct SearchOptions {
    std::uint64_t k = 10;
    bool exact = false;  // the exact scan even when a graph exists
    // The graph walk keeps max(ef, k) nodes; unset, see DEFAULT_EF.
    std::optional<std::uint64_t> ef;
    std::size_t threads = 1;
    // Rank the k x oversample best candidates of the codes again by inner
    // product with the side (with the codes' sign vectors when the collection
    // has no side) and answer the best k with those scores. Needs the queries'
    // floats.
    bool rescore = false;
    std::uint64_t oversample = DEFAULT_OVERSAMPLE;
};

// Why a (store, document ids) pair read from a file cannot be a collection.
using LoadProblem = std::string_view;

class Collection {
public:
    Collection() = default;
    // A collection that keeps a rescoring side of the given encoding.
    explicit Collection(side::SideKind side) noexcept : side_(side) {}
    Collection(Collection&&) noexcept = default;
    Collection& operator=(Collection&&) noexcept = default;

    // Validates the pair: one id per slot, each in range, every live id once,
    // and each slot's id word matching its document id and its tombstone.
    // A side, when given, must have one row per slot; without one the
    // collection keeps none.
    static std::expected<Collection, LoadProblem> from_parts(VectorStore store, std::vector<std::uint64_t> doc_ids,
                                                             std::optional<side::SideStore> side = std::nullopt);

    // Upserts the batch. Everything is checked first (id range, duplicates in
    // the batch, room); a refused batch changes nothing, and so does a
    // std::bad_alloc before the documents go in. Replaced documents' old slots
    // become tombstones, which stay in the graph as waypoints. A graph is
    // extended by the appended slots (exactly the graph a full build would give
    // while no earlier slot changed since the build); if memory runs out while
    // it is extended, the graph is dropped and the documents stay stored.
    // `floats` holds the rows' 384 floats each (the codes' source), which a
    // collection with a side needs for its rows.
    std::expected<void, CollectionError> add(std::span<const std::uint64_t> ids,
                                             std::span<const QuantizedVector> vectors, double now,
                                             std::span<const float> floats = {});
    // Deletes the ids present; returns how many there were.
    std::uint64_t remove(std::span<const std::uint64_t> ids) noexcept;
    // Deletes every document stored more than ttl_ms before `now`.
    std::uint64_t expire(double ttl_ms, double now) noexcept;
    // Drops tombstoned slots, keeping the others in order, and with them the
    // graph (slot numbers change). Strong guarantee on std::bad_alloc.
    std::uint64_t compact();

    std::size_t size() const noexcept { return map_.size(); }
    std::size_t slot_count() const noexcept { return store_.size(); }
    bool contains(std::uint64_t id) const noexcept { return map_.find(id).has_value(); }
    // Live ids in slot order.
    std::vector<std::uint64_t> ids() const;
    // The stored codes of the ids, in order; UnknownId for the first missing one.
    std::expected<std::vector<QuantizedVector>, CollectionError> get(std::span<const std::uint64_t> ids) const;

    // The side's rows of the ids, decoded to floats (384 per id), in order;
    // UnknownId for the first missing one. Empty for a collection without side.
    std::expected<std::vector<float>, CollectionError> get_side(std::span<const std::uint64_t> ids) const;

    const VectorStore& store() const noexcept { return store_; }
    const side::SideStore& side() const noexcept { return side_; }
    std::span<const std::uint64_t> doc_ids() const noexcept { return doc_ids_; }

    // The graph over the slots live now, replacing any earlier one once it is
    // complete. The slots are inserted a chunk at a time; after each chunk
    // `keep_going(done, total)` (live slots inserted so far, of all) may stop
    // the build by returning false, which keeps the earlier graph (as does
    // std::bad_alloc). Returns whether the new graph was installed.
    using BuildCheck = std::function<bool(std::size_t done, std::size_t total)>;
    bool build_index(std::uint64_t m, std::uint64_t ef_construction, const BuildCheck& keep_going = {});
    bool has_index() const noexcept { return graph_ != nullptr; }
    const HnswGraph* graph() const noexcept { return graph_.get(); }

    // The graph as a file keeps it (empty without a graph), and the graph of
    // a file installed as it was written: checked against this collection's
    // slot count and refused whole (the collection unchanged) when any check
    // fails. Nothing is rebuilt. Both throw std::bad_alloc only.
    std::vector<std::byte> graph_bytes() const;
    std::expected<void, GraphError> restore_graph(std::span<const std::byte> bytes);

    // How much of the graph is still documents: its nodes (slots it has
    // linked, or its entry point) and, of those, the ones deleted or replaced
    // since, which searches only walk through.
    struct GraphNodes {
        std::size_t nodes = 0;
        std::size_t waypoints = 0;
    };
    GraphNodes graph_nodes() const noexcept;

    // One query: min(k, live) hits at most, best first; among equal distances
    // the lower slot first. Through the graph when one exists and !exact.
    std::vector<DocumentHit> search(const QuantizedVector& query, std::uint64_t k, bool exact, std::uint64_t ef) const;
    // The same with every option; `floats` is the query's 384 floats (read
    // only when rescoring), and a rescored answer is ranked by its scores.
    std::vector<DocumentHit> search(const QuantizedVector& query, std::span<const float> floats,
                                    const SearchOptions& options) const;
    // A batch, split over `options.threads` threads of the process pool; each
    // row holds exactly what search() gives for that query. `floats` holds the
    // queries' floats, 384 a row (read only when rescoring).
    BatchHits search_batch(std::span<const QuantizedVector> queries, const SearchOptions& options,
                           std::span<const float> floats = {}) const;

private:
    std::size_t candidate_width(const SearchOptions& options) const noexcept;
    // Ranks hits by the side when options.rescore, keeping the best options.k.
    void rescore_hits(std::vector<SearchHit>& hits, std::span<const float> floats,
                      const SearchOptions& options) const noexcept;
    void extend_graph(std::size_t first_new_slot) noexcept;

    VectorStore store_;
    std::vector<std::uint64_t> doc_ids_;
    IdMap map_;
    std::unique_ptr<HnswGraph> graph_;
    // Row i belongs to slot i, through every change of the store.
    side::SideStore side_;
};

// A collection with its readers-writer lock: searches share it, changes take
// it alone, and a waiting change goes before searches that come after it. The
// binding waits for it only with the interpreter lock released.
struct GuardedCollection {
    mutable ReadersWriterLock mutex;
    Collection collection;
};

}  // namespace kestrix

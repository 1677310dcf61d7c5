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
//
// The jobs live in files of their own: the changes and the graph's lifecycle
// here (collection.cpp), the id map (id_map.hpp), the query planner
// (collection_query.cpp), the file (collection_file.hpp) and a build that
// reports and can be stopped (collection_build.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "allowed.hpp"
#include "defaults.hpp"
#include "hnsw/context.hpp"
#include "hnsw/graph.hpp"
#include "id_map.hpp"
#include "quantized.hpp"
#include "rw_lock.hpp"
#include "scan.hpp"
#include "side/side.hpp"
#include "store.hpp"

namespace kestrix {

namespace wal {
class Log;
}

inline constexpr std::uint64_t MAX_DOCUMENT_ID = (std::uint64_t{1} << 63) - 1;
// Slot numbers must stay below the graph's EMPTY_LINK.
inline constexpr std::size_t MAX_COLLECTION_SLOTS = 0xFFFFFFFEu;
// The distance of a missing answer in a padded row: after every real one, at
// every dimension.
inline constexpr std::int16_t NO_DISTANCE = kernels::MAX_CODE_DIMENSION + 1;

// The store's id word for a document id.
constexpr std::uint32_t id_word_of(std::uint64_t document_id) noexcept {
    return static_cast<std::uint32_t>(document_id) & ~TOMBSTONE_BIT;
}

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

// The answers of a batch: `queries` rows of `width` columns, best first; a
// short row is padded at its end with id -1, score NaN and NO_DISTANCE. The
// distance is the Hamming distance of the codes, whatever ranked the row.
struct BatchHits {
    std::size_t queries = 0;
    std::size_t width = 0;
    std::vector<std::int64_t> ids;
    std::vector<float> scores;
    std::vector<std::int16_t> distances;
};

struct SearchOptions {
    std::uint64_t k = DEFAULT_K;
    bool exact = false;  // the exact scan even when a graph exists
    // The graph walk keeps max(ef, k) nodes; unset, see DEFAULT_EF.
    std::optional<std::uint64_t> ef;
    std::size_t threads = 1;
    // Rank the k x oversample best candidates of the codes again by inner
    // product with the side (with the codes' sign vectors when the collection
    // has no side), or by cosine under Metric::Cosine, and answer the best k
    // with those scores. Needs the queries' floats.
    bool rescore = false;
    std::uint64_t oversample = DEFAULT_OVERSAMPLE;
    // An allow-list of document ids: only those that are stored may answer,
    // min(k, their number) of them, on every road. Ids not stored are
    // ignored, repeats are harmless. Unset: every document may.
    std::optional<std::span<const std::uint64_t>> filter = std::nullopt;
};

// Why the parts of a collection read from a file cannot be one.
using LoadProblem = std::string_view;

// Called by a change once nothing can fail any more and before anyone can see
// it: a durable collection writes the change to its log there, so that the
// log holds exactly the changes made, in their order. Whatever it throws
// abandons the change, which then leaves the collection as it was, and is
// passed on.
using BeforeCommit = std::function<void()>;

// Slots as an add stored them: document ids, codes, insertion times, and the
// side's rows as stored (row_bytes(side kind) bytes each, none without a
// side). What a durable collection's log keeps of an add, to make it again.
struct StoredRows {
    std::span<const std::uint64_t> ids;
    CodeRows codes;
    std::span<const double> times;
    std::span<const std::byte> side_rows;
};

class Collection {
public:
    // An empty collection of `dim`-dimensional vectors (1..4096) that keeps a
    // rescoring side of the given encoding and rescores by `metric`.
    explicit Collection(side::SideKind side = side::SideKind::None, std::size_t dim = DIMENSION,
                        side::Metric metric = side::Metric::InnerProduct) noexcept
        : store_(dim), side_(side, dim), metric_(metric) {}
    Collection(Collection&&) noexcept = default;
    Collection& operator=(Collection&&) noexcept = default;

    // Validates the parts: one id per slot, each in range, every live id once,
    // and each slot's id word matching its document id and its tombstone. A
    // side, when given, must have one row per slot, of the store's dimension;
    // without one the collection keeps none. A graph must have been read for
    // this store's slot count (decode_graph checks it); it is installed as it is.
    // `metric` is the one the side's rows were stored under.
    static std::expected<Collection, LoadProblem> from_parts(VectorStore store, std::vector<std::uint64_t> doc_ids,
                                                             std::optional<side::SideStore> side = std::nullopt,
                                                             std::optional<HnswGraph> graph = std::nullopt,
                                                             side::Metric metric = side::Metric::InnerProduct);

    // Upserts the batch, whole or not at all. Everything is checked first (id
    // range, duplicates in the batch, room), and a refused batch changes
    // nothing. Replaced documents' old slots become tombstones, which stay in
    // the graph as waypoints. A graph is extended by the appended slots
    // (exactly the graph a full build would give while no earlier slot changed
    // since the build). Throws std::bad_alloc when memory runs out, the graph's
    // extension included, and then nothing has changed, the graph neither.
    // `vectors` are codes of the collection's dimension; `floats` holds the
    // rows' dim floats each (the codes' source), which a collection with a
    // side needs for its rows (scaled to unit length under Metric::Cosine).
    std::expected<void, CollectionError> add(std::span<const std::uint64_t> ids, CodeRows vectors, double now,
                                             std::span<const float> floats = {},
                                             const BeforeCommit& before_commit = {});
    // Appends slots as adds stored them, one add or several in a row: the
    // collection, its side and its graph become what those adds made them
    // (an id repeated replaces its earlier row, as a later add would have).
    // Checked and whole or nothing as add() is; NoSideRows when the side's
    // rows (or the codes' dimension) do not match the collection.
    std::expected<void, CollectionError> add_stored(const StoredRows& rows);
    // Deletes the ids present; returns how many there were.
    std::uint64_t remove(std::span<const std::uint64_t> ids) noexcept;
    // Deletes every document stored more than ttl_ms before `now`.
    std::uint64_t expire(double ttl_ms, double now) noexcept;
    // Drops tombstoned slots, keeping the others in order, and with them the
    // graph (slot numbers change). Strong guarantee on std::bad_alloc.
    std::uint64_t compact(const BeforeCommit& before_commit = {});

    std::size_t size() const noexcept { return map_.size(); }
    std::size_t slot_count() const noexcept { return store_.size(); }
    std::size_t dimension() const noexcept { return store_.dimension(); }
    bool contains(std::uint64_t id) const noexcept { return map_.find(id).has_value(); }
    // Live ids in slot order.
    std::vector<std::uint64_t> ids() const;
    // The stored codes of the ids, in order (code_words(dim) words each);
    // UnknownId for the first missing one.
    std::expected<std::vector<std::uint64_t>, CollectionError> get(std::span<const std::uint64_t> ids) const;

    // The side's rows of the ids, decoded to floats (dim per id), in order;
    // UnknownId for the first missing one. Empty for a collection without side.
    std::expected<std::vector<float>, CollectionError> get_side(std::span<const std::uint64_t> ids) const;

    const VectorStore& store() const noexcept { return store_; }
    const side::SideStore& side() const noexcept { return side_; }
    side::Metric metric() const noexcept { return metric_; }
    std::span<const std::uint64_t> doc_ids() const noexcept { return doc_ids_; }

    // ------------------------------------------------------------ the graph

    // A graph built over the slots live when the build began, waiting to be
    // installed by the collection it was built from.
    struct PendingGraph {
        std::unique_ptr<HnswGraph> graph;
        std::size_t slots;    // the slot count it was built for
        std::uint64_t epoch;  // the collection's compactions when it was built
    };
    // Reports how far a build has come: live slots inserted so far, of all.
    // Returning false stops it.
    using BuildCheck = std::function<bool(std::size_t done, std::size_t total)>;

    // A new graph over the live slots, built without changing anything (a
    // reader's work: searches go on meanwhile). The slots are inserted a
    // chunk at a time; after each chunk `keep_going` may stop the build, which
    // then gives nothing. `words`, when given, stands for the store's id
    // words of its first words.size() slots, which the build covers: the
    // liveness they had when a build now replayed began. Throws std::bad_alloc.
    std::optional<PendingGraph> build_graph(std::uint64_t m, std::uint64_t ef_construction,
                                            const BuildCheck& keep_going = {},
                                            std::optional<std::span<const std::uint32_t>> words = {}) const;
    // Replaces the graph by a built one. Slots appended since the build are
    // inserted into it first, as an add would have; deletes need nothing. A
    // compaction since the build renumbered the slots: the built graph is
    // dropped, as the compaction would have dropped it, and false returned
    // with the collection's graph as it is. Throws std::bad_alloc with the
    // earlier graph still in place.
    bool install_graph(PendingGraph pending, const BeforeCommit& before_commit = {});
    // Both, for a caller that holds the collection alone.
    bool build_index(std::uint64_t m, std::uint64_t ef_construction, const BuildCheck& keep_going = {});

    bool has_index() const noexcept { return graph_ != nullptr; }
    const HnswGraph* graph() const noexcept { return graph_.get(); }

    // How much of the graph is still documents: its nodes (slots it has
    // linked, or its entry point) and, of those, the ones deleted or replaced
    // since, which searches only walk through. Kept as the collection changes.
    struct GraphNodes {
        std::size_t nodes = 0;
        std::size_t waypoints = 0;
        friend bool operator==(const GraphNodes&, const GraphNodes&) = default;
    };
    GraphNodes graph_nodes() const noexcept { return nodes_; }

    // ------------------------------------------------------------ search
    // (collection_query.cpp)

    // One query (a code of the collection's dimension): min(k, live) hits at
    // most, best first; among equal distances the lower slot first. Through
    // the graph when one exists and !exact.
    std::vector<DocumentHit> search(const std::uint64_t* query, std::uint64_t k, bool exact, std::uint64_t ef) const;
    // The same with every option; `floats` is the query's dim floats (read
    // only when rescoring), and a rescored answer is ranked by its scores.
    std::vector<DocumentHit> search(const std::uint64_t* query, std::span<const float> floats,
                                    const SearchOptions& options) const;
    // A batch, split over `options.threads` threads of the process pool; each
    // row holds exactly what search() gives for that query. `floats` holds the
    // queries' floats, dim a row (read only when rescoring).
    BatchHits search_batch(CodeRows queries, const SearchOptions& options, std::span<const float> floats = {}) const;

private:
    // add() and add_stored(): appends the rows, each stored at time_of(row),
    // their side rows appended by append_side(n).
    template <class TimeOf, class AppendSide>
    std::expected<void, CollectionError> append(std::span<const std::uint64_t> ids, CodeRows vectors, TimeOf time_of,
                                                AppendSide append_side, bool repeats_allowed,
                                                const BeforeCommit& before_commit);
    // The slots of options.filter's stored ids; nothing without a filter.
    // Throws std::bad_alloc.
    std::optional<AllowedSlots> allowed_slots(const SearchOptions& options) const;
    // How many candidates a query looks for among `eligible` documents.
    static std::size_t candidate_width(const SearchOptions& options, std::size_t eligible) noexcept;
    std::uint64_t default_walk(const SearchOptions& options, std::size_t width) const noexcept;
    // Whether a query walks the graph; with a filter, unless scanning the
    // allowed slots is the cheaper road.
    bool walks_graph(const SearchOptions& options, std::size_t width, const AllowedSlots* allowed) const noexcept;
    // Ranks hits by the side when options.rescore, keeping the best options.k
    // with their codes' Hamming distances to `query`.
    void rescore_hits(std::vector<SearchHit>& hits, const std::uint64_t* query, std::span<const float> floats,
                      const SearchOptions& options) const;
    // The graph road of one query (a graph must exist), guided by `prepared`
    // (rescored queries) or by the code's Hamming distances; with `allowed`,
    // a filtered walk that hands over to the scan of the allowed slots when
    // it gives up or comes back short.
    std::vector<SearchHit> graph_one(const std::uint64_t* query,
                                     const std::optional<kernels::AsymmetricQuery>& prepared, std::size_t width,
                                     const SearchOptions& options, const AllowedSlots* allowed,
                                     SearchContext& context) const;
    // `graph` extended by the slots from `first_slot` on (std::bad_alloc).
    HnswGraph extended_graph(const HnswGraph& graph, std::size_t first_slot) const;
    void set_graph(std::unique_ptr<HnswGraph> graph) noexcept;
    // A slot just tombstoned: one more waypoint if the graph has it as a node.
    void note_deleted(std::size_t slot) noexcept;

    VectorStore store_;
    std::vector<std::uint64_t> doc_ids_;
    IdMap map_;
    std::unique_ptr<HnswGraph> graph_;
    GraphNodes nodes_;
    // Row i belongs to slot i, through every change of the store.
    side::SideStore side_;
    // What rescored scores measure: the side's rows were stored, and queries
    // are prepared, under it.
    side::Metric metric_ = side::Metric::InnerProduct;
    // Compactions so far: slot numbers of one epoch mean the same slots.
    std::uint64_t epoch_ = 0;
    // The graph road's room, sized for this collection's slots and freed
    // with it (or when its slots or graph are replaced).
    mutable ContextPool rooms_;
};

// The nodes and waypoints of `graph` over the slots whose id words are `ids`,
// counted one slot at a time.
Collection::GraphNodes count_graph_nodes(const HnswGraph& graph, std::span<const std::uint32_t> ids) noexcept;

// A collection with its readers-writer lock: searches share it, changes take
// it alone, and a waiting change goes before searches that come after it. The
// binding waits for it only with the interpreter lock released.
//
// A durable collection also keeps its log: every change is appended to it
// under the write lock, just before the change is made (BeforeCommit), so the
// log's order is the order of the changes; the writer then waits for the
// record to be durable after letting go of the lock (collection_log.hpp).
struct GuardedCollection {
    mutable ReadersWriterLock mutex;
    Collection collection;
    // None for a plain collection. A checkpoint replaces it holding the
    // shared lock, while a build may read it: hence atomic. A writer keeps
    // its own reference to wait on after letting the lock go.
    std::atomic<std::shared_ptr<wal::Log>> log;
};

}  // namespace kestrix

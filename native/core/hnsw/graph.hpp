// The HNSW index: a layered proximity graph over store slots, its deterministic
// level generator, and its construction.
//
// The index keeps no vectors of its own; every distance is taken between the
// vectors the store holds at the slots involved. It is built once over the live
// slots and afterwards only read; the store throws it away when slots change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "../kernels/gather.hpp"
#include "../quantized.hpp"

namespace kestrix {

// A free entry of a neighbour row. Slot numbers stay below it, so it can never
// be mistaken for a link.
inline constexpr std::uint32_t EMPTY_LINK = 0xFFFFFFFFu;
// The highest level a node can draw: at most 16 upper layers sit above layer 0.
inline constexpr std::uint64_t MAX_LEVEL = 16;
// The level generator restarts here at every build, which is what makes two
// builds over the same store identical.
inline constexpr std::uint64_t RNG_SEED = 0xDEADBEEFCAFEBABEull;

// A (distance, slot) pair. Heaps and sorts compare the distance alone; the slot
// never breaks a tie.
struct Candidate {
    std::uint32_t distance;
    std::uint32_t slot;

    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// Which slots a layer search has already looked at. Instead of clearing the
// array before every search, each search gets a new stamp; a slot counts as
// visited only when it carries the stamp of the search under way. The array is
// cleared only when the stamp wraps, once in 2^32 - 1 searches.
struct VisitedSet {
    std::vector<std::uint32_t> stamps;
    std::uint32_t current = 1;  // never 0, so a zeroed stamp is never "visited"

    VisitedSet() = default;
    explicit VisitedSet(std::size_t slot_count) : stamps(slot_count, 0) {}

    void start_search() noexcept {
        if (++current == 0) {
            std::fill(stamps.begin(), stamps.end(), 0u);
            current = 1;
        }
    }

    bool is_visited(std::uint32_t slot) const noexcept {
        return slot < stamps.size() && stamps[slot] == current;
    }

    void mark(std::uint32_t slot) {
        if (slot >= stamps.size()) stamps.resize(static_cast<std::size_t>(slot) + 1, 0u);
        stamps[slot] = current;
    }

    // Marks the slot and reports whether it was new to this search.
    bool visit(std::uint32_t slot) {
        if (slot < stamps.size()) {
            if (stamps[slot] == current) return false;
            stamps[slot] = current;
            return true;
        }
        mark(slot);
        return true;
    }
};

class HnswIndex {
public:
    // An index with room for `slot_count` layer-0 rows and no node yet. `m`
    // below 2 is raised to 2 (a row of one link cannot form a navigable graph);
    // the layer-0 capacity is twice that, saturating instead of wrapping.
    // Throws std::bad_alloc, and nothing else, when the tables cannot be had.
    HnswIndex(std::size_t slot_count, std::uint64_t m, std::uint64_t ef_construction);

    HnswIndex(const HnswIndex&) = delete;
    HnswIndex& operator=(const HnswIndex&) = delete;

    // Inserts every live slot, in ascending slot order. Meant for a fresh index.
    void build(std::span<const QuantizedVector> vectors, std::span<const std::uint32_t> ids);

    // Advances the level generator once and returns a level in 0..MAX_LEVEL.
    std::uint64_t draw_level() noexcept;

    // Makes `slot` a member of upper layers 1..level, creating missing layers.
    // Slots must be added in ascending order: member rows are found by binary
    // search over the member lists.
    void add_node(std::uint32_t slot, std::uint64_t level);

    // The slot's links at `layer`, in the order they were written. Empty for a
    // layer that does not exist or a slot that is not a member of it.
    std::span<const std::uint32_t> neighbours(std::uint32_t slot, std::uint64_t layer) const noexcept {
        if (layer == 0) {
            if (slot >= layer0_counts_.size()) return {};
            const std::uint32_t* row = layer0_neighbours_.data() + static_cast<std::size_t>(slot) * layer0_stride_;
            return filled(row, layer0_counts_[slot], layer0_stride_);
        }
        return upper_neighbours_of(slot, layer);
    }

    // The counted part of the slot's layer-0 row, free entries included: what
    // neighbours() returns is this up to its first EMPTY_LINK. For readers that
    // stop at EMPTY_LINK themselves.
    std::span<const std::uint32_t> layer0_counted(std::uint32_t slot) const noexcept {
        if (slot >= layer0_counts_.size()) return {};
        const std::uint32_t* row = layer0_neighbours_.data() + static_cast<std::size_t>(slot) * layer0_stride_;
        return {row, std::min<std::size_t>(layer0_counts_[slot], layer0_stride_)};
    }

    // Overwrites the slot's row at `layer` with the first entries of `links`
    // that fit, padding the rest with EMPTY_LINK. Ignored for a slot that has no
    // row there.
    void set_neighbours(std::uint32_t slot, std::uint64_t layer, std::span<const std::uint32_t> links) noexcept;

    // Gives `neighbour` a link back to `node` at `layer`: appended while the row
    // has room, otherwise the row plus `node` is re-selected by the diversity
    // rule with `capacity` places.
    void add_reverse_link(std::uint32_t neighbour, std::uint32_t node, std::uint64_t layer, std::uint64_t capacity,
                          std::span<const QuantizedVector> vectors);

    std::optional<std::uint32_t> entry_point() const noexcept { return entry_point_; }
    std::uint64_t top_level() const noexcept { return top_level_; }
    std::uint64_t m() const noexcept { return m_; }
    std::uint64_t m0() const noexcept { return m0_; }
    std::uint64_t ef_construction() const noexcept { return ef_construction_; }
    double level_mult() const noexcept { return level_mult_; }
    std::uint64_t rng_state() const noexcept { return rng_state_; }

    // Number of layer-0 rows: the store's slot count when the index was made.
    std::size_t slot_count() const noexcept { return layer0_counts_.size(); }
    // Number of upper layers; equals top_level() once nodes have been inserted.
    std::size_t upper_layer_count() const noexcept { return upper_nodes_.size(); }

    // Physical row lengths. A row never holds more than slot_count - 1 distinct
    // links, so rows are no longer than that even when m asks for more.
    std::size_t layer0_stride() const noexcept { return layer0_stride_; }
    std::size_t upper_stride() const noexcept { return upper_stride_; }

    // Raw rows, padding included, for callers that examine the tables.
    std::span<const std::uint32_t> layer0_row(std::uint32_t slot) const noexcept;
    std::uint32_t layer0_count(std::uint32_t slot) const noexcept;
    // Members of layer `layer` (1-based), in ascending slot order.
    std::span<const std::uint32_t> upper_nodes(std::uint64_t layer) const noexcept;
    std::span<const std::uint32_t> upper_row(std::uint64_t layer, std::size_t position) const noexcept;
    std::uint32_t upper_count(std::uint64_t layer, std::size_t position) const noexcept;

    const VisitedSet& visited() const noexcept { return visited_; }

    // Scratch reused by every query so that a query does not allocate or clear
    // anything the size of the store. It is the set the build used: the build
    // is over before the first query, and results are exactly those of a fresh
    // set, since each search takes a new stamp. Sound because calls on one
    // store are serialised and a query never re-enters another.
    VisitedSet& query_visited() const noexcept { return visited_; }

private:
    struct Row {
        std::uint32_t* links;
        std::uint32_t* count;
        std::size_t stride;
        std::uint64_t capacity;  // the logical capacity (m0 or m)
    };

    static std::span<const std::uint32_t> filled(const std::uint32_t* row, std::uint32_t count,
                                                 std::size_t stride) noexcept {
        const std::size_t n = std::min<std::size_t>(count, stride);
        const std::uint32_t* end = std::find(row, row + n, EMPTY_LINK);
        return {row, static_cast<std::size_t>(end - row)};
    }

    std::span<const std::uint32_t> upper_neighbours_of(std::uint32_t slot, std::uint64_t layer) const noexcept;
    std::optional<std::size_t> member_position(std::uint32_t slot, std::uint64_t layer) const noexcept;
    std::optional<Row> row(std::uint32_t slot, std::uint64_t layer) noexcept;
    void insert_node(std::uint32_t slot, std::span<const QuantizedVector> vectors);

    std::vector<std::uint32_t> layer0_neighbours_;
    std::vector<std::uint32_t> layer0_counts_;
    std::vector<std::vector<std::uint32_t>> upper_nodes_;
    std::vector<std::vector<std::uint32_t>> upper_neighbours_;
    std::vector<std::vector<std::uint32_t>> upper_counts_;
    mutable VisitedSet visited_;

    // Build scratch, reused by every insertion; nothing carries over between steps.
    std::vector<Candidate> candidate_heap_;
    std::vector<Candidate> found_;
    std::vector<std::uint32_t> selected_;
    std::vector<std::uint32_t> discarded_;
    std::vector<Candidate> prune_pairs_;
    std::vector<std::uint32_t> prune_slots_;
    std::vector<std::uint32_t> prune_distances_;
    std::vector<std::uint32_t> pruned_;

    std::optional<std::uint32_t> entry_point_;
    std::uint64_t top_level_ = 0;
    std::uint64_t m_;
    std::uint64_t m0_;
    std::uint64_t ef_construction_;
    double level_mult_;
    std::uint64_t rng_state_ = RNG_SEED;
    std::size_t layer0_stride_;
    std::size_t upper_stride_;
    // The distance kernel this CPU runs best, looked up once per index.
    const kernels::GatherKernel* gather_;
};

// Chooses at most `capacity` links from candidates sorted ascending by their
// distance to a base node. A candidate is taken at once only when it is strictly
// closer to the base than to every one taken before it; the others fill any
// places left, nearest first. Candidates outside `vectors` are skipped.
void select_neighbours(std::span<const Candidate> sorted, std::uint64_t capacity,
                       std::span<const QuantizedVector> vectors, std::vector<std::uint32_t>& accepted,
                       std::vector<std::uint32_t>& discarded, const kernels::GatherKernel& gather);
void select_neighbours(std::span<const Candidate> sorted, std::uint64_t capacity,
                       std::span<const QuantizedVector> vectors, std::vector<std::uint32_t>& accepted,
                       std::vector<std::uint32_t>& discarded);
std::vector<std::uint32_t> select_neighbours(std::span<const Candidate> sorted, std::uint64_t capacity,
                                             std::span<const QuantizedVector> vectors);

// A complete new index over the live slots of a store (tombstoned slots get an
// empty row and are never linked). Throws std::bad_alloc, never anything else,
// when the tables cannot be allocated; the caller's store is not touched.
std::unique_ptr<HnswIndex> build_hnsw(std::span<const QuantizedVector> vectors, std::span<const std::uint32_t> ids,
                                      std::uint64_t m, std::uint64_t ef_construction);

}  // namespace kestrix

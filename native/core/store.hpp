// The vector store: three parallel slot arrays and at most one HNSW index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "page_array.hpp"
#include "quantized.hpp"

namespace kestrix {

class HnswGraph;

// Caller errors of the core. Only DocIdTooLarge, CapacityExceeded and
// CorruptedData are ever produced (the binding checks a vector's length
// itself, and a store without an index is searched by the scan); the variant
// list and its order are part of Kestrix's fixed contract all the same.
struct StoreError {
    enum class Kind : std::uint8_t {
        InvalidDimension,
        DocIdTooLarge,
        IndexNotBuilt,
        CorruptedData,
        CapacityExceeded,
    };
    Kind kind;

    friend bool operator==(const StoreError&, const StoreError&) = default;
};

// The bare variant name, as it appears in messages.
std::string_view error_name(StoreError error) noexcept;

// Whole milliseconds since the Unix epoch (truncated), as a double; 0.0 for a
// clock set before the epoch.
double now_ms() noexcept;

// The most slots a store holds. Slot numbers and the serialized slot count are
// 32-bit, so a slot past this one could be neither returned nor written.
inline constexpr std::uint64_t MAX_SLOTS = 0xFFFFFFFFu;

// The slots of `dim`-dimensional codes (1..kernels::MAX_CODE_DIMENSION; a
// Kestrix's are 384): each slot's code (CodeRows' layout), its id word and
// its insertion time.
class VectorStore {
public:
    // An empty growable store of `dim`-dimensional codes.
    explicit VectorStore(std::size_t dim = DIMENSION) noexcept;
    ~VectorStore();
    VectorStore(VectorStore&&) noexcept;
    VectorStore& operator=(VectorStore&&) noexcept;
    VectorStore(const VectorStore&) = delete;
    VectorStore& operator=(const VectorStore&) = delete;

    // A fixed-capacity 384-dimensional store with room reserved for every
    // slot up front, so the arrays never move while it fills. Throws
    // std::bad_alloc / std::length_error when that room cannot be had.
    static VectorStore with_capacity(std::uint64_t capacity);

    // A growable store taking over the arrays of its slots: `codes` holds
    // code_words(dim) words a slot (used by the readers and by compaction).
    static VectorStore from_slots(std::size_t dim, PageArray<std::uint64_t> codes, PageArray<std::uint32_t> ids,
                                  PageArray<double> timestamps) noexcept;

    // Appends, or recycles the lowest tombstoned slot of a full fixed-capacity
    // store; `code` is the store's width. A store holding MAX_SLOTS slots
    // refuses to append (CapacityExceeded) as a full fixed store does. On
    // error nothing changes. May throw std::bad_alloc when a growable store
    // cannot grow; nothing changes then either.
    std::expected<std::uint32_t, StoreError> insert(std::uint32_t id, const std::uint64_t* code, double now);

    // Tombstones the lowest live slot whose id word equals `id`.
    bool remove(std::uint32_t id) noexcept;

    // Tombstones one slot by its number; false when it is out of range or
    // already tombstoned.
    bool tombstone_slot(std::size_t slot) noexcept;

    // Drops the slots from `slots` on: the undo of appends a caller made just
    // before and could not complete (their room stays reserved). Drops the
    // index if it covered them.
    void truncate(std::size_t slots) noexcept;

    // Room for `slots` slots in all three arrays of a growable store, so that
    // appends up to that count cannot fail. Throws std::bad_alloc (nothing
    // observable changes then); a no-op for a fixed-capacity store.
    void reserve(std::size_t slots);

    // Tombstones every live slot older than ttl_ms at `now`; returns the count.
    std::uint64_t run_gc(double ttl_ms, double now) noexcept;

    // Removes tombstoned slots by moving slots from the end into the holes.
    std::uint64_t compact() noexcept;

    // Gives back the growth room of a growable store (a fixed-capacity store
    // keeps its reservation, so its arrays never move). Best effort: if the
    // smaller arrays cannot be had, nothing changes.
    void release_spare_room() noexcept;

    std::size_t size() const noexcept { return ids_.size(); }
    bool is_empty() const noexcept { return ids_.empty(); }
    std::optional<std::uint64_t> capacity() const noexcept { return capacity_; }
    std::size_t dimension() const noexcept { return dim_; }
    std::size_t words() const noexcept { return words_; }

    CodeRows codes() const noexcept { return {codes_.data(), dim_, size()}; }
    const std::uint64_t* code(std::size_t slot) const noexcept { return codes_.data() + slot * words_; }
    std::span<const std::uint32_t> ids() const noexcept { return ids_; }
    std::span<const double> timestamps() const noexcept { return timestamps_; }

    // Builds a graph over the live slots and installs it in place of any
    // earlier one. A store that is being indexed has stopped growing (any
    // later insert discards the graph anyway), so its growth room is given
    // back first, before the tables are allocated, to keep the peak low. The
    // graph is built whole on the side: on std::bad_alloc (the only exception)
    // the earlier graph, if any, stays.
    void build_index(std::uint64_t m, std::uint64_t ef_construction);

    bool has_index() const noexcept { return index_ != nullptr; }
    const HnswGraph* index() const noexcept { return index_.get(); }
    // Installs a complete graph, replacing (and freeing) any earlier one.
    void set_index(std::unique_ptr<HnswGraph> index) noexcept;

private:
    friend struct VectorStoreTestAccess;  // lowers slot_limit_ in the core tests

    void discard_index() noexcept;
    // Room for `slots` slots in each array (std::bad_alloc, nothing changed).
    void reserve_slots(std::size_t slots);

    std::size_t dim_;
    std::size_t words_;
    std::optional<std::uint64_t> capacity_;
    // Three parallel arrays (the codes words_ words a slot), each in pages of
    // its own once it is large: they grow without copying and their growth
    // room takes no memory.
    PageArray<std::uint64_t> codes_;
    PageArray<std::uint32_t> ids_;
    PageArray<double> timestamps_;
    std::unique_ptr<HnswGraph> index_;
    std::uint64_t slot_limit_ = MAX_SLOTS;
};

}  // namespace kestrix

#include "store.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "hnsw/graph.hpp"

namespace kestrix {

std::string_view error_name(StoreError error) noexcept {
    switch (error.kind) {
        case StoreError::Kind::InvalidDimension: return "InvalidDimension";
        case StoreError::Kind::DocIdTooLarge: return "DocIdTooLarge";
        case StoreError::Kind::IndexNotBuilt: return "IndexNotBuilt";
        case StoreError::Kind::CorruptedData: return "CorruptedData";
        case StoreError::Kind::CapacityExceeded: return "CapacityExceeded";
    }
    return "StoreError";
}

double now_ms() noexcept {
    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    // duration_cast truncates toward zero; a clock before the epoch reads 0.
    const auto whole = duration_cast<milliseconds>(since_epoch).count();
    return whole > 0 ? static_cast<double>(whole) : 0.0;
}

VectorStore::VectorStore(std::size_t dim) noexcept : dim_(dim), words_(kernels::code_words(dim)) {}
VectorStore::~VectorStore() = default;
VectorStore::VectorStore(VectorStore&&) noexcept = default;
VectorStore& VectorStore::operator=(VectorStore&&) noexcept = default;

void VectorStore::reserve_slots(std::size_t slots) {
    // reserve() takes size_t; room that does not even fit one is as
    // impossible to hold as room that overflows the allocator.
    if (slots > codes_.max_size() / words_ || slots > timestamps_.max_size()) throw std::bad_alloc();
    codes_.reserve(slots * words_);
    ids_.reserve(slots);
    timestamps_.reserve(slots);
}

VectorStore VectorStore::with_capacity(std::uint64_t capacity) {
    VectorStore store;
    if (capacity > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    store.reserve_slots(static_cast<std::size_t>(capacity));
    store.capacity_ = capacity;
    return store;
}

VectorStore VectorStore::from_slots(std::size_t dim, PageArray<std::uint64_t> codes, PageArray<std::uint32_t> ids,
                                    PageArray<double> timestamps) noexcept {
    VectorStore store(dim);
    store.codes_ = std::move(codes);
    store.ids_ = std::move(ids);
    store.timestamps_ = std::move(timestamps);
    return store;
}

std::expected<std::uint32_t, StoreError> VectorStore::insert(std::uint32_t id, const std::uint64_t* code, double now) {
    if (is_tombstoned(id)) return std::unexpected(StoreError{StoreError::Kind::DocIdTooLarge});

    if (capacity_ && ids_.size() >= *capacity_) {
        for (std::size_t slot = 0; slot < ids_.size(); ++slot) {
            if (is_tombstoned(ids_[slot])) {
                std::memcpy(codes_.data() + slot * words_, code, words_ * sizeof *code);
                ids_[slot] = id;
                timestamps_[slot] = now;
                discard_index();
                return static_cast<std::uint32_t>(slot);
            }
        }
        return std::unexpected(StoreError{StoreError::Kind::CapacityExceeded});
    }

    const std::size_t slot = ids_.size();
    if (slot >= slot_limit_) return std::unexpected(StoreError{StoreError::Kind::CapacityExceeded});
    // Grow all three first so a failed allocation leaves the arrays aligned;
    // reserving is a no-op once room exists, and the appends below cannot throw.
    if (codes_.size() + words_ > codes_.capacity() || slot >= ids_.capacity() || slot >= timestamps_.capacity()) {
        reserve_slots(slot < 8 ? 8 : slot + slot / 2);
    }
    codes_.append(code, words_);
    ids_.push_back(id);
    timestamps_.push_back(now);
    discard_index();
    return static_cast<std::uint32_t>(slot);
}

bool VectorStore::remove(std::uint32_t id) noexcept {
    if (is_tombstoned(id)) return false;  // such an id word is never live
    for (auto& word : ids_) {
        if (word == id) {
            word |= TOMBSTONE_BIT;
            discard_index();
            return true;
        }
    }
    return false;
}

bool VectorStore::tombstone_slot(std::size_t slot) noexcept {
    if (slot >= ids_.size() || is_tombstoned(ids_[slot])) return false;
    ids_[slot] |= TOMBSTONE_BIT;
    discard_index();
    return true;
}

void VectorStore::truncate(std::size_t slots) noexcept {
    if (slots >= size()) return;
    codes_.truncate(slots * words_);
    ids_.truncate(slots);
    timestamps_.truncate(slots);
    discard_index();
}

void VectorStore::reserve(std::size_t slots) {
    if (capacity_) return;
    reserve_slots(slots);
}

std::uint64_t VectorStore::run_gc(double ttl_ms, double now) noexcept {
    std::uint64_t swept = 0;
    for (std::size_t slot = 0; slot < ids_.size(); ++slot) {
        const double age = now - timestamps_[slot];
        // An ordered comparison: NaN ages and NaN ttls never sweep.
        if (age > ttl_ms && !is_tombstoned(ids_[slot])) {
            ids_[slot] |= TOMBSTONE_BIT;
            ++swept;
        }
    }
    if (swept > 0) discard_index();
    return swept;
}

std::uint64_t VectorStore::compact() noexcept {
    const std::size_t before = ids_.size();
    std::size_t n = before;
    std::size_t j = 0;
    // Holes are filled from the end: one move per removed slot, no allocation,
    // at the price of the live slots' relative order.
    while (j < n) {
        if (!is_tombstoned(ids_[j])) {
            ++j;
            continue;
        }
        --n;
        std::memcpy(codes_.data() + j * words_, codes_.data() + n * words_, words_ * sizeof(std::uint64_t));
        ids_[j] = ids_[n];
        timestamps_[j] = timestamps_[n];
    }
    codes_.resize(n * words_);
    ids_.resize(n);
    timestamps_.resize(n);
    const std::size_t removed = before - n;
    if (removed > 0) discard_index();
    return removed;
}

void VectorStore::release_spare_room() noexcept {
    if (capacity_) return;
    // Each shrink gives back pages or keeps the old buffer, so this cannot
    // leave the arrays half-changed.
    codes_.shrink_to_fit();
    ids_.shrink_to_fit();
    timestamps_.shrink_to_fit();
}

void VectorStore::build_index(std::uint64_t m, std::uint64_t ef_construction) {
    release_spare_room();
    set_index(build_hnsw(codes(), ids_, m, ef_construction));
}

void VectorStore::set_index(std::unique_ptr<HnswGraph> index) noexcept { index_ = std::move(index); }

void VectorStore::discard_index() noexcept { index_.reset(); }

}  // namespace kestrix

// Document id -> slot, for a collection's unique 63-bit ids, and the 64-bit
// mixer that spreads ids: over the map's table here, and over the shards of a
// sharded collection (whose routing is splitmix64(id) mod shards, fixed by the
// folders already written).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrix {

// SplitMix64's output function: every bit of the result depends on every bit
// of `x`, so ids that differ only in high bits (or are consecutive) spread.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

// SplitMix64 of one value: its step (the golden-ratio increment), then mix64.
constexpr std::uint64_t splitmix64(std::uint64_t x) noexcept { return mix64(x + 0x9E3779B97F4A7C15ull); }

// Open addressing with linear probing and backward-shift deletion (no deletion
// markers, so lookups never slow down with churn), at most half full.
// Insertion never allocates: reserve() first.
class IdMap {
public:
    std::optional<std::uint32_t> find(std::uint64_t id) const noexcept;
    // found(slot) for each id of `ids` that is present, in order. The table's
    // lines for an id a few places on are fetched while earlier ones are
    // looked up: a long list of ids over a large map would otherwise wait on
    // memory for every id.
    template <class Found>
    void find_each(std::span<const std::uint64_t> ids, Found found) const noexcept {
        if (keys_.empty()) return;
        constexpr std::size_t AHEAD = 16;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i + AHEAD < ids.size()) {
                const std::size_t later = home(ids[i + AHEAD]);
                __builtin_prefetch(&keys_[later]);
                __builtin_prefetch(&slots_[later]);
            }
            if (const auto slot = find(ids[i])) found(*slot);
        }
    }
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

// The first row of `ids` that repeats an earlier one. Throws std::bad_alloc.
std::optional<std::size_t> first_repeat(std::span<const std::uint64_t> ids);

}  // namespace kestrix

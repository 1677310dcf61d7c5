// The slots a filtered search may answer with: a bit per slot of the store,
// and the same slots as an ascending list. Built once per call from the
// caller's document ids (Collection::allowed_slots); only live slots are ever
// set, so a set bit means "live and allowed". Memory is a bit per slot plus a
// word per allowed live slot: bounded by the store, never by the caller's list.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrix {

class AllowedSlots {
public:
    // None of `slot_count` slots allowed yet. Throws std::bad_alloc.
    explicit AllowedSlots(std::size_t slot_count) : bits_(slot_count / 64 + 2, 0) {}

    // Allows a slot (below the slot count); allowing it again changes nothing.
    void allow(std::uint32_t slot) noexcept {
        std::uint64_t& word = bits_[slot >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
        count_ += (word & bit) == 0;
        word |= bit;
    }

    // Lists the allowed slots in ascending order, after the last allow().
    // Throws std::bad_alloc.
    void list() {
        slots_.clear();
        slots_.reserve(count_);
        for (std::size_t w = 0; w < bits_.size(); ++w) {
            for (std::uint64_t word = bits_[w]; word != 0; word &= word - 1) {
                slots_.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
            }
        }
    }

    bool allows(std::uint32_t slot) const noexcept { return (bits_[slot >> 6] >> (slot & 63)) & 1; }

    // Bit i for slot first + i, i < 64 (slots past the store read as clear).
    std::uint64_t bits_from(std::size_t first) const noexcept {
        const std::size_t word = first >> 6;
        const unsigned shift = first & 63;
        if (word >= bits_.size()) return 0;
        const std::uint64_t low = bits_[word] >> shift;
        return shift == 0 || word + 1 >= bits_.size() ? low : low | (bits_[word + 1] << (64 - shift));
    }

    std::size_t count() const noexcept { return count_; }
    std::span<const std::uint32_t> slots() const noexcept { return slots_; }

private:
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint32_t> slots_;
    std::size_t count_ = 0;
};

}  // namespace kestrix

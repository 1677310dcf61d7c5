#include "id_map.hpp"

#include <utility>

namespace kestrix {

std::size_t IdMap::home(std::uint64_t id) const noexcept {
    return static_cast<std::size_t>(mix64(id)) & (keys_.size() - 1);
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

std::optional<std::size_t> first_repeat(std::span<const std::uint64_t> ids) {
    IdMap seen;
    seen.reserve(ids.size());
    for (std::size_t row = 0; row < ids.size(); ++row) {
        if (seen.find(ids[row])) return row;
        seen.assign(ids[row], static_cast<std::uint32_t>(row));
    }
    return std::nullopt;
}

}  // namespace kestrix

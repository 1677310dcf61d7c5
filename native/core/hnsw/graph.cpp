#include "graph.hpp"

#include <cassert>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "../heap.hpp"
#include "search.hpp"

namespace kestrix {

namespace {

// Table sizes come from the store's slot count and the caller's m, both
// unbounded; a product that does not fit is memory we cannot have.
std::size_t checked_product(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
    return product;
}

// `rows` rows of `from` entries each, copied into rows of `to` >= `from`
// entries padded with EMPTY_LINK, plus `extra` rows of padding only.
std::vector<std::uint32_t> widen_rows(const std::vector<std::uint32_t>& table, std::size_t from, std::size_t to,
                                      std::size_t extra) {
    const std::size_t rows = from == 0 ? 0 : table.size() / from;
    const std::size_t cells = checked_product(rows + extra, to);
    checked_product(cells, sizeof(std::uint32_t));
    std::vector<std::uint32_t> wide(cells, EMPTY_LINK);
    for (std::size_t r = 0; r < rows; ++r) {
        std::copy_n(table.begin() + static_cast<std::ptrdiff_t>(r * from), from,
                    wide.begin() + static_cast<std::ptrdiff_t>(r * to));
    }
    return wide;
}

}  // namespace

// ---------------------------------------------------------------- the graph

// A row can only ever hold the other slots, so a row longer than that would
// be padding forever; this is what lets an enormous m work on a small store.
std::size_t HnswGraph::stride_for(std::uint64_t capacity, std::size_t slot_count) noexcept {
    const std::size_t longest = slot_count > 1 ? slot_count - 1 : 1;
    return static_cast<std::size_t>(std::min<std::uint64_t>(capacity, longest));
}

HnswGraph::HnswGraph(std::size_t slot_count, std::uint64_t m, std::uint64_t ef_construction, LinkRule rule)
    : m_(std::max<std::uint64_t>(m, 2)),
      m0_(m_ > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max() : 2 * m_),
      ef_construction_(ef_construction),
      link_rule_(rule),
      level_mult_(1.0 / std::log(static_cast<double>(m_))) {
    // Every slot number must stay below EMPTY_LINK to be told apart from a free entry.
    if (slot_count > EMPTY_LINK) throw std::bad_alloc();
    layer0_stride_ = stride_for(m0_, slot_count);
    upper_stride_ = stride_for(m_, slot_count);

    const std::size_t cells = checked_product(slot_count, layer0_stride_);
    checked_product(cells, sizeof(std::uint32_t));
    try {
        layer0_neighbours_.assign(cells, EMPTY_LINK);
        layer0_counts_.assign(slot_count, 0u);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

std::optional<std::size_t> HnswGraph::member_position(std::uint32_t slot, std::uint64_t layer) const noexcept {
    if (layer == 0 || layer > upper_nodes_.size()) return std::nullopt;
    const auto& members = upper_nodes_[layer - 1];
    // Members are added in ascending slot order, so the first occurrence a
    // linear scan would find is the one binary search finds.
    const auto it = std::lower_bound(members.begin(), members.end(), slot);
    if (it == members.end() || *it != slot) return std::nullopt;
    return static_cast<std::size_t>(it - members.begin());
}

std::span<const std::uint32_t> HnswGraph::upper_neighbours_of(std::uint32_t slot, std::uint64_t layer) const noexcept {
    const auto position = member_position(slot, layer);
    if (!position) return {};
    const auto& counts = upper_counts_[layer - 1];
    const std::uint32_t count = *position < counts.size() ? counts[*position] : 0;
    return filled(upper_neighbours_[layer - 1].data() + *position * upper_stride_, count, upper_stride_);
}

std::span<const std::uint32_t> HnswGraph::layer0_row(std::uint32_t slot) const noexcept {
    if (slot >= layer0_counts_.size()) return {};
    return {layer0_data(slot), layer0_stride_};
}

std::uint32_t HnswGraph::layer0_count(std::uint32_t slot) const noexcept {
    return slot < layer0_counts_.size() ? layer0_counts_[slot] : 0;
}

std::span<const std::uint32_t> HnswGraph::upper_nodes(std::uint64_t layer) const noexcept {
    if (layer == 0 || layer > upper_nodes_.size()) return {};
    return upper_nodes_[layer - 1];
}

std::span<const std::uint32_t> HnswGraph::upper_row(std::uint64_t layer, std::size_t position) const noexcept {
    if (layer == 0 || layer > upper_nodes_.size() || position >= upper_counts_[layer - 1].size()) return {};
    return {upper_neighbours_[layer - 1].data() + position * upper_stride_, upper_stride_};
}

std::uint32_t HnswGraph::upper_count(std::uint64_t layer, std::size_t position) const noexcept {
    if (layer == 0 || layer > upper_counts_.size() || position >= upper_counts_[layer - 1].size()) return 0;
    return upper_counts_[layer - 1][position];
}

// ---------------------------------------------------------------- the builder

HnswBuilder::HnswBuilder(std::size_t slot_count, std::uint64_t m, std::uint64_t ef_construction, LinkRule rule)
    : HnswBuilder(HnswGraph(slot_count, m, ef_construction, rule), 0) {}

HnswBuilder::HnswBuilder(HnswGraph graph, std::size_t next_slot) : graph_(std::move(graph)), next_slot_(next_slot) {
    try {
        visited_ = VisitedSet(graph_.slot_count());
        if (keeps_ways_in()) {
            ways_in_.assign(graph_.slot_count(), 0u);
            for (std::uint32_t slot = 0; slot < graph_.slot_count(); ++slot) {
                for (const std::uint32_t link : graph_.neighbours(slot, 0)) {
                    if (link < ways_in_.size()) ++ways_in_[link];
                }
            }
        }
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

HnswBuilder HnswBuilder::resume(const HnswGraph& graph, std::size_t new_slot_count) {
    const std::size_t old_count = graph.slot_count();
    if (new_slot_count < old_count) throw std::invalid_argument("a graph only grows by appended slots");
    if (new_slot_count > EMPTY_LINK) throw std::bad_alloc();
    try {
        HnswGraph grown(0, graph.m_, graph.ef_construction_, graph.link_rule_);
        grown.entry_point_ = graph.entry_point_;
        grown.top_level_ = graph.top_level_;
        grown.rng_state_ = graph.rng_state_;
        grown.layer0_stride_ = HnswGraph::stride_for(grown.m0_, new_slot_count);
        grown.upper_stride_ = HnswGraph::stride_for(grown.m_, new_slot_count);
        // Rows only ever widen (the new count is at least the old one), and a
        // row's links and count stay as they were: the padding that a build
        // over every slot would have had from the start is added now.
        grown.layer0_neighbours_ = widen_rows(graph.layer0_neighbours_, graph.layer0_stride_, grown.layer0_stride_,
                                              new_slot_count - old_count);
        grown.layer0_counts_ = graph.layer0_counts_;
        grown.layer0_counts_.resize(new_slot_count, 0u);
        grown.upper_nodes_ = graph.upper_nodes_;
        grown.upper_counts_ = graph.upper_counts_;
        grown.upper_neighbours_.reserve(graph.upper_neighbours_.size());
        for (const auto& table : graph.upper_neighbours_) {
            grown.upper_neighbours_.push_back(widen_rows(table, graph.upper_stride_, grown.upper_stride_, 0));
        }
        return HnswBuilder(std::move(grown), old_count);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

std::uint64_t HnswBuilder::draw_level() noexcept {
    std::uint64_t x = graph_.rng_state_;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    graph_.rng_state_ = x;

    const double u = static_cast<double>(x >> 11) * 0x1p-53;
    if (!(u > 0.0)) return 0;
    const double v = std::floor(-std::log(u) * graph_.level_mult_);
    if (!(v > 0.0)) return 0;
    // Compared before converting: a double beyond the 64-bit range must not be cast.
    if (v >= static_cast<double>(MAX_LEVEL)) return MAX_LEVEL;
    return static_cast<std::uint64_t>(v);
}

void HnswBuilder::add_node(std::uint32_t slot, std::uint64_t level) {
    level = std::min(level, MAX_LEVEL);
    for (std::uint64_t layer = 1; layer <= level; ++layer) {
        if (graph_.upper_nodes_.size() < layer) {
            graph_.upper_nodes_.emplace_back();
            graph_.upper_neighbours_.emplace_back();
            graph_.upper_counts_.emplace_back();
        }
        auto& members = graph_.upper_nodes_[layer - 1];
        assert(members.empty() || members.back() < slot);
        members.push_back(slot);
        auto& table = graph_.upper_neighbours_[layer - 1];
        table.resize(table.size() + graph_.upper_stride_, EMPTY_LINK);
        graph_.upper_counts_[layer - 1].push_back(0u);
    }
}

std::optional<HnswBuilder::Row> HnswBuilder::row(std::uint32_t slot, std::uint64_t layer) noexcept {
    if (layer == 0) {
        if (slot >= graph_.layer0_counts_.size()) return std::nullopt;
        return Row{graph_.layer0_neighbours_.data() + static_cast<std::size_t>(slot) * graph_.layer0_stride_,
                   &graph_.layer0_counts_[slot], graph_.layer0_stride_, graph_.m0_};
    }
    const auto position = graph_.member_position(slot, layer);
    if (!position) return std::nullopt;
    return Row{graph_.upper_neighbours_[layer - 1].data() + *position * graph_.upper_stride_,
               &graph_.upper_counts_[layer - 1][*position], graph_.upper_stride_, graph_.m_};
}

void HnswBuilder::set_neighbours(std::uint32_t slot, std::uint64_t layer,
                                 std::span<const std::uint32_t> links) noexcept {
    const auto r = row(slot, layer);
    if (!r) return;
    // The physical stride never exceeds the logical capacity.
    const std::size_t keep = std::min(links.size(), r->stride);
    if (layer == 0 && keeps_ways_in()) {
        // Counted as the links are read everywhere else: up to the first free entry.
        for (const std::uint32_t link : graph_.neighbours(slot, 0)) {
            if (link < ways_in_.size()) --ways_in_[link];
        }
        for (const std::uint32_t link : links.first(keep)) {
            if (link == EMPTY_LINK) break;
            if (link < ways_in_.size()) ++ways_in_[link];
        }
    }
    std::copy_n(links.begin(), keep, r->links);
    std::fill(r->links + keep, r->links + r->stride, EMPTY_LINK);
    *r->count = static_cast<std::uint32_t>(keep);
}

void HnswBuilder::add_reverse_link(std::uint32_t neighbour, std::uint32_t node, std::uint64_t layer,
                                   std::uint64_t capacity, CodeRows vectors) {
    const auto r = row(neighbour, layer);
    if (!r) return;
    const std::uint32_t count = *r->count;
    const std::size_t used = std::min<std::size_t>(count, r->stride);
    if (std::find(r->links, r->links + used, node) != r->links + used) return;

    // A row physically shorter than the capacity is one that can only hold the
    // other slots; it never fills up while a slot is missing from it.
    const std::uint64_t room = std::min<std::uint64_t>(capacity, r->stride);
    if (count < room) {
        r->links[count] = node;
        *r->count = count + 1;
        if (layer == 0 && keeps_ways_in()) ++ways_in_[node];
        return;
    }

    // Full row: re-choose among the old links and the new node, from the
    // neighbour's point of view. The new node may lose, or displace an old link.
    if (neighbour >= vectors.size() || node >= vectors.size()) return;
    measure_rows_of(vectors);
    prune_slots_.clear();
    for (std::size_t i = 0; i < used; ++i) {
        const std::uint32_t link = r->links[i];
        if (link == EMPTY_LINK || link >= vectors.size()) continue;
        prune_slots_.push_back(link);
    }
    prune_slots_.push_back(node);
    const std::size_t n = prune_slots_.size();
    prune_distances_.resize(kernels::gather_room(n));
    measure_->gather(vectors[neighbour], vectors.data, prune_slots_.data(), n, prune_distances_.data());
    prune_pairs_.clear();
    for (std::size_t i = 0; i < n; ++i) prune_pairs_.push_back({prune_distances_[i], prune_slots_[i]});
    if (prune_pairs_.size() >= 2) sort_by_distance(std::span(prune_pairs_));
    select_neighbours(prune_pairs_, room, vectors, pruned_, discarded_, *measure_);
    if (layer == 0 && keeps_ways_in()) keep_ways_in(std::span(prune_slots_).first(n - 1), node, room);
    set_neighbours(neighbour, layer, pruned_);
}

void HnswBuilder::keep_ways_in(std::span<const std::uint32_t> old_links, std::uint32_t node, std::uint64_t room) {
    // Old links the re-selection dropped whose node this row alone links to.
    stranded_.clear();
    for (const std::uint32_t link : old_links) {
        if (ways_in_[link] == 1 && std::find(pruned_.begin(), pruned_.end(), link) == pruned_.end()) {
            stranded_.push_back(link);
        }
    }
    for (const std::uint32_t link : stranded_) {
        if (pruned_.size() < room) {
            pruned_.push_back(link);
            continue;
        }
        // The farthest link that can go: its node is linked from elsewhere
        // too (the new node counts only the links it already has).
        for (std::size_t i = pruned_.size(); i-- > 0;) {
            const std::uint32_t taken = pruned_[i];
            const bool spare = taken == node ? ways_in_[node] >= 1 : has_other_way_in(taken);
            if (spare) {
                pruned_[i] = link;
                break;
            }
        }
    }
}

void HnswBuilder::give_way_in(std::uint32_t slot, std::uint32_t nearest, std::uint64_t capacity) {
    const auto r = row(nearest, 0);
    if (!r) return;
    const std::size_t used = std::min<std::size_t>(*r->count, r->stride);
    const std::uint64_t room = std::min<std::uint64_t>(capacity, r->stride);
    pruned_.assign(r->links, r->links + used);
    pruned_.erase(std::find(pruned_.begin(), pruned_.end(), EMPTY_LINK), pruned_.end());
    if (pruned_.size() < room) {
        pruned_.push_back(slot);
    } else {
        const auto spare = std::find_if(pruned_.rbegin(), pruned_.rend(),
                                        [this](std::uint32_t link) { return has_other_way_in(link); });
        if (spare == pruned_.rend()) return;
        *spare = slot;
    }
    set_neighbours(nearest, 0, pruned_);
}

void select_neighbours(std::span<const Candidate> sorted, std::uint64_t capacity, CodeRows vectors,
                       std::vector<std::uint32_t>& accepted, std::vector<std::uint32_t>& discarded,
                       const kernels::CodeKernels& measure) {
    accepted.clear();
    discarded.clear();
    for (const Candidate& candidate : sorted) {
        if (accepted.size() >= capacity) break;
        if (candidate.slot >= vectors.size()) continue;
        // A tie counts against the candidate: it must be strictly closer to the
        // base than to every link already taken, or it only fills leftover room.
        const bool shadowed =
            !accepted.empty() && measure.any_within(vectors[candidate.slot], vectors.data, accepted.data(),
                                                    accepted.size(), candidate.distance);
        (shadowed ? discarded : accepted).push_back(candidate.slot);
    }
    for (const std::uint32_t slot : discarded) {
        if (accepted.size() >= capacity) break;
        accepted.push_back(slot);
    }
}

void HnswBuilder::insert_node(std::uint32_t slot, CodeRows vectors) {
    const std::uint64_t level = draw_level();
    add_node(slot, level);
    if (!graph_.entry_point_) {
        graph_.entry_point_ = slot;
        graph_.top_level_ = level;
        return;
    }

    const std::uint64_t* target = vectors[slot];
    const std::uint32_t entry = *graph_.entry_point_;
    Candidate position{measure_->distance(target, vectors[entry]), entry};
    for (std::uint64_t layer = graph_.top_level_; layer > level; --layer) {
        position = greedy_descend(graph_, vectors, target, position.slot, position.distance, layer, *measure_);
    }

    for (std::uint64_t layer = std::min(level, graph_.top_level_) + 1; layer-- > 0;) {
        const std::uint64_t capacity = layer == 0 ? graph_.m0_ : graph_.m_;
        search_layer(graph_, vectors, target, position.slot, layer, graph_.ef_construction_, visited_, candidate_heap_,
                     found_, *measure_);
        // The next layer starts from the nearest found, the first of equals in
        // heap-array order, chosen before the sort can reorder ties.
        if (!found_.empty()) {
            position = *std::min_element(found_.begin(), found_.end(), [](const Candidate& a, const Candidate& b) {
                return a.distance < b.distance;
            });
        }
        if (found_.size() >= 2) sort_by_distance(std::span(found_));
        select_neighbours(found_, capacity, vectors, selected_, discarded_, *measure_);
        set_neighbours(slot, layer, selected_);
        for (const std::uint32_t neighbour : selected_) {
            add_reverse_link(neighbour, slot, layer, capacity, vectors);
        }
        if (layer == 0 && keeps_ways_in() && ways_in_[slot] == 0 && !selected_.empty()) {
            give_way_in(slot, selected_.front(), capacity);
        }
    }

    // On a tie the older entry point stays.
    if (level > graph_.top_level_) {
        graph_.top_level_ = level;
        graph_.entry_point_ = slot;
    }
}

void HnswBuilder::insert_live(CodeRows vectors, std::span<const std::uint32_t> ids, std::size_t first_slot,
                              const BuildProgress& progress) {
    if (first_slot < next_slot_) throw std::invalid_argument("slots are inserted once, in ascending order");
    assert(vectors.size() == graph_.slot_count());
    measure_rows_of(vectors);
    // Rows exist only for the graph's slots; a slot without an id word is not live.
    const std::size_t end = std::min({vectors.size(), graph_.slot_count(), ids.size()});
    std::size_t total = 0;
    if (progress) {
        for (std::size_t slot = first_slot; slot < end; ++slot) total += is_tombstoned(ids[slot]) ? 0 : 1;
    }
    std::size_t inserted = 0;
    for (std::size_t slot = first_slot; slot < end; ++slot) {
        if (is_tombstoned(ids[slot])) continue;
        insert_node(static_cast<std::uint32_t>(slot), vectors);
        ++inserted;
        if (progress) progress(inserted, total);
    }
    next_slot_ = std::max(next_slot_, std::max(first_slot, end));
}

std::unique_ptr<HnswGraph> build_hnsw(CodeRows vectors, std::span<const std::uint32_t> ids, std::uint64_t m,
                                      std::uint64_t ef_construction, LinkRule rule) {
    // Built on the side: if memory runs out part-way, the half-built graph is
    // simply dropped and the store keeps whatever index it had.
    try {
        HnswBuilder builder(vectors.size(), m, ef_construction, rule);
        builder.insert_live(vectors, ids, 0);
        return std::make_unique<HnswGraph>(std::move(builder).finish());
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

}  // namespace kestrix

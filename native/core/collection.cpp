#include "collection.hpp"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <utility>

namespace kestrix {

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
                                                              std::optional<side::SideStore> side,
                                                              std::optional<HnswGraph> graph, side::Metric metric) {
    if (doc_ids.size() != store.size()) return std::unexpected(LoadProblem{"document ids do not match the slot count"});
    if (side && side->size() != store.size())
        return std::unexpected(LoadProblem{"side rows do not match the slot count"});
    if (side && side->kind() != side::SideKind::None && side->dimension() != store.dimension())
        return std::unexpected(LoadProblem{"side rows do not match the dimension"});
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
    Collection collection(side::SideKind::None, store.dimension(), metric);
    collection.map_.reserve(live);
    for (std::size_t slot = 0; slot < doc_ids.size(); ++slot) {
        if (is_tombstoned(words[slot])) continue;
        if (collection.map_.find(doc_ids[slot])) return std::unexpected(LoadProblem{"a live document id repeats"});
        collection.map_.assign(doc_ids[slot], static_cast<std::uint32_t>(slot));
    }
    // A side section without rows says nothing of the dimension.
    const bool rows = side && side->kind() != side::SideKind::None;
    collection.side_ = rows ? std::move(*side) : side::SideStore::without_rows(store.dimension(), store.size());
    collection.store_ = std::move(store);
    collection.doc_ids_ = std::move(doc_ids);
    if (graph) collection.set_graph(std::make_unique<HnswGraph>(std::move(*graph)));
    return collection;
}

std::expected<void, CollectionError> Collection::add(std::span<const std::uint64_t> ids, CodeRows vectors, double now,
                                                     std::span<const float> floats, const BeforeCommit& before_commit) {
    assert(vectors.dim == dimension());
    const std::size_t n = std::min(ids.size(), vectors.size());
    if (side_.kind() != side::SideKind::None && floats.size() / dimension() < n) {
        return std::unexpected(CollectionError{CollectionError::Kind::NoSideRows, 0, 0});
    }
    return append(
        ids.first(n), CodeRows(vectors.data, vectors.dim, n), [now](std::size_t) { return now; },
        [&](side::SideStore& side) { side.append(n, floats, metric_); }, false, before_commit);
}

std::expected<void, CollectionError> Collection::add_stored(const StoredRows& rows) {
    const std::size_t n = rows.ids.size();
    if (rows.codes.size() != n || rows.codes.dim != dimension() || rows.times.size() != n ||
        rows.side_rows.size() != n * side::row_bytes(side_.kind(), dimension())) {
        return std::unexpected(CollectionError{CollectionError::Kind::NoSideRows, 0, 0});
    }
    return append(
        rows.ids, rows.codes, [&](std::size_t row) { return rows.times[row]; },
        [&](side::SideStore& side) { side.append_rows(n, rows.side_rows); }, true, {});
}

template <class TimeOf, class AppendSide>
std::expected<void, CollectionError> Collection::append(std::span<const std::uint64_t> ids, CodeRows vectors,
                                                        TimeOf time_of, AppendSide append_side, bool repeats_allowed,
                                                        const BeforeCommit& before_commit) {
    const std::size_t n = ids.size();
    for (std::size_t row = 0; row < n; ++row) {
        if (ids[row] > MAX_DOCUMENT_ID)
            return std::unexpected(CollectionError{CollectionError::Kind::IdOutOfRange, row, ids[row]});
    }
    if (n > MAX_COLLECTION_SLOTS - store_.size()) {
        return std::unexpected(CollectionError{CollectionError::Kind::TooManySlots, 0, 0});
    }
    // Duplicates within the batch: the first repeated row is reported.
    if (!repeats_allowed) {
        if (const auto row = first_repeat(ids)) {
            return std::unexpected(CollectionError{CollectionError::Kind::DuplicateId, *row, ids[*row]});
        }
    }
    if (n == 0) return {};

    // Every allocation of the store's side of the batch before the first change.
    const std::size_t first_new = store_.size();
    const std::size_t slots_after = first_new + n;
    // The document ids grow in step with the store's arrays.
    const std::size_t room = grown_room(doc_ids_, slots_after);
    store_.reserve(room);
    doc_ids_.reserve(room);
    map_.reserve(map_.size() + n);
    side_.reserve(room);

    // The new slots go in first, beside the old ones they replace; with room
    // reserved this cannot fail. The graph's extension reads only the new
    // slots' liveness, so it gives the same graph as after the tombstones.
    append_side(side_);
    for (std::size_t row = 0; row < n; ++row) {
        // Room was reserved and the id word carries no tombstone: cannot fail.
        static_cast<void>(store_.insert(id_word_of(ids[row]), vectors[row], time_of(row)));
        doc_ids_.push_back(ids[row]);
    }
    std::unique_ptr<HnswGraph> extended;
    try {
        if (graph_) extended = std::make_unique<HnswGraph>(extended_graph(*graph_, first_new));
        if (before_commit) before_commit();
    } catch (...) {
        // The batch goes in whole with its graph or not at all.
        store_.truncate(first_new);
        doc_ids_.resize(first_new);
        side_.truncate(first_new);
        throw;
    }
    if (extended) {
        graph_ = std::move(extended);
        nodes_.nodes += n;
    }
    // From here on nothing can fail: the documents replaced become waypoints
    // (a repeated id's earlier row among them, once its later row comes).
    for (std::size_t row = 0; row < n; ++row) {
        if (const auto old = map_.find(ids[row])) {
            store_.tombstone_slot(*old);
            note_deleted(*old);
        }
        map_.assign(ids[row], static_cast<std::uint32_t>(first_new + row));
    }
    return {};
}

std::uint64_t Collection::remove(std::span<const std::uint64_t> ids) noexcept {
    std::uint64_t removed = 0;
    for (const std::uint64_t id : ids) {
        const auto slot = map_.find(id);
        if (!slot) continue;
        store_.tombstone_slot(*slot);
        note_deleted(*slot);
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
        note_deleted(slot);
        map_.erase(doc_ids_[slot]);
        ++expired;
    }
    return expired;
}

std::uint64_t Collection::compact(const BeforeCommit& before_commit) {
    const auto words = store_.ids();
    const std::size_t live = map_.size();
    const std::size_t removed = words.size() - live;
    if (removed == 0) return 0;
    side_.own();  // the only step of the side that can fail, taken before any change
    const std::size_t width = store_.words();
    PageArray<std::uint64_t> codes;
    PageArray<std::uint32_t> id_words;
    PageArray<double> times;
    std::vector<std::uint64_t> doc_ids;
    codes.reserve(live * width);
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
        map.assign(doc_ids_[slot], static_cast<std::uint32_t>(id_words.size()));
        codes.append(store_.code(slot), width);
        id_words.push_back(words[slot]);
        times.push_back(store_.timestamps()[slot]);
        doc_ids.push_back(doc_ids_[slot]);
    }
    VectorStore store = VectorStore::from_slots(dimension(), std::move(codes), std::move(id_words), std::move(times));
    if (before_commit) before_commit();
    store_ = std::move(store);
    doc_ids_ = std::move(doc_ids);
    map_ = std::move(map);
    side_.keep_rows(kept);  // ascending and in range by construction: cannot refuse
    set_graph(nullptr);
    ++epoch_;
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

std::expected<std::vector<std::uint64_t>, CollectionError> Collection::get(std::span<const std::uint64_t> ids) const {
    const std::size_t width = store_.words();
    std::vector<std::uint64_t> out(ids.size() * width);
    for (std::size_t row = 0; row < ids.size(); ++row) {
        const auto slot = map_.find(ids[row]);
        if (!slot) return std::unexpected(CollectionError{CollectionError::Kind::UnknownId, row, ids[row]});
        std::copy_n(store_.code(*slot), width, out.data() + row * width);
    }
    return out;
}

std::expected<std::vector<float>, CollectionError> Collection::get_side(std::span<const std::uint64_t> ids) const {
    std::vector<float> out;
    if (side_.kind() == side::SideKind::None) return out;
    const std::size_t dim = dimension();
    out.resize(ids.size() * dim);
    const auto view = side_.view();
    for (std::size_t row = 0; row < ids.size(); ++row) {
        const auto slot = map_.find(ids[row]);
        if (!slot) return std::unexpected(CollectionError{CollectionError::Kind::UnknownId, row, ids[row]});
        side::decode_row(view.kind, view.row(*slot), std::span(out.data() + row * dim, dim));
    }
    return out;
}

// ---------------------------------------------------------------- the graph

// Slots per step of a build: small enough that a caller hears from it a few
// times a second, large enough that the checks cost nothing.
constexpr std::size_t BUILD_CHUNK = 1024;

std::optional<Collection::PendingGraph> Collection::build_graph(
    std::uint64_t m, std::uint64_t ef_construction, const BuildCheck& keep_going,
    std::optional<std::span<const std::uint32_t>> given_words) const {
    try {
        const auto words = given_words ? *given_words : store_.ids();
        // Rows keep free places for later reverse links, so that nodes far
        // from the rest stay reachable (see LinkRule). A loaded graph goes on
        // with the rule it was built with.
        HnswBuilder builder(words.size(), m, ef_construction, LinkRule::KeepWayIn);
        std::size_t done = 0;
        for (std::size_t first = 0; first < words.size(); first += BUILD_CHUNK) {
            const std::size_t end = std::min(words.size(), first + BUILD_CHUNK);
            // The builder stops at the end of the id words it is handed, so a
            // build in chunks makes exactly the insertions of one in a piece.
            builder.insert_live(store_.codes(), words.first(end), first);
            for (std::size_t slot = first; slot < end; ++slot) done += !is_tombstoned(words[slot]);
            if (keep_going && !keep_going(done, map_.size())) return std::nullopt;
        }
        return PendingGraph{std::make_unique<HnswGraph>(std::move(builder).finish()), words.size(), epoch_};
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

bool Collection::install_graph(PendingGraph pending, const BeforeCommit& before_commit) {
    if (pending.epoch != epoch_ || pending.slots > store_.size()) return false;
    if (pending.slots < store_.size()) {
        // Appended since the build: inserted as the add would have inserted
        // them into this graph, had it been installed then.
        pending.graph = std::make_unique<HnswGraph>(extended_graph(*pending.graph, pending.slots));
    }
    if (before_commit) before_commit();
    set_graph(std::move(pending.graph));
    return true;
}

bool Collection::build_index(std::uint64_t m, std::uint64_t ef_construction, const BuildCheck& keep_going) {
    auto pending = build_graph(m, ef_construction, keep_going);
    return pending && install_graph(std::move(*pending));
}

HnswGraph Collection::extended_graph(const HnswGraph& graph, std::size_t first_slot) const {
    try {
        HnswBuilder builder = HnswBuilder::resume(graph, store_.size());
        builder.insert_live(store_.codes(), store_.ids(), first_slot);
        return std::move(builder).finish();
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

void Collection::set_graph(std::unique_ptr<HnswGraph> graph) noexcept {
    graph_ = std::move(graph);
    nodes_ = graph_ ? count_graph_nodes(*graph_, store_.ids()) : GraphNodes{};
    // The walks' room was sized for the slots and graph that were.
    rooms_.clear();
}

void Collection::note_deleted(std::size_t slot) noexcept {
    if (!graph_ || slot >= graph_->slot_count()) return;
    const auto s = static_cast<std::uint32_t>(slot);
    if (graph_->layer0_count(s) != 0 || graph_->entry_point() == s) ++nodes_.waypoints;
}

Collection::GraphNodes count_graph_nodes(const HnswGraph& graph, std::span<const std::uint32_t> ids) noexcept {
    Collection::GraphNodes counted;
    const auto entry = graph.entry_point();
    // Every slot the graph inserted has a row with links, but for a graph of
    // one node, which is its entry point.
    for (std::uint32_t slot = 0; slot < graph.slot_count() && slot < ids.size(); ++slot) {
        if (graph.layer0_count(slot) == 0 && entry != slot) continue;
        ++counted.nodes;
        counted.waypoints += is_tombstoned(ids[slot]) ? 1 : 0;
    }
    return counted;
}

}  // namespace kestrix

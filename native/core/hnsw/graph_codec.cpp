#include "graph_codec.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

namespace kestrix {

namespace {

constexpr char MAGIC[8] = {'K', 'X', 'G', 'R', 'A', 'P', 'H', '\0'};
constexpr std::uint64_t CELL = sizeof(std::uint32_t);

// Sizes announced by untrusted bytes: a product or sum that does not fit is
// simply more than any input holds.
std::optional<std::uint64_t> mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// The header's fields in their order, through a cursor over its bytes.
class HeaderFields {
public:
    explicit HeaderFields(std::span<std::byte, GRAPH_HEADER_BYTES> bytes) noexcept : bytes_(bytes) {}
    template <class T>
    T get() noexcept {
        const T value = load<T>(bytes_.data() + at_);
        at_ += sizeof value;
        return value;
    }
    template <class T>
    void put(T value) noexcept {
        store(bytes_.data() + at_, value);
        at_ += sizeof value;
    }

private:
    std::span<std::byte, GRAPH_HEADER_BYTES> bytes_;
    std::size_t at_ = sizeof MAGIC;
};

// The tables after the header, front to back, never past the end; every table
// is measured against what is left before anything is allocated for it.
class Reader {
public:
    explicit Reader(ByteInput& in) noexcept : in_(in) {}

    std::uint64_t left() const noexcept { return in_.left(); }

    // `count` u32 cells, or nothing when the bytes do not hold them.
    bool cells(std::uint64_t count, std::vector<std::uint32_t>& out) {
        const auto bytes = mul(count, CELL);
        if (!bytes || *bytes > left()) return false;
        out.resize(static_cast<std::size_t>(count));
        return in_.read(std::as_writable_bytes(std::span(out)));
    }

    std::optional<std::uint32_t> cell() {
        std::uint32_t value = 0;
        if (!in_.value(value)) return std::nullopt;
        return value;
    }

private:
    ByteInput& in_;
};

// Rows of `stride` cells with their counts: a count fits its row, the counted
// entries are links into the store (or free), the rest is free.
std::optional<GraphError> check_rows(std::span<const std::uint32_t> counts, std::span<const std::uint32_t> cells,
                                     std::size_t stride, std::size_t slot_count) noexcept {
    for (std::size_t r = 0; r < counts.size(); ++r) {
        if (counts[r] > stride) return GraphError::BadCount;
        const std::uint32_t* row = cells.data() + r * stride;
        for (std::size_t i = 0; i < stride; ++i) {
            const bool fits = i < counts[r] ? row[i] < slot_count || row[i] == EMPTY_LINK : row[i] == EMPTY_LINK;
            if (!fits) return GraphError::BadLink;
        }
    }
    return std::nullopt;
}

}  // namespace

struct HnswGraphCodec {
    static void encode(const HnswGraph& g, ByteSink& w) {
        std::array<std::byte, GRAPH_HEADER_BYTES> header{};
        std::memcpy(header.data(), MAGIC, sizeof MAGIC);
        HeaderFields f(header);
        const auto rule = static_cast<std::uint32_t>(g.link_rule_);
        f.put(rule == 0 ? std::uint32_t{1} : GRAPH_FORMAT_VERSION);
        f.put(rule);
        f.put(std::uint64_t{g.slot_count()});
        f.put(g.m_);
        f.put(g.ef_construction_);
        f.put(g.rng_state_);
        f.put(g.entry_point_.value_or(EMPTY_LINK));
        f.put(static_cast<std::uint32_t>(g.upper_nodes_.size()));
        // Strides are below the slot count, itself below EMPTY_LINK.
        f.put(static_cast<std::uint32_t>(g.layer0_stride_));
        f.put(static_cast<std::uint32_t>(g.upper_stride_));
        w.write(header);
        w.values(std::span(g.layer0_counts_));
        w.values(std::span(g.layer0_neighbours_));
        for (std::size_t l = 0; l < g.upper_nodes_.size(); ++l) {
            w.value(static_cast<std::uint32_t>(g.upper_nodes_[l].size()));
            w.values(std::span(g.upper_nodes_[l]));
            w.values(std::span(g.upper_counts_[l]));
            w.values(std::span(g.upper_neighbours_[l]));
        }
    }

    static std::expected<HnswGraph, GraphError> decode(ByteInput& in, std::size_t slot_count) {
        using Fail = std::unexpected<GraphError>;
        std::array<std::byte, GRAPH_HEADER_BYTES> header;
        if (!in.read(header)) return Fail(GraphError::Truncated);
        if (std::memcmp(header.data(), MAGIC, sizeof MAGIC) != 0) return Fail(GraphError::BadMagic);
        HeaderFields f(header);
        const auto version = f.get<std::uint32_t>();
        if (version == 0 || version > GRAPH_FORMAT_VERSION) return Fail(GraphError::UnsupportedVersion);
        const auto rule = f.get<std::uint32_t>();
        if (version == 1 && rule != 0) return Fail(GraphError::ReservedNotZero);
        // A graph is written in the lowest version that holds its rule, so the
        // bytes read back are the bytes written.
        if (version == 2 && rule != static_cast<std::uint32_t>(LinkRule::KeepWayIn)) {
            return Fail(GraphError::BadLinkRule);
        }
        const auto slots = f.get<std::uint64_t>();
        const auto m = f.get<std::uint64_t>();
        const auto ef_construction = f.get<std::uint64_t>();
        const auto rng_state = f.get<std::uint64_t>();
        const auto entry = f.get<std::uint32_t>();
        const auto top_level = f.get<std::uint32_t>();
        const auto layer0_stride = f.get<std::uint32_t>();
        const auto upper_stride = f.get<std::uint32_t>();

        if (slots != slot_count || slot_count > EMPTY_LINK) return Fail(GraphError::SlotCountMismatch);
        // A graph raises m to 2 when it is laid out, so a written m is never lower.
        if (m < 2) return Fail(GraphError::BadM);
        // The reader takes what a build takes: extending a loaded graph
        // walks ef_construction candidates.
        if (ef_construction < 1) return Fail(GraphError::BadEfConstruction);
        // No tables yet: m0, the level multiplier and the strides come from
        // the graph's own rules, not from the bytes.
        HnswGraph g(0, m, ef_construction, static_cast<LinkRule>(rule));
        g.layer0_stride_ = HnswGraph::stride_for(g.m0_, slot_count);
        g.upper_stride_ = HnswGraph::stride_for(g.m_, slot_count);
        if (layer0_stride != g.layer0_stride_ || upper_stride != g.upper_stride_) return Fail(GraphError::BadStride);
        // xorshift never leaves zero, and never reaches it from anything else.
        if (rng_state == 0) return Fail(GraphError::BadRngState);
        g.rng_state_ = rng_state;
        if (top_level > MAX_LEVEL || (entry == EMPTY_LINK && top_level != 0)) return Fail(GraphError::BadTopLevel);
        if (entry != EMPTY_LINK && entry >= slot_count) return Fail(GraphError::BadEntryPoint);

        Reader r(in);
        const auto layer0_cells = mul(slot_count, layer0_stride);
        if (!layer0_cells || !r.cells(slot_count, g.layer0_counts_) || !r.cells(*layer0_cells, g.layer0_neighbours_)) {
            return Fail(GraphError::Truncated);
        }
        if (const auto bad = check_rows(g.layer0_counts_, g.layer0_neighbours_, layer0_stride, slot_count)) {
            return Fail(*bad);
        }

        for (std::uint32_t layer = 1; layer <= top_level; ++layer) {
            const auto members = r.cell();
            if (!members) return Fail(GraphError::Truncated);
            const auto cells = mul(*members, upper_stride);
            std::vector<std::uint32_t> nodes, counts, links;
            if (!cells || !r.cells(*members, nodes) || !r.cells(*members, counts) || !r.cells(*cells, links)) {
                return Fail(GraphError::Truncated);
            }
            // Rows are found by binary search over the members; a layer exists
            // only because some node drew its level.
            if (nodes.empty() || nodes.back() >= slot_count ||
                std::adjacent_find(nodes.begin(), nodes.end(), std::greater_equal<>()) != nodes.end()) {
                return Fail(GraphError::BadMembers);
            }
            // A node on a layer is on every layer below it.
            if (layer > 1 && !std::includes(g.upper_nodes_.back().begin(), g.upper_nodes_.back().end(), nodes.begin(),
                                            nodes.end())) {
                return Fail(GraphError::LayersNotNested);
            }
            if (const auto bad = check_rows(counts, links, upper_stride, slot_count)) return Fail(*bad);
            g.upper_nodes_.push_back(std::move(nodes));
            g.upper_counts_.push_back(std::move(counts));
            g.upper_neighbours_.push_back(std::move(links));
        }
        if (r.left() != 0) return Fail(GraphError::TrailingBytes);

        // Searches start at the entry point on the top layer.
        if (top_level > 0 && !std::binary_search(g.upper_nodes_.back().begin(), g.upper_nodes_.back().end(), entry)) {
            return Fail(GraphError::BadEntryPoint);
        }
        if (entry != EMPTY_LINK) g.entry_point_ = entry;
        g.top_level_ = top_level;
        return g;
    }
};

std::string_view error_name(GraphError error) noexcept {
    switch (error) {
        case GraphError::Truncated: return "graph truncated";
        case GraphError::BadMagic: return "not a graph";
        case GraphError::UnsupportedVersion: return "graph format version not supported";
        case GraphError::ReservedNotZero: return "graph reserved field not zero";
        case GraphError::BadLinkRule: return "graph link rule unknown";
        case GraphError::SlotCountMismatch: return "graph slot count does not match the store";
        case GraphError::BadM: return "graph m below 2";
        case GraphError::BadEfConstruction: return "graph ef_construction below 1";
        case GraphError::BadStride: return "graph row stride does not match m and the slot count";
        case GraphError::BadRngState: return "graph level generator state invalid";
        case GraphError::BadTopLevel: return "graph top level invalid";
        case GraphError::BadEntryPoint: return "graph entry point invalid";
        case GraphError::BadMembers: return "graph layer members invalid";
        case GraphError::LayersNotNested: return "graph layers not nested";
        case GraphError::BadCount: return "graph row count above its stride";
        case GraphError::BadLink: return "graph link outside the store";
        case GraphError::TrailingBytes: return "graph has trailing bytes";
    }
    return "graph invalid";
}

void encode_graph(const HnswGraph& graph, ByteSink& out) { HnswGraphCodec::encode(graph, out); }

std::vector<std::byte> encode_graph(const HnswGraph& graph) {
    CountingSink size;
    encode_graph(graph, size);
    std::vector<std::byte> out;
    out.reserve(static_cast<std::size_t>(size.count()));
    VectorSink sink(out);
    encode_graph(graph, sink);
    return out;
}

std::expected<HnswGraph, GraphError> decode_graph(ByteInput& in, std::size_t slot_count) {
    try {
        return HnswGraphCodec::decode(in, slot_count);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

std::expected<HnswGraph, GraphError> decode_graph(std::span<const std::byte> bytes, std::size_t slot_count) {
    SpanInput in(bytes);
    return decode_graph(in, slot_count);
}

}  // namespace kestrix

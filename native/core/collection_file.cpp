#include "collection_file.hpp"

#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "codec.hpp"
#include "file_io.hpp"
#include "hnsw/graph_codec.hpp"
#include "side/side.hpp"

namespace kestrix::file {

namespace {

using Kind = container::SectionKind;

constexpr std::uint32_t kind_number(Kind kind) noexcept { return static_cast<std::uint32_t>(kind); }

// ---------------------------------------------------------------- writing

// Each section the collection has, in file order, as (kind, writer of its
// bytes): the one list of what a collection file holds.
template <class Each>
void each_section(const Collection& c, Each&& each) {
    each(Kind::Store, [&](ByteSink& out) { serialize(c.store(), out); });
    // A 384-dimensional store holds its codes (and kestrix.load reads it).
    if (c.dimension() != DIMENSION) {
        each(Kind::Codes, [&](ByteSink& out) { write_codes(c.store(), out); });
    }
    each(Kind::DocIds, [&](ByteSink& out) { out.values(c.doc_ids()); });
    if (c.side().kind() != side::SideKind::None) {
        each(Kind::Side, [&](ByteSink& out) { side::write_side(c.side().view(), out); });
    }
    if (const HnswGraph* graph = c.graph()) {
        each(Kind::Graph, [&](ByteSink& out) { encode_graph(*graph, out); });
    }
    // Only a metric other than the inner product is written, so the files of
    // such collections stay what they were, and a reader that does not know
    // the section refuses the file instead of rescoring it wrongly.
    if (c.metric() != side::Metric::InnerProduct) {
        each(Kind::Metric, [&](ByteSink& out) { out.value(static_cast<std::uint32_t>(c.metric())); });
    }
}

// ---------------------------------------------------------------- reading

// What one section said: the part it holds, or what is wrong with it.
template <class T>
using Read = std::expected<T, std::string>;

std::string with_section(std::string_view section, std::string_view problem) {
    std::string message(section);
    message += ": ";
    message += problem;
    return message;
}

Read<StoreSlots> read_store(ByteInput& in) {
    auto store = read_store_slots(in);
    if (!store) {
        std::string message = "store section error: ";
        message += error_name(store.error());
        return std::unexpected(std::move(message));
    }
    // The section is exactly the store: nothing may follow it unread.
    if (in.left() != 0) return std::unexpected(with_section("store section", "bytes follow the store"));
    return std::move(*store);
}

Read<Codes> read_codes_section(ByteInput& in) {
    auto codes = read_codes(in);
    if (!codes) return std::unexpected(with_section("codes section", codes_error_name(codes.error())));
    return std::move(*codes);
}

Read<std::vector<std::uint64_t>> read_doc_ids(ByteInput& in) {
    if (in.left() % sizeof(std::uint64_t) != 0) {
        return std::unexpected(with_section("document id section", "its length is not a multiple of 8 bytes"));
    }
    std::vector<std::uint64_t> ids(static_cast<std::size_t>(in.left() / sizeof(std::uint64_t)));
    in.read(std::as_writable_bytes(std::span(ids)));
    return ids;
}

// The rows are read into memory of the side's own, or, given a section of a
// source in memory and an owner, used where they lie.
Read<side::SideStore> read_side(ByteInput& in, container::SectionInput* placed,
                                const std::shared_ptr<const void>& owner) {
    const auto fail = [](side::SideError error) {
        return std::unexpected(with_section("side section", side::side_error_name(error)));
    };
    std::array<std::byte, side::SIDE_HEADER_BYTES> raw;
    if (!in.read(raw)) return fail(side::SideError::Truncated);
    const auto header = side::read_side_header(raw, in.left());
    if (!header) return fail(header.error());
    const std::uint64_t body = in.left();
    if (placed != nullptr && owner) {
        if (const auto rows = placed->in_place(body)) {
            const side::SideView view{header->kind, header->dim, *rows, header->count};
            if (const auto checked = side::check_rows(view); !checked) return fail(checked.error());
            return side::SideStore::in_place(view, owner);
        }
    }
    std::vector<std::byte> rows(static_cast<std::size_t>(body));
    in.read(rows);
    if (const auto checked = side::check_rows({header->kind, header->dim, rows, header->count}); !checked) {
        return fail(checked.error());
    }
    return side::SideStore::from_rows(header->kind, header->dim, std::move(rows), header->count);
}

// One little-endian u32: the metric's number.
Read<side::Metric> read_metric(ByteInput& in) {
    std::uint32_t number = 0;
    if (in.left() != sizeof number || !in.value(number)) {
        return std::unexpected(with_section("metric section", "its length is not 4 bytes"));
    }
    if (number != static_cast<std::uint32_t>(side::Metric::Cosine)) {
        return std::unexpected(with_section("metric section", "unknown metric " + std::to_string(number)));
    }
    return static_cast<side::Metric>(number);
}

Read<HnswGraph> read_graph(ByteInput& in, std::size_t slot_count) {
    auto graph = decode_graph(in, slot_count);
    if (!graph) return std::unexpected(with_section("graph section", error_name(graph.error())));
    return std::move(*graph);
}

// The parts a file or a caller handed over, each as its section said; absent
// when there was no such section.
struct Parts {
    std::optional<Read<StoreSlots>> store;
    std::optional<Read<Codes>> codes;
    std::optional<Read<std::vector<std::uint64_t>>> doc_ids;
    std::optional<Read<side::SideStore>> side;
    std::optional<Read<HnswGraph>> graph;
    std::optional<Read<side::Metric>> metric;
};

// The graph is read against the store's slot count; without a readable store
// there is nothing to read it against (and the store's problem is told first).
std::optional<std::size_t> store_slots(const Parts& parts) noexcept {
    if (!parts.store || !*parts.store) return std::nullopt;
    return (*parts.store)->ids.size();
}

// The store of the slots and their codes: a 384-dimensional store holds its
// own, any other has them in a codes section, one code a slot.
Read<VectorStore> store_of(StoreSlots slots, std::optional<Read<Codes>> codes) {
    if (slots.version != SLOTS_FORMAT_VERSION) {
        if (codes) return std::unexpected(with_section("codes section", "the store holds its own codes"));
        return VectorStore::from_slots(DIMENSION, std::move(slots.codes), std::move(slots.ids),
                                       std::move(slots.timestamps));
    }
    if (!codes) return std::unexpected(std::string("collection file: no codes section for the store's slots"));
    if (!*codes) return std::unexpected(std::move(codes->error()));
    if ((*codes)->count != slots.ids.size()) {
        return std::unexpected(with_section("codes section", "codes do not match the slot count"));
    }
    return VectorStore::from_slots((*codes)->dim, std::move((*codes)->words), std::move(slots.ids),
                                   std::move(slots.timestamps));
}

// The collection of the parts, or the first problem in a fixed order: the
// store, its codes, the ids, the side, the metric, the ids against the store,
// the graph.
Read<Collection> assemble(Parts parts) {
    if (!*parts.store) return std::unexpected(std::move(parts.store->error()));
    auto store = store_of(std::move(**parts.store), std::move(parts.codes));
    if (!store) return std::unexpected(std::move(store.error()));
    Read<std::vector<std::uint64_t>>& doc_ids = *parts.doc_ids;
    if (!doc_ids) return std::unexpected(std::move(doc_ids.error()));
    if (doc_ids->size() != store->size()) {
        return std::unexpected(with_section("document id section", "document ids do not match the slot count"));
    }
    std::optional<side::SideStore> side;
    if (parts.side) {
        if (!*parts.side) return std::unexpected(std::move(parts.side->error()));
        if ((*parts.side)->size() != store->size()) {
            return std::unexpected(with_section("side section", "side rows do not match the slot count"));
        }
        if ((*parts.side)->kind() != side::SideKind::None && (*parts.side)->dimension() != store->dimension()) {
            return std::unexpected(with_section("side section", "side rows do not match the dimension"));
        }
        side = std::move(**parts.side);
    }
    auto metric = side::Metric::InnerProduct;
    if (parts.metric) {
        if (!*parts.metric) return std::unexpected(std::move(parts.metric->error()));
        metric = **parts.metric;
    }
    std::optional<HnswGraph> graph;
    if (parts.graph && *parts.graph) graph = std::move(**parts.graph);
    auto collection =
        Collection::from_parts(std::move(*store), std::move(*doc_ids), std::move(side), std::move(graph), metric);
    if (!collection) return std::unexpected(with_section("document id section", collection.error()));
    if (parts.graph && !*parts.graph) return std::unexpected(std::move(parts.graph->error()));
    return std::move(*collection);
}

}  // namespace

// ---------------------------------------------------------------- writing

void write_collection(const Collection& collection, ByteSink& out) {
    container::Writer writer(out);
    each_section(collection, [&](Kind kind, auto&& write) {
        writer.begin(kind_number(kind));
        write(writer);
        writer.end();
    });
    writer.finish();
}

std::uint64_t collection_file_size(const Collection& collection) {
    std::vector<std::uint64_t> lengths;
    each_section(collection, [&](Kind, auto&& write) {
        CountingSink counted;
        write(counted);
        lengths.push_back(counted.count());
    });
    return container::file_size(lengths);
}

std::expected<void, int> write_collection(const GuardedCollection& guarded, int fd) {
    try {
        DescriptorSink sink(fd);
        std::shared_lock lock(guarded.mutex);
        write_collection(guarded.collection, sink);
        sink.flush();
        return {};
    } catch (const IoError& error) {
        return std::unexpected(error.error);
    }
}

std::vector<std::byte> collection_file_bytes(const GuardedCollection& guarded) {
    std::shared_lock lock(guarded.mutex);
    std::vector<std::byte> bytes;
    bytes.reserve(static_cast<std::size_t>(collection_file_size(guarded.collection)));
    VectorSink sink(bytes);
    write_collection(guarded.collection, sink);
    return bytes;
}

// ---------------------------------------------------------------- reading

std::expected<Collection, ReadError> read_collection(container::Source& file, const ReadOptions& options) {
    Parts parts;
    std::optional<std::uint32_t> repeated;
    const auto visit = [&](std::uint32_t, std::uint32_t kind, std::uint32_t, container::SectionInput& in) {
        // Kinds this reader does not know were flagged skippable by their
        // writer (the container refuses the others): not the collection's.
        if (!container::is_known_kind(kind)) return;
        const bool seen =
            (kind == kind_number(Kind::Store) && parts.store) || (kind == kind_number(Kind::DocIds) && parts.doc_ids) ||
            (kind == kind_number(Kind::Side) && parts.side) || (kind == kind_number(Kind::Graph) && parts.graph) ||
            (kind == kind_number(Kind::Codes) && parts.codes) || (kind == kind_number(Kind::Metric) && parts.metric);
        if (seen) {
            if (!repeated) repeated = kind;
            return;
        }
        switch (static_cast<Kind>(kind)) {
            case Kind::Store: parts.store = read_store(in); break;
            case Kind::Codes: parts.codes = read_codes_section(in); break;
            case Kind::Metric: parts.metric = read_metric(in); break;
            case Kind::DocIds: parts.doc_ids = read_doc_ids(in); break;
            case Kind::Side: parts.side = read_side(in, &in, options.side_owner); break;
            case Kind::Graph:
                // The store is the first section of any container, so its
                // slot count is known here when there is one.
                if (const auto slots = store_slots(parts)) parts.graph = read_graph(in, *slots);
                break;
        }
    };
    const auto fail = [](std::string message) { return std::unexpected(ReadError{0, std::move(message)}); };
    try {
        const auto read = container::read(file, visit);
        if (!read) return fail(container::describe(read.error()));
    } catch (const IoError& error) {
        return std::unexpected(ReadError{error.error, {}});
    }
    if (repeated) return fail("collection file: section " + std::to_string(*repeated) + " appears twice");
    if (!parts.store) return fail("collection file: no store section");
    if (!parts.doc_ids) return fail("collection file: no document id section, not a collection");
    auto collection = assemble(std::move(parts));
    if (!collection) return fail(std::move(collection.error()));
    return std::move(*collection);
}

std::expected<Collection, ReadError> load_collection(const char* path, bool map_side) {
    auto file = ReadFile::open(path);
    if (!file && file.error() == NOT_A_REGULAR_FILE) return std::unexpected(ReadError{0, "not a regular file"});
    if (!file) return std::unexpected(ReadError{file.error(), {}});
    ReadOptions options;
    if (map_side) {
        auto mapping = file->map();
        if (!mapping) return std::unexpected(ReadError{mapping.error(), {}});
        options.side_owner = std::move(*mapping);
    }
    return read_collection(*file, options);
}

std::expected<Collection, std::string> collection_of_sections(const SectionBytes& sections) {
    Parts parts;
    SpanInput store(sections.store);
    parts.store = read_store(store);
    if (sections.codes) {
        SpanInput codes(*sections.codes);
        parts.codes = read_codes_section(codes);
    }
    SpanInput doc_ids(sections.doc_ids);
    parts.doc_ids = read_doc_ids(doc_ids);
    if (sections.side) {
        SpanInput side(*sections.side);
        parts.side = read_side(side, nullptr, nullptr);
    }
    if (sections.metric) {
        SpanInput metric(*sections.metric);
        parts.metric = read_metric(metric);
    }
    if (const auto slots = store_slots(parts); sections.graph && slots) {
        SpanInput graph(*sections.graph);
        parts.graph = read_graph(graph, *slots);
    }
    return assemble(std::move(parts));
}

}  // namespace kestrix::file

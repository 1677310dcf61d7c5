// kestrix._native's constants: every number and default the package's Python
// layers need, defined once in the core and read from here, never written
// again in Python. Also store_form, the layout of a store's bytes.
#include <array>
#include <string_view>

#include "codec.hpp"
#include "collection.hpp"
#include "collection_log.hpp"
#include "container.hpp"
#include "defaults.hpp"
#include "frame.hpp"
#include "native_parts.hpp"

namespace kestrix::python {
namespace {

struct Constant {
    const char* name;
    std::uint64_t value;
};

constexpr Constant CONSTANTS[] = {
    // Components of every vector of a Kestrix, and the default of a Collection.
    {"DIMENSION", DIMENSION},
    // The most components a Collection's vectors may have.
    {"MAX_DIMENSION", kernels::MAX_CODE_DIMENSION},
    // The id word's deleted mark, and the largest id a Kestrix keeps below it.
    {"TOMBSTONE_BIT", TOMBSTONE_BIT},
    {"MAX_DOC_ID", TOMBSTONE_BIT - 1},
    // The largest document id of a Collection (results are int64, -1 pads).
    {"MAX_DOCUMENT_ID", MAX_DOCUMENT_ID},
    {"DEFAULT_M", DEFAULT_M},
    {"DEFAULT_EF_CONSTRUCTION", DEFAULT_EF_CONSTRUCTION},
    {"DEFAULT_K", DEFAULT_K},
    {"DEFAULT_EF", DEFAULT_EF},
    {"DEFAULT_OVERSAMPLE", DEFAULT_OVERSAMPLE},
    // A padded answer's distance in Collection._search_distances.
    {"NO_DISTANCE", static_cast<std::uint64_t>(NO_DISTANCE)},
    // Where a store's id words start in its bytes (store_form gives the rest).
    {"ID_WORDS_OFFSET", store_layout(FORMAT_VERSION, 0).ids_at},
    // The sections of a file.
    {"STORE_SECTION", static_cast<std::uint32_t>(container::SectionKind::Store)},
    {"DOC_IDS_SECTION", static_cast<std::uint32_t>(container::SectionKind::DocIds)},
    {"GRAPH_SECTION", static_cast<std::uint32_t>(container::SectionKind::Graph)},
    {"SIDE_SECTION", static_cast<std::uint32_t>(container::SectionKind::Side)},
    {"CODES_SECTION", static_cast<std::uint32_t>(container::SectionKind::Codes)},
    {"METRIC_SECTION", static_cast<std::uint32_t>(container::SectionKind::Metric)},
};

bool add_constant(PyObject* module, const char* name, PyObject* value) noexcept {
    if (value == nullptr) return false;
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return false;
    }
    return true;
}

// {kind: name} of the sections a file may hold.
PyObject* section_names() noexcept {
    PyRef names(PyDict_New());
    if (!names) return nullptr;
    for (const auto& [kind, name] : container::SECTION_NAMES) {
        PyRef key(PyLong_FromUnsignedLong(static_cast<std::uint32_t>(kind)));
        PyRef text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key || !text || PyDict_SetItem(names.get(), key.get(), text.get()) < 0) return nullptr;
    }
    return names.release();
}

// (version, slots, ids_at, timestamps_at, vectors_at, end) of the store at
// the start of `data`: where each array lies and where the store ends.
// ValueError "deserialize error: CorruptedData" when no store header is there.
PyObject* store_form(PyObject*, PyObject* data) noexcept {
    const auto bytes = extract_bytes(data, "data");
    if (!bytes) return nullptr;
    const auto header = read_store_header(*bytes);
    if (!header) return raise_store_error(PyExc_ValueError, "deserialize", header.error());
    const StoreLayout layout = store_layout(header->version, header->slots);
    return Py_BuildValue(
        "(kkKKKK)", static_cast<unsigned long>(header->version), static_cast<unsigned long>(header->slots),
        static_cast<unsigned long long>(layout.ids_at), static_cast<unsigned long long>(layout.timestamps_at),
        static_cast<unsigned long long>(layout.vectors_at), static_cast<unsigned long long>(layout.end));
}

// (dimension, codes) a codes section announces, checked against its length;
// ValueError "codes section: <problem>" when it is no such section.
PyObject* codes_form(PyObject*, PyObject* data) noexcept {
    const auto bytes = extract_bytes(data, "data");
    if (!bytes) return nullptr;
    const auto header = bytes->size() < CODES_HEADER_BYTES
                            ? std::unexpected(CodesError::Truncated)
                            : read_codes_header(bytes->first<CODES_HEADER_BYTES>(), bytes->size() - CODES_HEADER_BYTES);
    if (!header) {
        const std::string_view problem = codes_error_name(header.error());
        return PyErr_Format(PyExc_ValueError, "codes section: %.*s", static_cast<int>(problem.size()), problem.data());
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(header->dim), static_cast<Py_ssize_t>(header->count));
}

PyMethodDef constant_functions[] = {
    {"store_form", store_form, METH_O,
     "store_form(data, /)\n--\n\n(version, slots, ids_at, timestamps_at, vectors_at, end) of the store at the "
     "start of data."},
    {"codes_form", codes_form, METH_O,
     "codes_form(data, /)\n--\n\n(dimension, codes) of the codes section data, checked against its length."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_constants_part(PyObject* module) noexcept {
    for (const Constant& c : CONSTANTS) {
        if (!add_constant(module, c.name, PyLong_FromUnsignedLongLong(c.value))) return false;
    }
    if (!add_constant(module, "SECTION_NAMES", section_names())) return false;
    // The tag of a durable collection's logs, for the package's recovery.
    const std::string_view tag = durable::LOG_TAG;
    if (!add_constant(module, "COLLECTION_LOG_TAG",
                      PyUnicode_FromStringAndSize(tag.data(), static_cast<Py_ssize_t>(tag.size())))) {
        return false;
    }
    return PyModule_AddFunctions(module, constant_functions) == 0;
}

}  // namespace kestrix::python

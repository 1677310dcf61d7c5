// kestrix._native.Collection's file methods: the binding of the core's
// collection file (collection_file.hpp). The package keeps the paths and the
// atomic replacement of a file; everything about the bytes is the core's.
//
//   _write_file(fd)                       the file, written to a descriptor
//   _file_bytes()                         the file as bytes
//   _graph_section()                      the graph's section, or None
//   _load_file(path, threads, mmap_side)  a collection read from a file
//   _read_file_bytes(data, threads)       the same from bytes in memory
//   _from_sections(store, doc_ids, threads, graph, side, codes)
//                                         the same from sections one by one
//
// A file that is not a readable collection raises ValueError saying what is
// wrong with it (the package adds the file's name); a failed system call
// raises OSError.
#include <cerrno>
#include <optional>
#include <utility>

#include "collection_file.hpp"
#include "collection_object.hpp"
#include "hnsw/graph_codec.hpp"
#include "thread_pool.hpp"

namespace kestrix::python {

namespace {

PyObject* bytes_of(std::span<const std::byte> bytes) noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

// None, or the bytes of a section given as such.
bool optional_bytes(PyObject* object, const char* name, std::optional<std::span<const std::byte>>& out) {
    if (object == nullptr || object == Py_None) return true;
    const auto bytes = extract_bytes(object, name);
    if (!bytes) return false;
    out = *bytes;
    return true;
}

PyObject* instance_or_error(PyObject* cls, std::size_t threads, std::expected<Collection, file::ReadError> read,
                            PyObject* path) noexcept {
    if (!read) {
        if (read.error().os_error != 0) {
            errno = read.error().os_error;
            return path != nullptr ? PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path)
                                   : PyErr_SetFromErrno(PyExc_OSError);
        }
        return raise(PyExc_ValueError, read.error().message);
    }
    return make_instance(reinterpret_cast<PyTypeObject*>(cls), threads, std::move(*read));
}

constexpr const char* WRITE_FILE_PARAMETERS[] = {"fd"};
constexpr MethodSignature WRITE_FILE_SIGNATURE{"Collection", "_write_file", WRITE_FILE_PARAMETERS, 1};

constexpr const char* LOAD_FILE_PARAMETERS[] = {"path", "threads", "mmap_side"};
constexpr MethodSignature LOAD_FILE_SIGNATURE{"Collection", "_load_file", LOAD_FILE_PARAMETERS, 1};

constexpr const char* READ_FILE_BYTES_PARAMETERS[] = {"data", "threads"};
constexpr MethodSignature READ_FILE_BYTES_SIGNATURE{"Collection", "_read_file_bytes", READ_FILE_BYTES_PARAMETERS, 1};

constexpr const char* FROM_SECTIONS_PARAMETERS[] = {"store", "doc_ids", "threads", "graph", "side", "codes", "metric"};
constexpr MethodSignature FROM_SECTIONS_SIGNATURE{"Collection", "_from_sections", FROM_SECTIONS_PARAMETERS, 2};

}  // namespace

// One state of the collection, under its read lock taken with the
// interpreter lock released: a save racing a change writes the collection as
// it was before the change or after it, never a mixture.
PyObject* collection_write_file(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(WRITE_FILE_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto fd = extract_count(a[0], "fd", 0);
        if (!fd) return nullptr;
        if (*fd > static_cast<std::uint64_t>(INT32_MAX)) return raise(PyExc_ValueError, "fd is not a descriptor");
        GuardedCollection& state = state_of(self);
        const auto written = without_interpreter([&] { return file::write_collection(state, static_cast<int>(*fd)); });
        if (!written) {
            errno = written.error();
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        Py_RETURN_NONE;
    });
}

PyObject* collection_file_bytes(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            GuardedCollection& state = state_of(self);
            const auto bytes = without_interpreter([&] { return file::collection_file_bytes(state); });
            return bytes_of(bytes);
        },
        nullptr);
}

PyObject* collection_graph_section(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            const auto bytes = read_locked(self, [](const Collection& c) {
                return c.graph() != nullptr ? std::optional(encode_graph(*c.graph())) : std::nullopt;
            });
            if (!bytes) Py_RETURN_NONE;
            return bytes_of(*bytes);
        },
        nullptr);
}

PyObject* collection_load_file(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(LOAD_FILE_SIGNATURE, Access::None, nullptr, args, kwargs, [cls](ArgumentSlots& a) -> PyObject* {
        PyRef encoded(PyUnicode_EncodeFSDefault(a[0]));
        if (!encoded) return nullptr;
        const char* path = PyBytes_AsString(encoded.get());
        if (path == nullptr) return nullptr;
        const auto threads = read_threads(a[1], usable_cores());
        if (!threads) return nullptr;
        const int map_side = a[2] != nullptr ? PyObject_IsTrue(a[2]) : 0;
        if (map_side < 0) return nullptr;
        auto read = without_interpreter([&] { return file::load_collection(path, map_side != 0); });
        return instance_or_error(cls, *threads, std::move(read), a[0]);
    });
}

PyObject* collection_read_file_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(READ_FILE_BYTES_SIGNATURE, Access::None, nullptr, args, kwargs,
                      [cls](ArgumentSlots& a) -> PyObject* {
                          const auto data = extract_bytes(a[0], "data");
                          if (!data) return nullptr;
                          const auto threads = read_threads(a[1], usable_cores());
                          if (!threads) return nullptr;
                          // The bytes object is immutable and held by the call.
                          auto read = without_interpreter([&] {
                              container::MemorySource source(*data);
                              return file::read_collection(source);
                          });
                          return instance_or_error(cls, *threads, std::move(read), nullptr);
                      });
}

PyObject* collection_from_sections(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(
        FROM_SECTIONS_SIGNATURE, Access::None, nullptr, args, kwargs, [cls](ArgumentSlots& a) -> PyObject* {
            file::SectionBytes sections;
            const auto store = extract_bytes(a[0], "store");
            if (!store) return nullptr;
            const auto doc_ids = extract_bytes(a[1], "doc_ids");
            if (!doc_ids) return nullptr;
            sections.store = *store;
            sections.doc_ids = *doc_ids;
            const auto threads = read_threads(a[2], usable_cores());
            if (!threads) return nullptr;
            if (!optional_bytes(a[3], "graph", sections.graph) || !optional_bytes(a[4], "side", sections.side) ||
                !optional_bytes(a[5], "codes", sections.codes) || !optional_bytes(a[6], "metric", sections.metric)) {
                return nullptr;
            }
            auto read = file::collection_of_sections(sections);
            if (!read) return raise(PyExc_ValueError, read.error());
            return make_instance(reinterpret_cast<PyTypeObject*>(cls), *threads, std::move(*read));
        });
}

}  // namespace kestrix::python

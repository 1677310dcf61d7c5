// The _kestrix module: the Kestrix type, its method table and docstrings. Each
// method is one signature record and one small body run inside the frame.

#include <new>
#include <utility>

#include "codec.hpp"
#include "defaults.hpp"
#include "frame.hpp"
#include "quantized.hpp"
#include "query.hpp"
#include "scan.hpp"
#include "store.hpp"

namespace kestrix::python {
namespace {

// ---------------------------------------------------------------- docstrings

#define KESTRIX_MODULE_DOC                                                             \
    "Kestrix \xE2\x80\x94 1-bit quantised vector database, compiled to native code.\n" \
    "\n"                                                                               \
    "Loaded as `kestrix._kestrix` so the top-level `kestrix` package\n"                \
    "can be a regular Python package with `__init__.py` and `langchain.py`\n"          \
    "alongside this native extension."

#define KESTRIX_CLASS_DOC                                                             \
    "Kestrix()\n--\n\n"                                                               \
    "A 1-bit quantised vector database.\n"                                            \
    "\n"                                                                              \
    "Vectors must be 384-dimensional float arrays.  Internally they are quantised\n"  \
    "to 384 bits (12 \xC3\x97 u32) via sign-binarisation and compared with Hamming\n" \
    "distance, giving ~96 % RAM reduction versus raw f32.\n"                          \
    "\n"                                                                              \
    "Example::\n"                                                                     \
    "\n"                                                                              \
    "    import kestrix\n"                                                            \
    "    db = kestrix.Kestrix()\n"                                                    \
    "    db.insert(0, [0.1] * 384)\n"                                                 \
    "    results = db.search([0.1] * 384, k=5)"

#define RESULTS_DOC ":returns: List of ``(doc_id, score)`` tuples, score \xE2\x88\x88 [0, 1], descending."

constexpr const char WITH_CAPACITY_DOC[] =
    "with_capacity(capacity)\n--\n\n"
    "Create a database pre-allocated for `capacity` vectors.\n"
    "\n"
    "Pre-allocation keeps memory addresses stable after bulk inserts, and\n"
    "enables tombstone recycling once the store is full.";

constexpr const char INSERT_DOC[] =
    "insert($self, id, vector)\n--\n\n"
    "Insert a single 384-dim float vector with the given integer `id`.\n"
    "\n"
    "The vector is quantised to 384 bits in-place.\n"
    "Raises ``ValueError`` if the vector is not 384-dimensional.\n"
    "Raises ``RuntimeError`` if the pre-allocated capacity is full with no\n"
    "tombstone slots available for recycling.";

constexpr const char DELETE_DOC[] =
    "delete($self, id)\n--\n\n"
    "Soft-delete the vector with the given ``id``.\n"
    "\n"
    "Returns ``True`` if the vector was found and tombstoned.";

constexpr const char IS_EMPTY_DOC[] =
    "is_empty($self)\n--\n\n"
    "``True`` if the store has no slots at all.";

constexpr const char BUILD_INDEX_DOC[] =
    "build_index($self, m=16, ef_construction=200)\n--\n\n"
    "Build (or rebuild) the HNSW approximate nearest-neighbour index.\n"
    "\n"
    "Call this after a bulk ``insert`` sequence for faster subsequent searches.\n"
    "\n"
    ":param m: Max connections per node per layer (default 16).\n"
    ":param ef_construction: Exploration factor during build (default 200).";

constexpr const char HAS_INDEX_DOC[] =
    "has_index($self)\n--\n\n"
    "``True`` if an HNSW index has been built.";

constexpr const char SEARCH_DOC[] =
    "search($self, query, k, ef=50)\n--\n\n"
    "Search for the ``k`` nearest neighbours of ``query``.\n"
    "\n"
    "Uses the HNSW index when available, falls back to brute-force scan\n"
    "otherwise.\n"
    "\n"
    ":param query: 384-dim float list/array.\n"
    ":param k: Number of results.\n"
    ":param ef: HNSW exploration factor (ignored for brute-force). Default 50.\n" RESULTS_DOC;

constexpr const char SEARCH_SCAN_DOC[] =
    "search_scan($self, query, k)\n--\n\n"
    "Brute-force KNN scan (always available, no index required).\n"
    "\n" RESULTS_DOC;

constexpr const char RUN_GC_DOC[] =
    "run_gc($self, ttl_ms)\n--\n\n"
    "Tombstone all vectors older than ``ttl_ms`` milliseconds.\n"
    "\n"
    "Ages are measured against the system clock, which is read internally.\n"
    "\n"
    ":returns: Number of vectors tombstoned.";

constexpr const char COMPACT_DOC[] =
    "compact($self)\n--\n\n"
    "Remove all tombstone slots and compact the backing arrays.\n"
    "\n"
    "**Warning**: slot indices change after compaction \xE2\x80\x94 the HNSW index is\n"
    "cleared and must be rebuilt.\n"
    "\n"
    ":returns: Number of slots freed.";

constexpr const char SERIALIZE_DOC[] =
    "serialize($self)\n--\n\n"
    "Serialise the database to ``bytes`` for persistence.\n"
    "\n"
    "The result can be written to disk and later restored with\n"
    ":meth:`deserialize`.";

constexpr const char DESERIALIZE_DOC[] =
    "deserialize(data)\n--\n\n"
    "Restore a database from bytes produced by :meth:`serialize`.\n"
    "\n"
    "Raises ``ValueError`` on malformed input.";

// ---------------------------------------------------------------- signatures

constexpr const char* NO_PARAMETERS[] = {nullptr};
constexpr const char* CAPACITY_PARAMETERS[] = {"capacity"};
constexpr const char* INSERT_PARAMETERS[] = {"id", "vector"};
constexpr const char* DELETE_PARAMETERS[] = {"id"};
constexpr const char* BUILD_INDEX_PARAMETERS[] = {"m", "ef_construction"};
constexpr const char* SEARCH_PARAMETERS[] = {"query", "k", "ef"};
constexpr const char* SEARCH_SCAN_PARAMETERS[] = {"query", "k"};
constexpr const char* RUN_GC_PARAMETERS[] = {"ttl_ms"};
constexpr const char* DESERIALIZE_PARAMETERS[] = {"data"};

constexpr MethodSignature NEW_SIGNATURE{"Kestrix", "__new__", std::span(NO_PARAMETERS, 0), 0};
constexpr MethodSignature WITH_CAPACITY_SIGNATURE{"Kestrix", "with_capacity", CAPACITY_PARAMETERS, 1};
constexpr MethodSignature INSERT_SIGNATURE{"Kestrix", "insert", INSERT_PARAMETERS, 2};
constexpr MethodSignature DELETE_SIGNATURE{"Kestrix", "delete", DELETE_PARAMETERS, 1};
constexpr MethodSignature BUILD_INDEX_SIGNATURE{"Kestrix", "build_index", BUILD_INDEX_PARAMETERS, 0};
constexpr MethodSignature SEARCH_SIGNATURE{"Kestrix", "search", SEARCH_PARAMETERS, 2};
constexpr MethodSignature SEARCH_SCAN_SIGNATURE{"Kestrix", "search_scan", SEARCH_SCAN_PARAMETERS, 2};
constexpr MethodSignature RUN_GC_SIGNATURE{"Kestrix", "run_gc", RUN_GC_PARAMETERS, 1};
constexpr MethodSignature DESERIALIZE_SIGNATURE{"Kestrix", "deserialize", DESERIALIZE_PARAMETERS, 1};

// Process-wide cells: created once, never cleared.
PyObject* module_cell = nullptr;
PyTypeObject* type_cell = nullptr;

// ---------------------------------------------------------------- instances

// The store is built first; if the object cannot be allocated the store is
// simply destroyed and the interpreter's exception stands.
PyObject* new_instance(VectorStore&& store) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_cell, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type_cell, 0);
    if (self == nullptr) return nullptr;
    KestrixObject& object = as_kestrix(self);
    new (&object.store) VectorStore(std::move(store));
    new (&object.queries) SearchContext();
    object.borrow_flag = 0;
    return self;
}

void kestrix_dealloc(PyObject* self) noexcept {
    as_kestrix(self).queries.~SearchContext();
    as_kestrix(self).store.~VectorStore();
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // heap types hold one reference per instance
}

PyObject* kestrix_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    ArgumentSlots slots{};
    if (!parse_arguments(NEW_SIGNATURE, args, kwargs, slots)) return nullptr;
    return new_instance(VectorStore());
}

Py_ssize_t kestrix_len(PyObject* self) noexcept {
    AccessGuard guard;
    if (!guard.acquire(self, Access::Shared)) return -1;
    return static_cast<Py_ssize_t>(as_kestrix(self).store.size());
}

VectorStore& store_of(PyObject* self) noexcept { return as_kestrix(self).store; }

// A length check shared by the vector- and query-taking methods.
PyObject* raise_dimension(const char* what, std::size_t got) noexcept {
    try {
        return raise(PyExc_ValueError,
                     "expected " + std::to_string(DIMENSION) + "-dim " + what + ", got " + std::to_string(got));
    } catch (...) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------- methods

PyObject* with_capacity(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(WITH_CAPACITY_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) {
        const auto capacity = extract_u64(a[0], "capacity");
        if (!capacity) return static_cast<PyObject*>(nullptr);
        return new_instance(VectorStore::with_capacity(*capacity));
    });
}

PyObject* insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(INSERT_SIGNATURE, Access::Exclusive, self, args, kwargs, [self](ArgumentSlots& a) {
        const auto id = extract_u32(a[0], "id");
        if (!id) return static_cast<PyObject*>(nullptr);
        const auto vector = extract_float_vector(a[1], "vector");
        if (!vector) return static_cast<PyObject*>(nullptr);
        if (vector->size() != DIMENSION) return raise_dimension("vector", vector->size());
        const QuantizedVector quantized = quantize(std::span<const float, DIMENSION>(vector->data(), DIMENSION));
        const auto slot = store_of(self).insert(*id, code_of(quantized), now_ms());
        if (!slot) return raise_store_error(PyExc_RuntimeError, "insert", slot.error());
        return PyLong_FromUnsignedLongLong(*slot);
    });
}

PyObject* delete_(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(DELETE_SIGNATURE, Access::Exclusive, self, args, kwargs, [self](ArgumentSlots& a) {
        const auto id = extract_u32(a[0], "id");
        if (!id) return static_cast<PyObject*>(nullptr);
        return to_python_bool(store_of(self).remove(*id));
    });
}

PyObject* is_empty(PyObject* self, PyObject*) noexcept {
    return run_noargs(Access::Shared, self, [self] { return to_python_bool(store_of(self).is_empty()); });
}

PyObject* build_index(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(BUILD_INDEX_SIGNATURE, Access::Exclusive, self, args, kwargs, [self](ArgumentSlots& a) {
        std::uint64_t m = DEFAULT_M;
        std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;
        if (a[0] != nullptr) {
            const auto value = extract_u64(a[0], "m");
            if (!value) return static_cast<PyObject*>(nullptr);
            m = *value;
        }
        if (a[1] != nullptr) {
            const auto value = extract_u64(a[1], "ef_construction");
            if (!value) return static_cast<PyObject*>(nullptr);
            ef_construction = *value;
        }
        KestrixObject& object = as_kestrix(self);
        object.store.build_index(m, ef_construction);
        // The query room starts afresh with each graph, so it never stays
        // sized for a store that has since shrunk.
        object.queries = SearchContext{};
        Py_RETURN_NONE;
    });
}

PyObject* has_index(PyObject* self, PyObject*) noexcept {
    return run_noargs(Access::Shared, self, [self] { return to_python_bool(store_of(self).has_index()); });
}

// Converts query and k (and ef, when asked for) in parameter order, checks the
// length, then runs the given road.
template <class Road>
PyObject* query_method(const MethodSignature& signature, PyObject* self, PyObject* args, PyObject* kwargs,
                       Road road) noexcept {
    return run_method(signature, Access::Shared, self, args, kwargs, [&](ArgumentSlots& a) -> PyObject* {
        const auto query = extract_float_vector(a[0], "query");
        if (!query) return nullptr;
        const auto k = extract_u64(a[1], "k");
        if (!k) return nullptr;
        std::uint64_t ef = DEFAULT_EF;
        if (signature.parameter_names.size() > 2 && a[2] != nullptr) {
            const auto value = extract_u64(a[2], "ef");
            if (!value) return nullptr;
            ef = *value;
        }
        if (query->size() != DIMENSION) return raise_dimension("query", query->size());
        const QuantizedVector quantized = quantize(std::span<const float, DIMENSION>(query->data(), DIMENSION));
        const auto hits = road(as_kestrix(self), quantized, *k, ef);
        return to_python_hits(hits);
    });
}

PyObject* search_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return query_method(SEARCH_SIGNATURE, self, args, kwargs,
                        [](KestrixObject& object, const QuantizedVector& q, std::uint64_t k, std::uint64_t ef) {
                            // Queries on one object are serialised by the
                            // interpreter lock, so they can share its room.
                            return search(object.store, code_of(q), k, ef, object.queries);
                        });
}

PyObject* search_scan(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return query_method(SEARCH_SCAN_SIGNATURE, self, args, kwargs,
                        [](const KestrixObject& object, const QuantizedVector& q, std::uint64_t k, std::uint64_t) {
                            return scan_top_k(object.store, code_of(q), k);
                        });
}

PyObject* run_gc(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(RUN_GC_SIGNATURE, Access::Exclusive, self, args, kwargs, [self](ArgumentSlots& a) {
        const auto ttl_ms = extract_f64(a[0], "ttl_ms");
        if (!ttl_ms) return static_cast<PyObject*>(nullptr);
        return PyLong_FromUnsignedLongLong(store_of(self).run_gc(*ttl_ms, now_ms()));
    });
}

PyObject* compact(PyObject* self, PyObject*) noexcept {
    return run_noargs(Access::Exclusive, self,
                      [self] { return PyLong_FromUnsignedLongLong(store_of(self).compact()); });
}

PyObject* serialize_method(PyObject* self, PyObject*) noexcept {
    return run_noargs(Access::Shared, self, [self] {
        const auto bytes = serialize(store_of(self));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* deserialize_method(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(DESERIALIZE_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) {
        const auto data = extract_bytes(a[0], "data");
        if (!data) return static_cast<PyObject*>(nullptr);
        auto store = deserialize(*data);
        if (!store) return raise_store_error(PyExc_ValueError, "deserialize", store.error());
        return new_instance(std::move(*store));
    });
}

PyMethodDef kestrix_methods[] = {
    {"with_capacity", as_cfunction(with_capacity), WITH_KEYWORDS | METH_STATIC, WITH_CAPACITY_DOC},
    {"insert", as_cfunction(insert), WITH_KEYWORDS, INSERT_DOC},
    {"delete", as_cfunction(delete_), WITH_KEYWORDS, DELETE_DOC},
    {"is_empty", as_cfunction(is_empty), METH_NOARGS, IS_EMPTY_DOC},
    {"build_index", as_cfunction(build_index), WITH_KEYWORDS, BUILD_INDEX_DOC},
    {"has_index", as_cfunction(has_index), METH_NOARGS, HAS_INDEX_DOC},
    {"search", as_cfunction(search_method), WITH_KEYWORDS, SEARCH_DOC},
    {"search_scan", as_cfunction(search_scan), WITH_KEYWORDS, SEARCH_SCAN_DOC},
    {"run_gc", as_cfunction(run_gc), WITH_KEYWORDS, RUN_GC_DOC},
    {"compact", as_cfunction(compact), METH_NOARGS, COMPACT_DOC},
    {"serialize", as_cfunction(serialize_method), METH_NOARGS, SERIALIZE_DOC},
    {"deserialize", as_cfunction(deserialize_method), WITH_KEYWORDS | METH_STATIC, DESERIALIZE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- type and module

// Interpreters before 3.11 keep a pointer into the type's name: it must live
// as long as the process.
constexpr const char TYPE_NAME[] = "builtins.Kestrix";
char class_doc[] = KESTRIX_CLASS_DOC;

PyTypeObject* kestrix_type() noexcept {
    if (type_cell != nullptr) return type_cell;
    PyType_Slot slots[] = {
        {Py_tp_doc, class_doc},
        {Py_tp_new, reinterpret_cast<void*>(kestrix_new)},
        {Py_mp_length, reinterpret_cast<void*>(kestrix_len)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kestrix_dealloc)},
        {Py_tp_methods, kestrix_methods},
        {Py_tp_base, &PyBaseObject_Type},
        {0, nullptr},
    };
    PyType_Spec type_spec = {TYPE_NAME, static_cast<int>(sizeof(KestrixObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    type_cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return type_cell;
}

bool module_body(PyObject* module) noexcept {
    PyTypeObject* type = kestrix_type();
    if (type == nullptr) return false;

    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef name(PyUnicode_FromString("Kestrix"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttrString(module, "Kestrix", reinterpret_cast<PyObject*>(type)) == 0;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_kestrix", KESTRIX_MODULE_DOC, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrix::python

extern "C" PyMODINIT_FUNC PyInit__kestrix(void) {
    using namespace kestrix::python;
    // The type and the module are process-wide: a second initialisation (a
    // re-import after removal from sys.modules, a sub-interpreter) would hand
    // out a second module around the same type, so it is refused.
    if (module_cell != nullptr) {
        PyErr_SetString(PyExc_ImportError, "the _kestrix module may be initialised only once per interpreter process");
        return nullptr;
    }
    PyObject* module = PyModule_Create2(&module_definition, PYTHON_ABI_VERSION);
    if (module == nullptr) return nullptr;
    if (!module_body(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    module_cell = module;
    Py_INCREF(module);
    return module;
}

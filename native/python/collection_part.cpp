// kestrix._native.Collection: the binding of the core's Collection. Each
// method converts its arguments, calls the core once under the collection's
// lock (collection_object.hpp says how the two locks are taken) and converts
// the result. The searches are in collection_search_part.cpp, the file
// methods in collection_file_part.cpp.
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "collection_build.hpp"
#include "collection_log.hpp"
#include "collection_object.hpp"
#include "log_object.hpp"
#include "native_parts.hpp"
#include "thread_pool.hpp"

namespace kestrix::python {

// ---------------------------------------------------------------- instances

PyObject* make_instance(PyTypeObject* type, std::size_t threads, Collection collection) noexcept {
    auto state = guarded(
        [&] {
            auto made = std::make_unique<GuardedCollection>();
            made->collection = std::move(collection);
            return made;
        },
        std::unique_ptr<GuardedCollection>());
    if (!state) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
    if (self == nullptr) return nullptr;
    CollectionObject& object = as_collection(self);
    object.side = state->collection.side().kind();
    object.metric = state->collection.metric();
    object.dim = state->collection.dimension();
    new (&object.state) std::unique_ptr<GuardedCollection>(std::move(state));
    object.threads = threads;
    return self;
}

std::optional<std::size_t> read_threads(PyObject* object, std::size_t fallback) {
    if (object == nullptr || object == Py_None) return fallback;
    const auto value = extract_count(object, "threads", 1);
    if (!value) return std::nullopt;
    return static_cast<std::size_t>(std::min<std::uint64_t>(*value, 1024));
}

PyObject* raise_collection_error(const CollectionError& error) noexcept {
    switch (error.kind) {
        case CollectionError::Kind::DuplicateId: return raise_repeated_id(error.id, error.row);
        case CollectionError::Kind::IdOutOfRange:
            return PyErr_Format(PyExc_ValueError, "ids must lie in 0..%llu, got %llu",
                                static_cast<unsigned long long>(MAX_DOCUMENT_ID),
                                static_cast<unsigned long long>(error.id));
        case CollectionError::Kind::TooManySlots:
            return PyErr_Format(PyExc_ValueError,
                                "the batch would take the collection past %zu slots (compact() frees deleted ones)",
                                MAX_COLLECTION_SLOTS);
        case CollectionError::Kind::UnknownId: {
            PyRef key(PyLong_FromUnsignedLongLong(error.id));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            return nullptr;
        }
        case CollectionError::Kind::NotFinite:
            return PyErr_Format(PyExc_ValueError, "vectors row %zu holds a NaN or an infinity", error.row);
        case CollectionError::Kind::NoSideRows: break;  // the binding always hands over the floats of a side
    }
    return PyErr_Format(PyExc_SystemError, "kestrix: unexpected collection error");
}

PyObject* raise_change_error(PyObject* self, const durable::ChangeError& error) noexcept {
    if (error.refused) return raise_collection_error(*error.refused);
    switch (error.log.kind) {
        case wal::LogError::Kind::Closed: return raise(PyExc_ValueError, "the collection is closed");
        case wal::LogError::Kind::Forked:
            return raise(PyExc_RuntimeError,
                         "a durable collection belongs to the process that opened it; a forked child cannot change it");
        default: break;
    }
    const auto log = state_of(self).log.load();
    PyRef path(log ? PyUnicode_DecodeFSDefault(log->path().c_str()) : (Py_INCREF(Py_None), Py_None));
    if (!path) return nullptr;
    return raise_log_error(error.log, path.get());
}

namespace {

// The count a change returns, or its error.
PyObject* count_or_error(PyObject* self, const durable::Changed<std::uint64_t>& changed) noexcept {
    if (!changed) return raise_change_error(self, changed.error());
    return PyLong_FromUnsignedLongLong(*changed);
}

void collection_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_collection(self).state.~unique_ptr();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // heap types hold one reference per instance
}

// The rescoring side's names, in SideKind order.
constexpr const char* SIDE_NAMES[] = {"none", "int8", "float16"};
// What rescored scores measure, in Metric order.
constexpr const char* METRIC_NAMES[] = {"ip", "cosine"};

// The position of `object` among `names` (None: the first), or nothing with
// ValueError (naming `choices`) or TypeError (not a str) set; `what` names
// the argument.
std::optional<std::size_t> read_choice(PyObject* object, std::span<const char* const> names, const char* what,
                                       const char* choices) {
    if (object == nullptr || object == Py_None) return 0;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or None, got %R", what, object);
        return std::nullopt;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(object, names[i]) == 0) return i;
    }
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", what, choices, object);
    return std::nullopt;
}

constexpr const char* NEW_PARAMETERS[] = {"dim", "threads", "side", "metric"};
constexpr MethodSignature NEW_SIGNATURE{"Collection", "__new__", NEW_PARAMETERS, 0};

PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    ArgumentSlots a{};
    if (!parse_arguments(NEW_SIGNATURE, args, kwargs, a)) return nullptr;
    const auto dim = read_dimension(a[0]);
    if (!dim) return nullptr;
    const auto threads = read_threads(a[1], usable_cores());
    if (!threads) return nullptr;
    const auto side = read_choice(a[2], SIDE_NAMES, "side", "'none', 'int8' or 'float16'");
    if (!side) return nullptr;
    const auto metric = read_choice(a[3], METRIC_NAMES, "metric", "'ip' or 'cosine'");
    if (!metric) return nullptr;
    return make_instance(type, *threads,
                         Collection(static_cast<side::SideKind>(*side), *dim, static_cast<side::Metric>(*metric)));
}

// ---------------------------------------------------------------- changes

constexpr const char* ADD_PARAMETERS[] = {"ids", "vectors"};
constexpr MethodSignature ADD_SIGNATURE{"Collection", "add", ADD_PARAMETERS, 2};

PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(ADD_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        // Ids are unique within a batch: the core checks that, once.
        const auto batch = read_batch(
            a[0], a[1], {.max_id = MAX_DOCUMENT_ID, .dim = dimension_of(self), .keep_floats = is_side_kept(self)});
        if (!batch) return nullptr;
        const double now = now_ms();
        const auto result = without_interpreter(
            [&] { return durable::add(state_of(self), batch->ids.ids, batch->rows.rows(), now, batch->rows.floats); });
        if (!result) return raise_change_error(self, result.error());
        Py_RETURN_NONE;
    });
}

constexpr const char* IDS_PARAMETERS[] = {"ids"};
constexpr MethodSignature DELETE_SIGNATURE{"Collection", "delete", IDS_PARAMETERS, 1};

PyObject* delete_(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(DELETE_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        return count_or_error(self, without_interpreter([&] { return durable::remove(state_of(self), ids->ids); }));
    });
}

constexpr const char* EXPIRE_PARAMETERS[] = {"ttl_ms"};
constexpr MethodSignature EXPIRE_SIGNATURE{"Collection", "expire", EXPIRE_PARAMETERS, 1};

PyObject* expire(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(EXPIRE_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto ttl = extract_f64(a[0], "ttl_ms");
        if (!ttl) return nullptr;
        // Ages are never negative: a negative ttl would delete everything, and
        // NaN nothing, neither what a caller means. inf keeps everything.
        if (!(*ttl >= 0.0)) return PyErr_Format(PyExc_ValueError, "ttl_ms must be >= 0, got %R", a[0]);
        const double now = now_ms();
        return count_or_error(self, without_interpreter([&] { return durable::expire(state_of(self), *ttl, now); }));
    });
}

PyObject* compact(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            return count_or_error(self, without_interpreter([&] { return durable::compact(state_of(self)); }));
        },
        nullptr);
}

// ---------------------------------------------------------------- reads

Py_ssize_t collection_len(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(quick_read(self, [](const Collection& c) { return c.size(); }));
}

int collection_contains(PyObject* self, PyObject* key) noexcept {
    // Anything that is not a stored id is simply not in the collection.
    // NumPy integers count as the ints they stand for.
    const auto id = read_index(key);
    if (!id) return PyErr_Occurred() ? -1 : 0;
    if (id->range != IndexValue::Range::Fits) return 0;
    return quick_read(self, [&](const Collection& c) { return c.contains(id->value); });
}

PyObject* ids(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            const auto live = read_locked(self, [](const Collection& c) { return c.ids(); });
            std::vector<std::int64_t> signed_ids(live.begin(), live.end());
            return int64_vector(signed_ids);
        },
        nullptr);
}

constexpr const char* GET_PARAMETERS[] = {"ids", "vectors"};
constexpr MethodSignature GET_SIGNATURE{"Collection", "get", GET_PARAMETERS, 1};

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(GET_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        const int vectors = a[1] != nullptr ? PyObject_IsTrue(a[1]) : 0;
        if (vectors < 0) return nullptr;
        if (vectors) {
            if (!is_side_kept(self)) {
                return raise(PyExc_ValueError, "the collection keeps no vectors beside its codes (side='none')");
            }
            const auto rows = read_locked(self, [&](const Collection& c) { return c.get_side(ids->ids); });
            if (!rows) return raise_collection_error(rows.error());
            return float32_matrix(*rows, ids->ids.size(), dimension_of(self));
        }
        const auto codes = read_locked(self, [&](const Collection& c) { return c.get(ids->ids); });
        if (!codes) return raise_collection_error(codes.error());
        return code_matrix(*codes, kernels::code_words(dimension_of(self)));
    });
}

PyObject* has_index(PyObject* self, PyObject*) noexcept {
    return to_python_bool(quick_read(self, [](const Collection& c) { return c.has_index(); }));
}

// (nodes, deleted nodes, m, ef_construction) of the graph, or None: what a
// caller needs to decide on a rebuild and to rebuild alike. The counts are
// kept as the collection changes, so asking costs nothing.
PyObject* graph_nodes(PyObject* self, PyObject*) noexcept {
    std::optional<std::array<std::uint64_t, 4>> found;
    quick_read(self, [&](const Collection& c) {
        if (const HnswGraph* g = c.graph()) {
            const auto counted = c.graph_nodes();
            found = std::array<std::uint64_t, 4>{counted.nodes, counted.waypoints, g->m(), g->ef_construction()};
        }
        return 0;
    });
    if (!found) Py_RETURN_NONE;
    const auto& v = *found;
    return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(v[0]), static_cast<unsigned long long>(v[1]),
                         static_cast<unsigned long long>(v[2]), static_cast<unsigned long long>(v[3]));
}

// Slots in use, deleted ones included (until compact()).
PyObject* slot_count(PyObject* self, PyObject*) noexcept {
    return PyLong_FromSize_t(quick_read(self, [](const Collection& c) { return c.slot_count(); }));
}

// ---------------------------------------------------------------- index

// How often a build's caller looks up from waiting: to report progress and to
// notice a signal such as Ctrl-C.
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(200);

// Runs a build on a thread of the core (BackgroundBuild) and waits for it with
// the interpreter lock released, taking it back every PROGRESS_PERIOD (holding
// nothing else) to report `progress(done, total)` when there is a callback and
// to look for signals. An exception from the callback or a signal stops the
// build. The last report, (total, total), comes after the build and before the
// new graph replaces the earlier one, so a stop there keeps the earlier graph
// too.
PyObject* build(PyObject* self, std::uint64_t m, std::uint64_t ef_construction, PyObject* progress) {
    BackgroundBuild build(state_of(self), m, ef_construction);
    const auto report = [progress](std::size_t done, std::size_t total) {
        PyRef result(
            PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total)));
        return static_cast<bool>(result);
    };
    std::size_t reported = ~std::size_t{0};
    for (;;) {
        const bool finished = without_interpreter([&] { return build.wait_for(PROGRESS_PERIOD); });
        bool stopped = false;
        if (const auto counted = build.progress(); progress != nullptr && !finished && counted) {
            if (counted->first != reported) {
                reported = counted->first;
                stopped = !report(counted->first, counted->second);
            }
        }
        if (stopped || PyErr_CheckSignals() < 0) {
            build.cancel();
            without_interpreter([&] { build.join(); });
            return nullptr;  // the callback's (or the signal's) exception stands
        }
        if (finished) break;
    }
    without_interpreter([&] { build.finish(); });
    if (progress != nullptr) {
        const std::size_t total = build.progress().value_or(std::pair<std::size_t, std::size_t>{0, 0}).second;
        if (!report(total, total)) return nullptr;
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
    const auto installed = without_interpreter([&] { return build.install(); });
    if (!installed) return raise_change_error(self, installed.error());
    Py_RETURN_NONE;
}

constexpr const char* BUILD_INDEX_PARAMETERS[] = {"m", "ef_construction", "progress"};
constexpr MethodSignature BUILD_INDEX_SIGNATURE{"Collection", "build_index", BUILD_INDEX_PARAMETERS, 0};

PyObject* build_index(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(BUILD_INDEX_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        std::uint64_t m = DEFAULT_M;
        std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;
        if (a[0] != nullptr) {
            const auto value = extract_count(a[0], "m", 2);
            if (!value) return nullptr;
            m = *value;
        }
        if (a[1] != nullptr) {
            const auto value = extract_count(a[1], "ef_construction", 1);
            if (!value) return nullptr;
            ef_construction = *value;
        }
        PyObject* progress = a[2] != nullptr && a[2] != Py_None ? a[2] : nullptr;
        if (progress != nullptr && !PyCallable_Check(progress)) {
            return PyErr_Format(PyExc_TypeError, "progress must be callable or None, got %R", progress);
        }
        return build(self, m, ef_construction, progress);
    });
}

// ---------------------------------------------------------------- type

PyMethodDef collection_methods[] = {
    {"add", as_cfunction(add), WITH_KEYWORDS,
     "add($self, ids, vectors)\n--\n\nStore vectors under ids, replacing documents already stored under them."},
    {"delete", as_cfunction(delete_), WITH_KEYWORDS,
     "delete($self, ids)\n--\n\nDelete the documents stored under ids; return how many there were."},
    {"expire", as_cfunction(expire), WITH_KEYWORDS,
     "expire($self, ttl_ms)\n--\n\nDelete documents stored more than ttl_ms milliseconds ago; return the count.\n"
     "ttl_ms must be >= 0; inf deletes nothing."},
    {"compact", as_cfunction(compact), METH_NOARGS,
     "compact($self)\n--\n\nFree the slots of deleted and replaced documents; drops the index."},
    {"ids", as_cfunction(ids), METH_NOARGS, "ids($self)\n--\n\nThe stored ids, oldest slot first."},
    {"get", as_cfunction(get), WITH_KEYWORDS,
     "get($self, ids, vectors=False)\n--\n\nThe stored codes of ids (8 bytes per 64 dimensions); with vectors=True,\n"
     "their rescoring side's vectors instead (float32, as stored: int8 or float16 precision)."},
    {"search", as_cfunction(collection_search), WITH_KEYWORDS, nullptr},  // documented in add_collection_part
    {"build_index", as_cfunction(build_index), WITH_KEYWORDS, nullptr},
    {"has_index", as_cfunction(has_index), METH_NOARGS, "has_index($self)\n--\n\nWhether a graph is built."},
    {"_search_distances", as_cfunction(collection_search_distances), WITH_KEYWORDS, nullptr},
    {"_graph_nodes", as_cfunction(graph_nodes), METH_NOARGS, nullptr},
    {"_slot_count", as_cfunction(slot_count), METH_NOARGS, nullptr},
    {"_replay", as_cfunction(collection_replay), WITH_KEYWORDS, nullptr},
    {"_attach_log", as_cfunction(collection_attach_log), METH_O, nullptr},
    {"_close_log", as_cfunction(collection_close_log), METH_NOARGS, nullptr},
    {"_checkpoint", as_cfunction(collection_checkpoint), WITH_KEYWORDS, nullptr},
    {"_last_record", as_cfunction(collection_last_record), METH_NOARGS, nullptr},
    {"_write_file", as_cfunction(collection_write_file), WITH_KEYWORDS, nullptr},
    {"_file_bytes", as_cfunction(collection_file_bytes), METH_NOARGS, nullptr},
    {"_graph_section", as_cfunction(collection_graph_section), METH_NOARGS, nullptr},
    {"_load_file", as_cfunction(collection_load_file), WITH_KEYWORDS | METH_CLASS, nullptr},
    {"_read_file_bytes", as_cfunction(collection_read_file_bytes), WITH_KEYWORDS | METH_CLASS, nullptr},
    {"_from_sections", as_cfunction(collection_from_sections), WITH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Docstrings whose text signatures name defaults: written from the constants
// that define them, so that a signature cannot say what the method does not
// do. They live as long as the process (the type points into them).
const std::string& search_doc() {
    using std::to_string;
    static const std::string text =
        "search($self, query, k=" + to_string(DEFAULT_K) +
        ", *, exact=False, ef=None, threads=None, rescore=None, oversample=" + to_string(DEFAULT_OVERSAMPLE) +
        ", filter=None)\n--\n\n"
        "The k nearest documents of one query (a list of (id, score)) or of a batch\n"
        "((ids, scores) arrays of shape (q, min(k, len(self)))). filter: ids allowed\n"
        "to answer (others, and ids not stored, never do); then min(k, allowed stored)\n"
        "answers, on every road. With rescore (the\n"
        "default when the collection has a side), k * oversample candidates of the\n"
        "codes (nearest by the query's asymmetric distance) are ranked again by inner\n"
        "product with the side's vectors (with the codes' signs when side='none'), and\n"
        "scored by it. Through the graph a walk keeps max(ef, k) nodes; ef=None means " +
        to_string(DEFAULT_EF) + ",\nor for a rescored query max(" + to_string(DEFAULT_EF) + ", " +
        to_string(RESCORED_WALK_PER_ANSWER) + " * k) (" + to_string(SIGN_WALK_PER_ANSWER) + " * k with side='none').";
    return text;
}

const std::string& build_index_doc() {
    using std::to_string;
    static const std::string text = "build_index($self, m=" + to_string(DEFAULT_M) +
                                    ", ef_construction=" + to_string(DEFAULT_EF_CONSTRUCTION) +
                                    ", progress=None)\n--\n\nBuild the HNSW graph.";
    return text;
}

void document(const char* name, const std::string& text) noexcept {
    for (PyMethodDef* m = collection_methods; m->ml_name != nullptr; ++m) {
        if (std::string_view(m->ml_name) == name) m->ml_doc = text.c_str();
    }
}

PyObject* side_name(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(SIDE_NAMES[static_cast<std::size_t>(as_collection(self).side)]);
}

PyObject* metric_name(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(METRIC_NAMES[static_cast<std::size_t>(as_collection(self).metric)]);
}

PyObject* dimension(PyObject* self, void*) noexcept { return PyLong_FromSize_t(dimension_of(self)); }

PyObject* threads_of(PyObject* self, void*) noexcept { return PyLong_FromSize_t(as_collection(self).threads); }

PyGetSetDef collection_getset[] = {
    {"side", side_name, nullptr, "The rescoring side chosen at creation: 'none', 'int8' or 'float16'.", nullptr},
    {"metric", metric_name, nullptr,
     "What rescored scores measure, chosen at creation: 'ip' (the inner product) or 'cosine'.", nullptr},
    {"dim", dimension, nullptr, "The components of every vector, chosen at creation.", nullptr},
    {"threads", threads_of, nullptr, "How many threads a batch search uses when a call does not say.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char TYPE_NAME[] = "kestrix._native.Collection";
char collection_doc[] =
    "Collection(dim=384, threads=None, side=None, metric=None)\n--\n\nDocuments under unique ids; see "
    "kestrix.Collection.";

}  // namespace

bool add_collection_part(PyObject* module) noexcept {
    if (!guarded(
            [] {
                document("search", search_doc());
                document("build_index", build_index_doc());
                return true;
            },
            false)) {
        return false;
    }
    PyType_Slot slots[] = {
        {Py_tp_doc, collection_doc},
        {Py_tp_new, reinterpret_cast<void*>(collection_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
        {Py_tp_methods, collection_methods},
        {Py_tp_getset, collection_getset},
        {Py_mp_length, reinterpret_cast<void*>(collection_len)},
        {Py_sq_length, reinterpret_cast<void*>(collection_len)},
        {Py_sq_contains, reinterpret_cast<void*>(collection_contains)},
        {0, nullptr},
    };
    PyType_Spec spec = {TYPE_NAME, static_cast<int>(sizeof(CollectionObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyRef type(PyType_FromSpec(&spec));
    if (!type || PyModule_AddObject(module, "Collection", type.get()) < 0) return false;
    type.release();
    // The names a side may be given by, in SideKind order, for the layers
    // that check a side before a collection is made.
    PyRef sides(Py_BuildValue("(sss)", SIDE_NAMES[0], SIDE_NAMES[1], SIDE_NAMES[2]));
    if (!sides || PyModule_AddObject(module, "SIDES", sides.get()) < 0) return false;
    sides.release();
    PyRef metrics(Py_BuildValue("(ss)", METRIC_NAMES[0], METRIC_NAMES[1]));
    if (!metrics || PyModule_AddObject(module, "METRICS", metrics.get()) < 0) return false;
    metrics.release();
    return true;
}

}  // namespace kestrix::python

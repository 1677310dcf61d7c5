// kestrix._native.Collection: the binding of the core's Collection.
//
// Arguments are converted with the interpreter lock held (arrays are read in
// place, lists item by item) into plain values; the lock is then released
// before the collection's readers-writer lock is waited for, so that no thread
// ever holds one lock while waiting for the other. The one exception is a
// non-blocking try: a single query on a small collection takes the shared lock
// by try-lock with the interpreter lock held, which cannot wait.
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "batch_io.hpp"
#include "codec.hpp"
#include "collection.hpp"
#include "mapped_file.hpp"
#include "native_parts.hpp"
#include "thread_pool.hpp"

namespace kestrix::python {
namespace {

struct CollectionObject {
    PyObject_HEAD std::unique_ptr<GuardedCollection> state;
    std::size_t threads;
    side::SideKind side;  // fixed at creation: read without the collection's lock
};

CollectionObject& as_collection(PyObject* self) noexcept { return *reinterpret_cast<CollectionObject*>(self); }
GuardedCollection& state_of(PyObject* self) noexcept { return *as_collection(self).state; }

// Below this many slots a single query is answered without releasing the
// interpreter lock: releasing and taking it back costs more than the scan.
constexpr std::size_t SMALL_COLLECTION = 4096;

constexpr std::uint64_t DEFAULT_K = 10;
constexpr std::uint64_t DEFAULT_M = 16;
constexpr std::uint64_t DEFAULT_EF_CONSTRUCTION = 200;

template <class Body>
auto read_locked(PyObject* self, Body&& body) -> decltype(body(std::declval<const Collection&>())) {
    GuardedCollection& state = state_of(self);
    return without_interpreter([&] {
        std::shared_lock lock(state.mutex);
        return body(static_cast<const Collection&>(state.collection));
    });
}

template <class Body>
auto write_locked(PyObject* self, Body&& body) -> decltype(body(std::declval<Collection&>())) {
    GuardedCollection& state = state_of(self);
    return without_interpreter([&] {
        std::unique_lock lock(state.mutex);
        return body(state.collection);
    });
}

// A small read: tried without releasing the interpreter lock first.
template <class Body>
auto quick_read(PyObject* self, Body&& body) -> decltype(body(std::declval<const Collection&>())) {
    GuardedCollection& state = state_of(self);
    if (state.mutex.try_lock_shared()) {
        std::shared_lock lock(state.mutex, std::adopt_lock);
        return body(static_cast<const Collection&>(state.collection));
    }
    return read_locked(self, body);
}

// ---------------------------------------------------------------- arguments

// A non-negative count (k, ef, m, ...) of at least `least`.
std::optional<std::uint64_t> read_count(PyObject* object, const char* name, std::uint64_t least) {
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, got %R", name, object);
        return std::nullopt;
    }
    PyRef integer(PyNumber_Index(object));
    if (!integer) return std::nullopt;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && value < static_cast<long long>(least))) {
        PyErr_Format(PyExc_ValueError, "%s must be >= %llu, got %S", name, static_cast<unsigned long long>(least),
                     integer.get());
        return std::nullopt;
    }
    return overflow > 0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(value);
}

// threads: None (the collection's setting) or an int >= 1.
std::optional<std::size_t> read_threads(PyObject* object, std::size_t fallback) {
    if (object == nullptr || object == Py_None) return fallback;
    const auto value = read_count(object, "threads", 1);
    if (!value) return std::nullopt;
    return static_cast<std::size_t>(std::min<std::uint64_t>(*value, 1024));
}

PyObject* raise_collection_error(const CollectionError& error) noexcept {
    switch (error.kind) {
        case CollectionError::Kind::DuplicateId:
            return PyErr_Format(PyExc_ValueError, "ids holds %llu more than once (again at row %zu)",
                                static_cast<unsigned long long>(error.id), error.row);
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
    new (&object.state) std::unique_ptr<GuardedCollection>(std::move(state));
    object.threads = threads;
    return self;
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

// side: None or one of SIDE_NAMES.
std::optional<side::SideKind> read_side_kind(PyObject* object) {
    if (object == nullptr || object == Py_None) return side::SideKind::None;
    if (PyUnicode_Check(object)) {
        for (std::size_t i = 0; i < std::size(SIDE_NAMES); ++i) {
            if (PyUnicode_CompareWithASCIIString(object, SIDE_NAMES[i]) == 0) return static_cast<side::SideKind>(i);
        }
        PyErr_Format(PyExc_ValueError, "side must be 'none', 'int8' or 'float16', got %R", object);
        return std::nullopt;
    }
    PyErr_Format(PyExc_TypeError, "side must be a str or None, got %R", object);
    return std::nullopt;
}

constexpr const char* NEW_PARAMETERS[] = {"threads", "side"};
constexpr MethodSignature NEW_SIGNATURE{"Collection", "__new__", NEW_PARAMETERS, 0};

PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    ArgumentSlots a{};
    if (!parse_arguments(NEW_SIGNATURE, args, kwargs, a)) return nullptr;
    const auto threads = read_threads(a[0], usable_cores());
    if (!threads) return nullptr;
    const auto side = read_side_kind(a[1]);
    if (!side) return nullptr;
    return make_instance(type, *threads, Collection(*side));
}

// ---------------------------------------------------------------- changes

constexpr const char* ADD_PARAMETERS[] = {"ids", "vectors"};
constexpr MethodSignature ADD_SIGNATURE{"Collection", "add", ADD_PARAMETERS, 2};

PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(ADD_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        auto rows = read_float_rows(a[1], "vectors", as_collection(self).side != side::SideKind::None);
        if (!rows) return nullptr;
        if (ids->ids.size() != rows->rows.size()) {
            return PyErr_Format(PyExc_ValueError, "ids has %zu entries but vectors has %zu rows", ids->ids.size(),
                                rows->rows.size());
        }
        const double now = now_ms();
        const auto result =
            write_locked(self, [&](Collection& c) { return c.add(ids->ids, rows->rows, now, rows->floats); });
        if (!result) return raise_collection_error(result.error());
        Py_RETURN_NONE;
    });
}

constexpr const char* IDS_PARAMETERS[] = {"ids"};
constexpr MethodSignature DELETE_SIGNATURE{"Collection", "delete", IDS_PARAMETERS, 1};
constexpr const char* GET_PARAMETERS[] = {"ids", "vectors"};
constexpr MethodSignature GET_SIGNATURE{"Collection", "get", GET_PARAMETERS, 1};

PyObject* delete_(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(DELETE_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        const auto removed = write_locked(self, [&](Collection& c) { return c.remove(ids->ids); });
        return PyLong_FromUnsignedLongLong(removed);
    });
}

constexpr const char* EXPIRE_PARAMETERS[] = {"ttl_ms"};
constexpr MethodSignature EXPIRE_SIGNATURE{"Collection", "expire", EXPIRE_PARAMETERS, 1};

PyObject* expire(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(EXPIRE_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto ttl = extract_f64(a[0], "ttl_ms");
        if (!ttl) return nullptr;
        const double now = now_ms();
        return PyLong_FromUnsignedLongLong(write_locked(self, [&](Collection& c) { return c.expire(*ttl, now); }));
    });
}

PyObject* compact(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            return PyLong_FromUnsignedLongLong(write_locked(self, [](Collection& c) { return c.compact(); }));
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
    if (PyBool_Check(key) || !PyIndex_Check(key)) return 0;
    PyRef integer(PyNumber_Index(key));
    if (!integer) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < 0) return 0;
    return quick_read(self, [&](const Collection& c) { return c.contains(static_cast<std::uint64_t>(value)); });
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

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(GET_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        const int vectors = a[1] != nullptr ? PyObject_IsTrue(a[1]) : 0;
        if (vectors < 0) return nullptr;
        if (vectors) {
            if (as_collection(self).side == side::SideKind::None) {
                return raise(PyExc_ValueError, "the collection keeps no vectors beside its codes (side='none')");
            }
            const auto rows = read_locked(self, [&](const Collection& c) { return c.get_side(ids->ids); });
            if (!rows) return raise_collection_error(rows.error());
            return float32_matrix(*rows, ids->ids.size(), DIMENSION);
        }
        const auto codes = read_locked(self, [&](const Collection& c) { return c.get(ids->ids); });
        if (!codes) return raise_collection_error(codes.error());
        return code_matrix(*codes);
    });
}

PyObject* has_index(PyObject* self, PyObject*) noexcept {
    return to_python_bool(quick_read(self, [](const Collection& c) { return c.has_index(); }));
}

// ---------------------------------------------------------------- search

PyObject* single_hits(const std::vector<DocumentHit>& hits) noexcept {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        PyObject* pair =
            Py_BuildValue("(Kd)", static_cast<unsigned long long>(hits[i].id), static_cast<double>(hits[i].score));
        if (pair == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

constexpr const char* SEARCH_PARAMETERS[] = {"query", "k", "exact", "ef", "threads", "rescore", "oversample"};
constexpr MethodSignature SEARCH_SIGNATURE{"Collection", "search", SEARCH_PARAMETERS, 1};

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    // exact, ef and threads are keyword-only.
    if (args != nullptr && PyTuple_Size(args) > 2) {
        return PyErr_Format(PyExc_TypeError,
                            "Collection.search() takes from 1 to 2 positional arguments but %zd were given",
                            PyTuple_Size(args));
    }
    return run_method(SEARCH_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        SearchOptions options;
        // Rescoring is on by default where there is a side to rescore with.
        options.rescore = as_collection(self).side != side::SideKind::None;
        if (a[5] != nullptr && a[5] != Py_None) {
            const int truth = PyObject_IsTrue(a[5]);
            if (truth < 0) return nullptr;
            options.rescore = truth != 0;
        }
        if (a[6] != nullptr) {
            const auto oversample = read_count(a[6], "oversample", 1);
            if (!oversample) return nullptr;
            options.oversample = *oversample;
        }
        auto queries = read_float_rows(a[0], "query", options.rescore);
        if (!queries) return nullptr;
        options.k = DEFAULT_K;
        if (a[1] != nullptr) {
            const auto k = read_count(a[1], "k", 0);
            if (!k) return nullptr;
            options.k = *k;
        }
        if (a[2] != nullptr) {
            const int truth = PyObject_IsTrue(a[2]);
            if (truth < 0) return nullptr;
            options.exact = truth != 0;
        }
        // None, like leaving it out, lets the collection choose the walk's width.
        if (a[3] != nullptr && a[3] != Py_None) {
            const auto ef = read_count(a[3], "ef", 1);
            if (!ef) return nullptr;
            options.ef = *ef;
        }
        const auto threads = read_threads(a[4], as_collection(self).threads);
        if (!threads) return nullptr;
        options.threads = *threads;

        if (queries->single) {
            const QuantizedVector& query = queries->rows.front();
            const std::span<const float> floats = queries->floats;
            GuardedCollection& state = state_of(self);
            if (state.mutex.try_lock_shared()) {
                std::shared_lock lock(state.mutex, std::adopt_lock);
                if (state.collection.slot_count() <= SMALL_COLLECTION) {
                    return single_hits(state.collection.search(query, floats, options));
                }
            }
            return single_hits(
                read_locked(self, [&](const Collection& c) { return c.search(query, floats, options); }));
        }
        const auto batch = read_locked(
            self, [&](const Collection& c) { return c.search_batch(queries->rows, options, queries->floats); });
        PyRef ids(int64_matrix(batch.ids, batch.queries, batch.width));
        if (!ids) return nullptr;
        PyRef scores(float32_matrix(batch.scores, batch.queries, batch.width));
        if (!scores) return nullptr;
        return PyTuple_Pack(2, ids.get(), scores.get());
    });
}

// ---------------------------------------------------------------- index

// A build that reports: the graph is built on a thread of its own, which holds
// the collection's lock and never touches Python; this thread waits for it
// with the interpreter lock released, and every PROGRESS_PERIOD takes the
// interpreter lock back (holding nothing else) to call `progress(done,
// total)` and to look for signals. An exception from the callback, or a
// signal such as Ctrl-C, stops the build; the earlier graph stays.
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(200);

struct BuildState {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    std::exception_ptr failure;
    std::atomic<std::size_t> done{0};
    std::atomic<std::size_t> total{0};
    // Set once the build has counted anything: before that, done and total
    // are both 0, which a callback would take for a finished build.
    std::atomic<bool> counted{false};
    std::atomic<bool> cancel{false};
};

PyObject* build_with_progress(PyObject* self, std::uint64_t m, std::uint64_t ef_construction, PyObject* progress) {
    GuardedCollection& guarded_state = state_of(self);
    BuildState build;
    const auto body = [&] {
        try {
            std::unique_lock lock(guarded_state.mutex);
            guarded_state.collection.build_index(m, ef_construction, [&](std::size_t done, std::size_t total) {
                build.done.store(done, std::memory_order_relaxed);
                build.total.store(total, std::memory_order_relaxed);
                build.counted.store(true, std::memory_order_release);
                return !build.cancel.load(std::memory_order_relaxed);
            });
        } catch (...) {
            build.failure = std::current_exception();
        }
        std::lock_guard lock(build.mutex);
        build.finished = true;
        build.changed.notify_all();
    };
    // std::system_error when no thread can be had (the frame reports it); a
    // jthread joins on every path, and the build never waits for Python.
    std::jthread worker(body);
    std::size_t reported = ~std::size_t{0};
    bool python_failed = false;
    for (;;) {
        const bool finished = without_interpreter([&] {
            std::unique_lock lock(build.mutex);
            return build.changed.wait_for(lock, PROGRESS_PERIOD, [&] { return build.finished; });
        });
        const bool counted = build.counted.load(std::memory_order_acquire);
        const std::size_t done = build.done.load(std::memory_order_relaxed);
        if (!python_failed && !finished && counted && done != reported) {
            reported = done;
            PyRef result(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                               static_cast<Py_ssize_t>(build.total.load())));
            python_failed = !result;
        }
        if (!python_failed && PyErr_CheckSignals() < 0) python_failed = true;
        if (python_failed) build.cancel.store(true);
        if (finished) break;
    }
    without_interpreter([&] { worker.join(); });
    if (python_failed) return nullptr;  // the callback's (or the signal's) exception stands
    if (build.failure) std::rethrow_exception(build.failure);
    const std::size_t total = build.total.load();
    PyRef result(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(total), static_cast<Py_ssize_t>(total)));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* BUILD_INDEX_PARAMETERS[] = {"m", "ef_construction", "progress"};
constexpr MethodSignature BUILD_INDEX_SIGNATURE{"Collection", "build_index", BUILD_INDEX_PARAMETERS, 0};

PyObject* build_index(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(BUILD_INDEX_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        std::uint64_t m = DEFAULT_M;
        std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;
        if (a[0] != nullptr) {
            const auto value = read_count(a[0], "m", 2);
            if (!value) return nullptr;
            m = *value;
        }
        if (a[1] != nullptr) {
            const auto value = read_count(a[1], "ef_construction", 1);
            if (!value) return nullptr;
            ef_construction = *value;
        }
        PyObject* progress = a[2] != nullptr && a[2] != Py_None ? a[2] : nullptr;
        if (progress != nullptr && !PyCallable_Check(progress)) {
            return PyErr_Format(PyExc_TypeError, "progress must be callable or None, got %R", progress);
        }
        if (progress == nullptr) {
            write_locked(self, [&](Collection& c) {
                c.build_index(m, ef_construction);
                return 0;
            });
            Py_RETURN_NONE;
        }
        return build_with_progress(self, m, ef_construction, progress);
    });
}

// ---------------------------------------------------------------- file parts

// The sections of a saved collection: the store's bytes (readable by
// Kestrix.deserialize on their own), one little-endian u64 id per slot, and
// with_side, the rescoring side's section (None without a side), all read
// under one lock so that they agree.
constexpr const char* SECTIONS_PARAMETERS[] = {"with_side"};
constexpr MethodSignature SECTIONS_SIGNATURE{"Collection", "_sections", SECTIONS_PARAMETERS, 0};

PyObject* sections(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(SECTIONS_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const int with_side = a[0] != nullptr ? PyObject_IsTrue(a[0]) : 0;
        if (with_side < 0) return nullptr;
        std::vector<std::byte> store;
        std::vector<std::uint64_t> doc_ids;
        std::vector<std::byte> side;
        read_locked(self, [&](const Collection& c) {
            store = serialize(c.store());
            doc_ids.assign(c.doc_ids().begin(), c.doc_ids().end());
            if (c.side().kind() != side::SideKind::None) side = side::write_side(c.side().view());
            return 0;
        });
        PyRef store_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(store.data()),
                                                    static_cast<Py_ssize_t>(store.size())));
        if (!store_bytes) return nullptr;
        PyRef id_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(doc_ids.data()),
                                                 static_cast<Py_ssize_t>(doc_ids.size() * sizeof(std::uint64_t))));
        if (!id_bytes) return nullptr;
        if (!with_side) return PyTuple_Pack(2, store_bytes.get(), id_bytes.get());
        if (side.empty()) Py_INCREF(Py_None);
        PyRef side_bytes(side.empty() ? Py_None
                                      : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(side.data()),
                                                                  static_cast<Py_ssize_t>(side.size())));
        if (!side_bytes) return nullptr;
        return PyTuple_Pack(3, store_bytes.get(), id_bytes.get(), side_bytes.get());
    });
}

// The length of the store the reader accepted at the start of `bytes` (its
// header is there): 12 bytes, then 60 per slot (52 in the first version, which
// kept no insertion times).
std::size_t serialized_length(std::span<const std::byte> bytes) noexcept {
    std::uint32_t version = 0;
    std::uint32_t slots = 0;
    std::memcpy(&version, bytes.data() + 4, 4);
    std::memcpy(&slots, bytes.data() + 8, 4);
    return 12 + std::size_t{slots} * (version == 2 ? 60 : 52);
}

// The graph's section, or None without a graph.
PyObject* graph_section(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            std::vector<std::byte> bytes;
            read_locked(self, [&](const Collection& c) {
                bytes = c.graph_bytes();
                return 0;
            });
            if (bytes.empty()) Py_RETURN_NONE;
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<Py_ssize_t>(bytes.size()));
        },
        nullptr);
}

// (nodes, deleted nodes, m, ef_construction) of the graph, or None: what a
// caller needs to decide on a rebuild and to rebuild alike.
PyObject* graph_nodes(PyObject* self, PyObject*) noexcept {
    return guarded(
        [self]() -> PyObject* {
            std::optional<std::array<std::uint64_t, 4>> found;
            read_locked(self, [&](const Collection& c) {
                if (const HnswGraph* g = c.graph()) {
                    const auto counted = c.graph_nodes();
                    found =
                        std::array<std::uint64_t, 4>{counted.nodes, counted.waypoints, g->m(), g->ef_construction()};
                }
                return 0;
            });
            if (!found) Py_RETURN_NONE;
            const auto& v = *found;
            return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(v[0]), static_cast<unsigned long long>(v[1]),
                                 static_cast<unsigned long long>(v[2]), static_cast<unsigned long long>(v[3]));
        },
        nullptr);
}

// A collection of a file's sections, each checked against the store before
// anything is allocated for it. The side's rows are copied, or, with an
// owner, used in place for as long as the collection keeps them.
PyObject* collection_of_sections(PyObject* cls, std::size_t threads, std::span<const std::byte> store_bytes,
                                 std::span<const std::byte> id_bytes,
                                 std::optional<std::span<const std::byte>> graph_bytes,
                                 std::optional<std::span<const std::byte>> side_bytes,
                                 std::shared_ptr<const void> side_owner = nullptr) {
    auto store = deserialize(store_bytes);
    if (!store) return raise_store_error(PyExc_ValueError, "store section", store.error());
    // The section is exactly the store: nothing may follow it unread.
    if (serialized_length(store_bytes) != store_bytes.size()) {
        return raise(PyExc_ValueError, "store section: bytes follow the store");
    }
    if (id_bytes.size() % sizeof(std::uint64_t) != 0) {
        return raise(PyExc_ValueError, "document id section: its length is not a multiple of 8 bytes");
    }
    if (id_bytes.size() / sizeof(std::uint64_t) != store->size()) {
        return raise(PyExc_ValueError, "document id section: document ids do not match the slot count");
    }
    std::optional<side::SideStore> side;
    if (side_bytes) {
        const auto view = side::read_side(*side_bytes);
        if (!view) return raise(PyExc_ValueError, "side section: " + std::string(side::side_error_name(view.error())));
        if (view->count != store->size()) {
            return raise(PyExc_ValueError, "side section: side rows do not match the slot count");
        }
        side = side_owner ? side::SideStore::in_place(*view, std::move(side_owner)) : side::SideStore::from_view(*view);
    }
    std::vector<std::uint64_t> doc_ids(id_bytes.size() / sizeof(std::uint64_t));
    if (!doc_ids.empty()) std::memcpy(doc_ids.data(), id_bytes.data(), id_bytes.size());
    auto collection = Collection::from_parts(std::move(*store), std::move(doc_ids), std::move(side));
    if (!collection) return raise(PyExc_ValueError, "document id section: " + std::string(collection.error()));
    if (graph_bytes) {
        const auto restored = collection->restore_graph(*graph_bytes);
        if (!restored) return raise(PyExc_ValueError, "graph section: " + std::string(error_name(restored.error())));
    }
    return make_instance(reinterpret_cast<PyTypeObject*>(cls), threads, std::move(*collection));
}

// None, or the bytes of a section given as such.
bool optional_bytes(PyObject* object, const char* name, std::optional<std::span<const std::byte>>& out) {
    if (object == nullptr || object == Py_None) return true;
    const auto bytes = extract_bytes(object, name);
    if (!bytes) return false;
    out = *bytes;
    return true;
}

constexpr const char* FROM_SECTIONS_PARAMETERS[] = {"store", "doc_ids", "threads", "graph", "side"};
constexpr MethodSignature FROM_SECTIONS_SIGNATURE{"Collection", "_from_sections", FROM_SECTIONS_PARAMETERS, 2};

PyObject* from_sections(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(FROM_SECTIONS_SIGNATURE, Access::None, nullptr, args, kwargs,
                      [cls](ArgumentSlots& a) -> PyObject* {
                          const auto store_bytes = extract_bytes(a[0], "store");
                          if (!store_bytes) return nullptr;
                          const auto id_bytes = extract_bytes(a[1], "doc_ids");
                          if (!id_bytes) return nullptr;
                          const auto threads = read_threads(a[2], usable_cores());
                          if (!threads) return nullptr;
                          std::optional<std::span<const std::byte>> graph, side;
                          if (!optional_bytes(a[3], "graph", graph) || !optional_bytes(a[4], "side", side))
                              return nullptr;
                          return collection_of_sections(cls, *threads, *store_bytes, *id_bytes, graph, side);
                      });
}

constexpr const char* FROM_MAPPED_FILE_PARAMETERS[] = {"path", "threads"};
constexpr MethodSignature FROM_MAPPED_FILE_SIGNATURE{"Collection", "_from_mapped_file", FROM_MAPPED_FILE_PARAMETERS, 1};

// A collection file mapped read-only: the store, ids and graph are read into
// memory as by _from_sections, the side's rows are used where they lie in the
// mapping, which the collection keeps alive. Every checksum of the file is
// verified first, the side's included (its pages are read once).
PyObject* from_mapped_file(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(
        FROM_MAPPED_FILE_SIGNATURE, Access::None, nullptr, args, kwargs, [cls](ArgumentSlots& a) -> PyObject* {
            PyRef encoded(PyUnicode_EncodeFSDefault(a[0]));
            if (!encoded) return nullptr;
            const char* path = PyBytes_AsString(encoded.get());
            if (path == nullptr) return nullptr;
            const auto threads = read_threads(a[1], usable_cores());
            if (!threads) return nullptr;
            const auto mapped = without_interpreter([&] { return MappedFile::open(path); });
            if (!mapped) {
                errno = mapped.error();
                return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, a[0]);
            }
            const auto file = (*mapped)->bytes();
            const auto sections = without_interpreter([&] { return container::read(file); });
            if (!sections) return raise_container_error(sections.error());
            std::array<std::optional<std::span<const std::byte>>, 5> found;  // by kind, Store .. Side
            for (const auto& section : *sections) {
                if (section.kind == 0 || section.kind >= found.size()) continue;  // not the collection's
                if (found[section.kind]) {
                    return raise(PyExc_ValueError,
                                 "collection file: section " + std::to_string(section.kind) + " appears twice");
                }
                found[section.kind] = section.bytes;
            }
            using Kind = container::SectionKind;
            const auto& store = found[static_cast<std::size_t>(Kind::Store)];
            const auto& ids = found[static_cast<std::size_t>(Kind::DocIds)];
            if (!store) return raise(PyExc_ValueError, "collection file: no store section");
            if (!ids) return raise(PyExc_ValueError, "collection file: no document id section, not a collection");
            return collection_of_sections(cls, *threads, *store, *ids, found[static_cast<std::size_t>(Kind::Graph)],
                                          found[static_cast<std::size_t>(Kind::Side)], *mapped);
        });
}

// ---------------------------------------------------------------- type

template <class F>
PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int WITH_KEYWORDS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef collection_methods[] = {
    {"add", as_cfunction(add), WITH_KEYWORDS,
     "add($self, ids, vectors)\n--\n\nStore vectors under ids, replacing documents already stored under them."},
    {"delete", as_cfunction(delete_), WITH_KEYWORDS,
     "delete($self, ids)\n--\n\nDelete the documents stored under ids; return how many there were."},
    {"expire", as_cfunction(expire), WITH_KEYWORDS,
     "expire($self, ttl_ms)\n--\n\nDelete documents stored more than ttl_ms milliseconds ago; return the count."},
    {"compact", as_cfunction(compact), METH_NOARGS,
     "compact($self)\n--\n\nFree the slots of deleted and replaced documents; drops the index."},
    {"ids", as_cfunction(ids), METH_NOARGS, "ids($self)\n--\n\nThe stored ids, oldest slot first."},
    {"get", as_cfunction(get), WITH_KEYWORDS,
     "get($self, ids, vectors=False)\n--\n\nThe stored 48-byte codes of ids; with vectors=True, their rescoring\n"
     "side's vectors instead (float32, as stored: int8 or float16 precision)."},
    {"search", as_cfunction(search), WITH_KEYWORDS,
     "search($self, query, k=10, *, exact=False, ef=50, threads=None, rescore=None, oversample=24)\n--\n\n"
     "The k nearest documents of one query (a list of (id, score)) or of a batch\n"
     "((ids, scores) arrays of shape (q, min(k, len(self)))). With rescore (the\n"
     "default when the collection has a side), k * oversample candidates of the\n"
     "codes are ranked again by inner product with the side's vectors (with the\n"
     "codes' signs when side='none'), and scored by it."},
    {"build_index", as_cfunction(build_index), WITH_KEYWORDS,
     "build_index($self, m=16, ef_construction=200, progress=None)\n--\n\nBuild the HNSW graph."},
    {"has_index", as_cfunction(has_index), METH_NOARGS, "has_index($self)\n--\n\nWhether a graph is built."},
    {"_sections", as_cfunction(sections), WITH_KEYWORDS, nullptr},
    {"_from_sections", as_cfunction(from_sections), WITH_KEYWORDS | METH_CLASS, nullptr},
    {"_from_mapped_file", as_cfunction(from_mapped_file), WITH_KEYWORDS | METH_CLASS, nullptr},
    {"_graph_section", as_cfunction(graph_section), METH_NOARGS, nullptr},
    {"_graph_nodes", as_cfunction(graph_nodes), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* side_name(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(SIDE_NAMES[static_cast<std::size_t>(as_collection(self).side)]);
}

PyGetSetDef collection_getset[] = {
    {"side", side_name, nullptr, "The rescoring side chosen at creation: 'none', 'int8' or 'float16'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char TYPE_NAME[] = "kestrix._native.Collection";
char collection_doc[] =
    "Collection(threads=None, side=None)\n--\n\nDocuments under unique ids; see kestrix.Collection.";

}  // namespace

bool add_collection_part(PyObject* module) noexcept {
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
    if (!type) return false;
    return PyModule_AddObject(module, "Collection", type.release()) == 0;
}

}  // namespace kestrix::python

// kestrix._native's batch functions. insert_many / search_many are the batch
// entry points for a Kestrix: they read the caller's arrays in place, checked
// by the package's one batch check (read_batch), and take the instance's
// exclusive or shared access exactly as its own insert and search do, with the
// interpreter lock held throughout, as every Kestrix call holds it. The
// package's kestrix.insert_many/search_many keep their own front door (NumPy
// arrays of two dimensions) and the query options. check_batch, check_ids and
// shard_of give the same checks and the sharded routing to the Python layers.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "batch_io.hpp"
#include "collection.hpp"
#include "id_map.hpp"
#include "native_parts.hpp"
#include "query.hpp"
#include "scan.hpp"

namespace kestrix::python {
namespace {

// Kestrix, looked up in kestrix._kestrix once.
PyObject* kestrix_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyRef module(PyImport_ImportModule("kestrix._kestrix"));
        if (!module) return nullptr;
        type = PyObject_GetAttrString(module.get(), "Kestrix");
    }
    return type;
}

bool check_kestrix(PyObject* db) noexcept {
    PyObject* type = kestrix_type();
    if (type == nullptr) return false;
    const int is = PyObject_IsInstance(db, type);
    if (is < 0) return false;
    if (is == 0) {
        PyErr_Format(PyExc_TypeError, "db must be a kestrix.Kestrix, got %R", db);
        return false;
    }
    return true;
}

constexpr const char* INSERT_MANY_PARAMETERS[] = {"db", "ids", "vectors"};
constexpr MethodSignature INSERT_MANY_SIGNATURE{"kestrix", "insert_many", INSERT_MANY_PARAMETERS, 3};

// Rows a store can take before refusing one: an append while below its
// capacity, then the recycling of a tombstoned slot for each row beyond.
std::uint64_t room_for(const VectorStore& store) noexcept {
    const auto capacity = store.capacity();
    if (!capacity) return std::numeric_limits<std::uint64_t>::max();
    std::uint64_t tombstones = 0;
    for (const std::uint32_t word : store.ids()) tombstones += is_tombstoned(word);
    const std::uint64_t free = *capacity > store.size() ? *capacity - store.size() : 0;
    return free + tombstones;
}

PyObject* insert_many(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(INSERT_MANY_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) -> PyObject* {
        if (!check_kestrix(a[0])) return nullptr;
        // A store's ids need not be unique; they are its id words.
        const auto batch = read_batch(a[1], a[2], {.max_id = TOMBSTONE_BIT - 1});
        if (!batch) return nullptr;
        const std::size_t n = batch->rows.count;
        AccessGuard guard;
        if (!guard.acquire(a[0], Access::Exclusive)) return nullptr;
        VectorStore& store = as_kestrix(a[0]).store;
        // The room is known before the first row: a batch that cannot fit is
        // refused whole instead of stopping part-way.
        if (n > room_for(store)) {
            return PyErr_Format(PyExc_RuntimeError,
                                "insert error: CapacityExceeded (the batch has %zu rows, the store has room for "
                                "%llu; nothing was inserted)",
                                n, static_cast<unsigned long long>(room_for(store)));
        }
        std::vector<std::int64_t> slots(n);
        // Growth first (std::bad_alloc leaves the store as it was); then no
        // insert can fail.
        if (!store.capacity()) store.reserve(store.size() + n);
        for (std::size_t r = 0; r < n; ++r) {
            const auto slot =
                store.insert(static_cast<std::uint32_t>(batch->ids.ids[r]), batch->rows.rows()[r], now_ms());
            slots[r] = slot ? static_cast<std::int64_t>(*slot) : -1;
        }
        return int64_vector(slots);
    });
}

constexpr const char* SEARCH_MANY_PARAMETERS[] = {"db", "queries", "k", "ef", "exact"};
constexpr MethodSignature SEARCH_MANY_SIGNATURE{"kestrix", "search_many", SEARCH_MANY_PARAMETERS, 5};

PyObject* search_many(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(SEARCH_MANY_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) -> PyObject* {
        if (!check_kestrix(a[0])) return nullptr;
        const auto rows = read_float_rows(a[1], "queries", DIMENSION);
        if (!rows) return nullptr;
        const auto k = extract_u64(a[2], "k");
        if (!k) return nullptr;
        const auto ef = extract_u64(a[3], "ef");
        if (!ef) return nullptr;
        const int exact = PyObject_IsTrue(a[4]);
        if (exact < 0) return nullptr;
        AccessGuard guard;
        if (!guard.acquire(a[0], Access::Shared)) return nullptr;
        KestrixObject& object = as_kestrix(a[0]);
        const VectorStore& store = object.store;
        std::size_t live = 0;
        for (const std::uint32_t word : store.ids()) live += !is_tombstoned(word);
        const std::size_t q = rows->count;
        const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(*k, live));
        std::vector<std::int64_t> ids(q * width, -1);
        std::vector<float> scores(q * width, std::numeric_limits<float>::quiet_NaN());
        for (std::size_t r = 0; r < q; ++r) {
            const std::uint64_t* query = rows->rows()[r];
            const auto hits = exact ? scan_top_k(store, query, *k) : search(store, query, *k, *ef, object.queries);
            const std::size_t n = std::min(hits.size(), width);
            for (std::size_t i = 0; i < n; ++i) {
                ids[r * width + i] = hits[i].doc_id;
                scores[r * width + i] = hits[i].score;
            }
        }
        PyRef id_array(int64_matrix(ids, q, width));
        if (!id_array) return nullptr;
        PyRef score_array(float32_matrix(scores, q, width));
        if (!score_array) return nullptr;
        return PyTuple_Pack(2, id_array.get(), score_array.get());
    });
}

// ---------------------------------------------------------------- the checks, for the package

constexpr const char* CHECK_BATCH_PARAMETERS[] = {"ids", "vectors", "dim"};
constexpr MethodSignature CHECK_BATCH_SIGNATURE{"kestrix", "check_batch", CHECK_BATCH_PARAMETERS, 2};

// A collection's batch checked as Collection.add checks it, unique ids
// included, for the layers that hand batches on (the LangChain store, the
// sharded collection): (int64 ids, (n, dim) float32 rows).
PyObject* check_batch(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(CHECK_BATCH_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) -> PyObject* {
        const auto dim = read_dimension(a[2]);
        if (!dim) return nullptr;
        const auto batch =
            read_batch(a[0], a[1], {.max_id = MAX_DOCUMENT_ID, .dim = *dim, .unique_ids = true, .keep_floats = true});
        if (!batch) return nullptr;
        std::vector<std::int64_t> ids(batch->ids.ids.begin(), batch->ids.ids.end());
        PyRef id_array(int64_vector(ids));
        if (!id_array) return nullptr;
        PyRef rows(float32_matrix(batch->rows.floats, ids.size(), *dim));
        if (!rows) return nullptr;
        return PyTuple_Pack(2, id_array.get(), rows.get());
    });
}

// A collection's ids checked as its delete and get check them: int64.
PyObject* check_ids(PyObject*, PyObject* object) noexcept {
    return guarded(
        [object]() -> PyObject* {
            const auto ids = read_ids(object, "ids", MAX_DOCUMENT_ID);
            if (!ids) return nullptr;
            return int64_vector(std::vector<std::int64_t>(ids->ids.begin(), ids->ids.end()));
        },
        nullptr);
}

constexpr const char* SHARD_OF_PARAMETERS[] = {"ids", "shards"};
constexpr MethodSignature SHARD_OF_SIGNATURE{"kestrix", "shard_of", SHARD_OF_PARAMETERS, 2};

// splitmix64(id) mod shards, for each of a collection's ids (an int for one
// int): the routing of a sharded collection, which its folders depend on.
PyObject* shard_of(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(SHARD_OF_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) -> PyObject* {
        const auto ids = read_ids(a[0], "ids", MAX_DOCUMENT_ID);
        if (!ids) return nullptr;
        const auto shards = extract_count(a[1], "shards", 1);
        if (!shards) return nullptr;
        std::vector<std::int64_t> routed(ids->ids.size());
        for (std::size_t i = 0; i < routed.size(); ++i) {
            routed[i] = static_cast<std::int64_t>(splitmix64(ids->ids[i]) % *shards);
        }
        if (ids->single) return PyLong_FromLongLong(routed.front());
        return int64_vector(routed);
    });
}

PyMethodDef batch_functions[] = {
    {"insert_many", as_cfunction(insert_many), WITH_KEYWORDS,
     "insert_many(db, ids, vectors)\n--\n\nChecked rows into a Kestrix, all or none."},
    {"search_many", as_cfunction(search_many), WITH_KEYWORDS,
     "search_many(db, queries, k, ef, exact)\n--\n\nEvery row of the queries."},
    {"check_batch", as_cfunction(check_batch), WITH_KEYWORDS,
     "check_batch(ids, vectors, dim=384)\n--\n\nA collection's batch of dim-dimensional vectors, checked as "
     "Collection.add checks it: (int64 ids, (n, dim) float32 rows)."},
    {"check_ids", as_cfunction(check_ids), METH_O,
     "check_ids(ids, /)\n--\n\nA collection's ids, checked as Collection.delete checks them: int64."},
    {"shard_of", as_cfunction(shard_of), WITH_KEYWORDS,
     "shard_of(ids, shards)\n--\n\nsplitmix64(id) mod shards of each id (an int for one int)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_batch_part(PyObject* module) noexcept { return PyModule_AddFunctions(module, batch_functions) == 0; }

}  // namespace kestrix::python

// kestrix._native.insert_many / search_many: the batch entry points for a
// Kestrix. They read the caller's arrays in place and take the instance's
// exclusive or shared access exactly as its own insert and search do, with the
// interpreter lock held throughout, as every Kestrix call holds it. The
// package's kestrix.insert_many/search_many check the arguments (types,
// shapes, finite values, id range) and hand over C-contiguous float32 rows
// and int64 ids.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "batch_io.hpp"
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

// A C-contiguous array of the given kind and item size, with its rows.
std::optional<ArrayView> contiguous(PyObject* object, const char* name, char kind, int itemsize, int nd,
                                    std::size_t columns) {
    auto array = exact_array_view(object);
    const ArrayInterface* v = array ? array->view : nullptr;
    const bool fits = v != nullptr && v->typekind == kind && v->itemsize == itemsize && v->nd == nd &&
                      (v->flags & ARRAY_INTERFACE_NOTSWAPPED) != 0 &&
                      (nd == 1 || static_cast<std::size_t>(v->shape[1]) == columns) &&
                      (v->strides == nullptr || v->shape[0] <= 1 ||
                       v->strides[0] == static_cast<Py_intptr_t>(itemsize * (nd == 1 ? 1 : columns))) &&
                      (v->strides == nullptr || nd == 1 || v->strides[1] == itemsize);
    if (!fits) {
        PyErr_Format(PyExc_TypeError, "%s: a C-contiguous array of the checked kind was expected", name);
        return std::nullopt;
    }
    return array;
}

const float* row_of(const ArrayView& rows, std::size_t r) noexcept {
    return static_cast<const float*>(rows.view->data) + r * DIMENSION;
}

QuantizedVector quantized_row(const ArrayView& rows, std::size_t r) noexcept {
    return quantize(std::span<const float, DIMENSION>(row_of(rows, r), DIMENSION));
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
        const auto ids = contiguous(a[1], "ids", 'i', 8, 1, 0);
        if (!ids) return nullptr;
        const auto rows = contiguous(a[2], "vectors", 'f', 4, 2, DIMENSION);
        if (!rows) return nullptr;
        const auto n = static_cast<std::size_t>(rows->view->shape[0]);
        if (static_cast<std::size_t>(ids->view->shape[0]) != n) {
            return PyErr_Format(PyExc_ValueError, "ids has %zd entries but vectors has %zu rows",
                                static_cast<Py_ssize_t>(ids->view->shape[0]), n);
        }
        const auto* id_values = static_cast<const std::int64_t*>(ids->view->data);
        for (std::size_t r = 0; r < n; ++r) {
            if (id_values[r] < 0 || id_values[r] >= static_cast<std::int64_t>(TOMBSTONE_BIT)) {
                return PyErr_Format(PyExc_ValueError, "ids must lie in 0..%u, got %lld", TOMBSTONE_BIT - 1,
                                    static_cast<long long>(id_values[r]));
            }
        }
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
            const auto slot = store.insert(static_cast<std::uint32_t>(id_values[r]), quantized_row(*rows, r), now_ms());
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
        const auto rows = contiguous(a[1], "queries", 'f', 4, 2, DIMENSION);
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
        const auto q = static_cast<std::size_t>(rows->view->shape[0]);
        const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(*k, live));
        std::vector<std::int64_t> ids(q * width, -1);
        std::vector<float> scores(q * width, std::numeric_limits<float>::quiet_NaN());
        for (std::size_t r = 0; r < q; ++r) {
            const QuantizedVector query = quantized_row(*rows, r);
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

PyMethodDef batch_functions[] = {
    {"insert_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(insert_many)),
     METH_VARARGS | METH_KEYWORDS, "insert_many(db, ids, vectors)\n--\n\nChecked rows into a Kestrix, all or none."},
    {"search_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_many)),
     METH_VARARGS | METH_KEYWORDS, "search_many(db, queries, k, ef, exact)\n--\n\nEvery row of checked queries."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_batch_part(PyObject* module) noexcept { return PyModule_AddFunctions(module, batch_functions) == 0; }

}  // namespace kestrix::python

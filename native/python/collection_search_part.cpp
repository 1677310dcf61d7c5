// kestrix._native.Collection's searches: the one reader of a search's
// arguments, and search / _search_distances, which run the core's planner
// (collection_query.cpp) under the collection's shared lock.
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "collection_object.hpp"

namespace kestrix::python {

namespace {

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

// Below this many slots a single query is answered without releasing the
// interpreter lock: releasing and taking it back costs more than the scan.
constexpr std::size_t SMALL_COLLECTION = 4096;

constexpr const char* SEARCH_PARAMETERS[] = {"query", "k", "exact", "ef", "threads", "rescore", "oversample", "filter"};
static_assert(std::size(SEARCH_PARAMETERS) <= MAX_PARAMETERS);
constexpr MethodSignature SEARCH_SIGNATURE{"Collection", "search", SEARCH_PARAMETERS, 1};
constexpr MethodSignature SEARCH_DISTANCES_SIGNATURE{"Collection", "_search_distances", SEARCH_PARAMETERS, 1};

// A search's arguments: the queries and every option, in SEARCH_PARAMETERS.
// options.filter views `allowed` (a moved vector keeps its buffer).
struct SearchCall {
    SearchOptions options;
    QuantizedRows queries;
    std::vector<std::uint64_t> allowed;
};

// The one reader of a search's arguments, for every method that searches.
// The queries' floats are kept only for rescoring, which is decided first.
std::optional<SearchCall> read_search_call(PyObject* self, const ArgumentSlots& a) {
    SearchOptions options;
    // Rescoring is on by default where there is a side to rescore with.
    options.rescore = is_side_kept(self);
    if (a[5] != nullptr && a[5] != Py_None) {
        const int truth = PyObject_IsTrue(a[5]);
        if (truth < 0) return std::nullopt;
        options.rescore = truth != 0;
    }
    if (a[6] != nullptr) {
        const auto oversample = extract_count(a[6], "oversample", 1);
        if (!oversample) return std::nullopt;
        options.oversample = *oversample;
    }
    auto queries = read_float_rows(a[0], "query", dimension_of(self), options.rescore);
    if (!queries) return std::nullopt;
    if (a[1] != nullptr) {
        const auto k = extract_count(a[1], "k", 0);
        if (!k) return std::nullopt;
        options.k = *k;
    }
    if (a[2] != nullptr) {
        const int truth = PyObject_IsTrue(a[2]);
        if (truth < 0) return std::nullopt;
        options.exact = truth != 0;
    }
    // None, like leaving it out, lets the collection choose the walk's width.
    if (a[3] != nullptr && a[3] != Py_None) {
        const auto ef = extract_count(a[3], "ef", 1);
        if (!ef) return std::nullopt;
        options.ef = *ef;
    }
    const auto threads = read_threads(a[4], as_collection(self).threads);
    if (!threads) return std::nullopt;
    options.threads = *threads;
    // The allow-list: ids as delete() takes them; None, like leaving it out,
    // allows every document.
    std::vector<std::uint64_t> allowed;
    if (a[7] != nullptr && a[7] != Py_None) {
        auto ids = read_ids(a[7], "filter", MAX_DOCUMENT_ID);
        if (!ids) return std::nullopt;
        allowed = std::move(ids->ids);
        options.filter = std::span<const std::uint64_t>(allowed);
    }
    return SearchCall{options, std::move(*queries), std::move(allowed)};
}

// exact, ef, threads, rescore, oversample and filter are keyword-only.
bool too_many_positional(const char* method, PyObject* args) noexcept {
    if (args == nullptr || PyTuple_Size(args) <= 2) return false;
    PyErr_Format(PyExc_TypeError, "Collection.%s() takes from 1 to 2 positional arguments but %zd were given", method,
                 PyTuple_Size(args));
    return true;
}

}  // namespace

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (too_many_positional("search", args)) return nullptr;
    return run_method(SEARCH_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto call = read_search_call(self, a);
        if (!call) return nullptr;
        const SearchOptions& options = call->options;
        const QuantizedRows& queries = call->queries;
        if (queries.single) {
            const std::uint64_t* query = queries.codes.data();
            const std::span<const float> floats = queries.floats;
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
            self, [&](const Collection& c) { return c.search_batch(queries.rows(), options, queries.floats); });
        PyRef ids(int64_matrix(batch.ids, batch.queries, batch.width));
        if (!ids) return nullptr;
        PyRef scores(float32_matrix(batch.scores, batch.queries, batch.width));
        if (!scores) return nullptr;
        return PyTuple_Pack(2, ids.get(), scores.get());
    });
}

// A batch's (ids, scores, distances), for a caller that merges answers of
// several collections: each hit's Hamming distance beside the score that
// ranked it (the rescored one when rescoring), NO_DISTANCE where a row is
// padded. Takes search's arguments; one query is a batch of one.
PyObject* collection_search_distances(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (too_many_positional("_search_distances", args)) return nullptr;
    return run_method(SEARCH_DISTANCES_SIGNATURE, Access::None, self, args, kwargs,
                      [self](ArgumentSlots& a) -> PyObject* {
                          const auto call = read_search_call(self, a);
                          if (!call) return nullptr;
                          const auto batch = read_locked(self, [&](const Collection& c) {
                              return c.search_batch(call->queries.rows(), call->options, call->queries.floats);
                          });
                          PyRef ids(int64_matrix(batch.ids, batch.queries, batch.width));
                          if (!ids) return nullptr;
                          PyRef scores(float32_matrix(batch.scores, batch.queries, batch.width));
                          if (!scores) return nullptr;
                          PyRef distances(int16_matrix(batch.distances, batch.queries, batch.width));
                          if (!distances) return nullptr;
                          return PyTuple_Pack(3, ids.get(), scores.get(), distances.get());
                      });
}

}  // namespace kestrix::python

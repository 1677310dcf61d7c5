// kestrix._native.Collection's instances, for the files that bind its
// methods: the object's layout, the locks taken around the core, and the
// conversions of its own arguments and errors.
//
// Arguments are converted with the interpreter lock held (arrays are read in
// place, lists item by item) into plain values; the lock is then released
// before the collection's readers-writer lock is waited for, so that no thread
// ever holds one lock while waiting for the other. The one exception is a
// non-blocking try: a small read takes the shared lock by try-lock with the
// interpreter lock held, which cannot wait.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "batch_io.hpp"
#include "collection.hpp"
#include "collection_log.hpp"
#include "frame.hpp"

namespace kestrix::python {

struct CollectionObject {
    PyObject_HEAD std::unique_ptr<GuardedCollection> state;
    std::size_t threads;
    // Fixed at creation: read without the collection's lock.
    side::SideKind side;
    side::Metric metric;
    std::size_t dim;
};

inline CollectionObject& as_collection(PyObject* self) noexcept { return *reinterpret_cast<CollectionObject*>(self); }
inline GuardedCollection& state_of(PyObject* self) noexcept { return *as_collection(self).state; }
inline bool is_side_kept(PyObject* self) noexcept { return as_collection(self).side != side::SideKind::None; }
inline std::size_t dimension_of(PyObject* self) noexcept { return as_collection(self).dim; }

template <class Body>
auto read_locked(PyObject* self, Body&& body) -> decltype(body(std::declval<const Collection&>())) {
    GuardedCollection& state = state_of(self);
    return without_interpreter([&] {
        std::shared_lock lock(state.mutex);
        return body(static_cast<const Collection&>(state.collection));
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

// A new instance of `type` (Collection or a subclass) holding `collection`.
PyObject* make_instance(PyTypeObject* type, std::size_t threads, Collection collection) noexcept;

// threads: None (`fallback`) or an int >= 1.
std::optional<std::size_t> read_threads(PyObject* object, std::size_t fallback);

// The Python exception of a refused call; returns nullptr.
PyObject* raise_collection_error(const CollectionError& error) noexcept;
// The same for a change the collection refused or its log did not take.
PyObject* raise_change_error(PyObject* self, const durable::ChangeError& error) noexcept;

// The searches of the type (collection_search_part.cpp).
PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_search_distances(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// The durable collection's methods of the type (collection_log_part.cpp).
PyObject* collection_replay(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_attach_log(PyObject* self, PyObject* log) noexcept;
PyObject* collection_close_log(PyObject* self, PyObject*) noexcept;
PyObject* collection_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_last_record(PyObject* self, PyObject*) noexcept;

// The file methods of the type (collection_file_part.cpp).
PyObject* collection_write_file(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_file_bytes(PyObject* self, PyObject*) noexcept;
PyObject* collection_graph_section(PyObject* self, PyObject*) noexcept;
PyObject* collection_load_file(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_read_file_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;
PyObject* collection_from_sections(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace kestrix::python

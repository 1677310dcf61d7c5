// The call frame shared by every method of Kestrix: argument parsing, access to
// the instance, conversion of arguments, and the mapping of failures to Python
// exceptions. The core never sees a PyObject; everything Python stops here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "hits.hpp"
#include "hnsw/context.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix::python {

// An owned reference; released on every exit path.
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(ptr_, owned)); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// The instance layout: the store, the working room of its graph queries, then
// the access counter (0 free, n > 0 shared readers, -1 one exclusive user).
struct KestrixObject {
    PyObject_HEAD VectorStore store;
    SearchContext queries;
    Py_ssize_t borrow_flag;
};

inline KestrixObject& as_kestrix(PyObject* self) noexcept { return *reinterpret_cast<KestrixObject*>(self); }

struct MethodSignature {
    const char* class_name;
    const char* method_name;
    std::span<const char* const> parameter_names;
    std::size_t required_count;
};

inline constexpr std::size_t MAX_PARAMETERS = 8;
// One borrowed reference per parameter; nullptr where an optional one was not passed.
using ArgumentSlots = std::array<PyObject*, MAX_PARAMETERS>;

// Matches positional and keyword arguments to the signature; on failure raises
// TypeError with the interpreter-style message and returns false.
bool parse_arguments(const MethodSignature& signature, PyObject* args, PyObject* kwargs, ArgumentSlots& slots);

enum class Access { None, Shared, Exclusive };

// Holds shared or exclusive access to an instance for the duration of a call.
class AccessGuard {
public:
    AccessGuard() noexcept = default;
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard();
    // Raises RuntimeError and returns false when the instance is in conflicting use.
    bool acquire(PyObject* self, Access access) noexcept;

private:
    KestrixObject* object_ = nullptr;
    Access access_ = Access::None;
};

// The components of one vector argument. Every item is converted, so a bad
// item anywhere still raises its own error, but only the first
// STORED_COMPONENTS are kept (one past the longest vector of any store): a
// longer vector is refused by its length anyway, and memory stays flat however
// long the argument is. size() counts every item; data() holds min(size(),
// STORED_COMPONENTS) values, which is all of them whenever the length is right.
inline constexpr std::size_t STORED_COMPONENTS = kernels::MAX_CODE_DIMENSION + 1;

class FloatVector {
public:
    std::size_t size() const noexcept { return count_; }
    const float* data() const noexcept { return values_.data(); }

    void reserve(std::size_t hint) { values_.reserve(std::min(hint, STORED_COMPONENTS)); }
    void append(float value) {
        if (values_.size() < STORED_COMPONENTS) values_.push_back(value);
        ++count_;
    }
    // Items known good without being stored.
    void count_more(std::size_t items) noexcept { count_ += items; }

private:
    std::vector<float> values_;
    std::size_t count_ = 0;
};

// Conversions. Each yields a value, or sets an exception and yields nothing; a
// TypeError is re-raised as "argument '<name>': <message>".
std::optional<std::uint64_t> extract_u64(PyObject* object, const char* name);
std::optional<std::uint32_t> extract_u32(PyObject* object, const char* name);
std::optional<double> extract_f64(PyObject* object, const char* name);
std::optional<FloatVector> extract_float_vector(PyObject* object, const char* name);
std::optional<std::span<const std::byte>> extract_bytes(PyObject* object, const char* name);

// The package's one reader of an integer argument: an int, or any object with
// __index__ (a NumPy integer), but not a bool. Values outside 0..2^64-1 are
// told apart, not refused, so that each caller refuses or saturates as it
// documents. Nothing, with no exception set, for an object that is not an
// integer; nothing with one set when its conversion raised.
struct IndexValue {
    enum class Range : std::uint8_t { Fits, Negative, Above };
    Range range;
    std::uint64_t value;  // when it fits
    PyRef integer;        // the converted int, for messages
};
std::optional<IndexValue> read_index(PyObject* object);
// A count (k, ef, m, threads, ...) of at least `least`: TypeError "<name> must
// be an int, got <repr>", ValueError "<name> must be >= <least>, got <value>";
// a value past 2^64-1 saturates.
std::optional<std::uint64_t> extract_count(PyObject* object, const char* name, std::uint64_t least);

// The C side of NumPy's array interface (the capsule behind __array_struct__),
// a layout NumPy documents as stable. Mirrored here so that neither the build
// nor the import of the modules needs NumPy.
struct ArrayInterface {
    int two;  // always 2
    int nd;
    char typekind;
    int itemsize;
    int flags;
    Py_intptr_t* shape;
    Py_intptr_t* strides;  // nullptr: C-contiguous
    void* data;
    PyObject* descr;
};
inline constexpr int ARRAY_INTERFACE_NOTSWAPPED = 0x200;

// An exact numpy.ndarray seen through its interface; the capsule keeps the
// memory alive. Read only with the interpreter lock held.
struct ArrayView {
    PyRef capsule;
    const ArrayInterface* view;
};

// Whether the object is NumPy's own ndarray (not a subclass or a look-alike,
// whose interface could point anywhere).
bool is_exact_ndarray(PyObject* object) noexcept;
// The interface of an exact ndarray, or nothing (no exception set) for any
// other object or an interface that does not make sense.
std::optional<ArrayView> exact_array_view(PyObject* object) noexcept;

// Raise `type` with a one-argument str message. Always returns nullptr.
PyObject* raise(PyObject* type, std::string_view message) noexcept;
// TypeError "'<type>' object cannot be converted to '<target>'". Returns nullptr.
PyObject* raise_not_convertible(PyObject* object, const char* target);
// Re-raises a pending TypeError (and only that) as "argument '<name>': <message>".
void name_argument_in_type_error(const char* name) noexcept;
// "<context> error: <Variant>"
PyObject* raise_store_error(PyObject* type, std::string_view context, StoreError error) noexcept;

// Results.
PyObject* to_python_bool(bool value) noexcept;
PyObject* to_python_hits(std::span<const SearchHit> hits) noexcept;

// A method of any calling convention as a method table stores it.
template <class F>
PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline constexpr int WITH_KEYWORDS = METH_VARARGS | METH_KEYWORDS;

// Runs a body, turning an exhausted allocator into MemoryError. No C++
// exception crosses into the interpreter.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "kestrix: unexpected internal failure");
    }
    return failure;
}

// The frame of a method with parameters: parse, take access, then run the body
// (which converts its arguments in order, calls the core once and builds the
// result). Access is released on every path.
template <class Body>
PyObject* run_method(const MethodSignature& signature, Access access, PyObject* self, PyObject* args, PyObject* kwargs,
                     Body&& body) noexcept {
    ArgumentSlots slots{};
    if (!parse_arguments(signature, args, kwargs, slots)) return nullptr;
    AccessGuard guard;
    if (!guard.acquire(self, access)) return nullptr;
    return guarded([&]() -> PyObject* { return body(slots); }, nullptr);
}

// The frame of a method without parameters (the interpreter refuses arguments).
template <class Body>
PyObject* run_noargs(Access access, PyObject* self, Body&& body) noexcept {
    AccessGuard guard;
    if (!guard.acquire(self, access)) return nullptr;
    return guarded([&]() -> PyObject* { return body(); }, nullptr);
}

}  // namespace kestrix::python

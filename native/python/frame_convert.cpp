// Python values into the core's arguments, and the core's results into
// Python values.
#include "frame.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "float_rows.hpp"

namespace kestrix::python {

namespace {

std::optional<std::uint64_t> unsigned_from_int(PyObject* integer) noexcept {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

// One item of a vector: the interpreter's float conversion, rounded to the
// nearest single-precision value.
bool append_component(FloatVector& out, PyObject* item) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out.append(narrow_to_float(value));
    return true;
}

// Index by index from `start`, with the length re-read at every step, as the
// list iterator does: an item's __float__ may change the list under us.
bool fill_items_carefully(FloatVector& out, PyObject* object, bool is_list, Py_ssize_t start) {
    for (Py_ssize_t i = start;; ++i) {
        const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
        if (i >= size) return true;
        PyObject* borrowed = is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
        if (borrowed == nullptr) return false;
        PyRef item(borrowed);
        Py_INCREF(borrowed);
        if (!append_component(out, item.get())) return false;
    }
}

// The common case first: as long as the items are exact floats, converting
// them runs no Python code and cannot fail, so the list cannot change and the
// borrowed items stay valid. The first item of any other type hands over to
// the careful loop at that index.
bool fill_from_list_or_tuple(FloatVector& out, PyObject* object, bool is_list) {
    const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
    if (size < 0) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
        if (item == nullptr || !PyFloat_CheckExact(item)) return fill_items_carefully(out, object, is_list, i);
        out.append(narrow_to_float(PyFloat_AsDouble(item)));
    }
    return true;
}

}  // namespace

// The one array type whose memory we read directly: NumPy's own ndarray, a
// static (non-heap) type named numpy.ndarray. Subclasses and look-alikes are
// refused, since their interface could point anywhere; they take the generic
// road. The type is recognised afresh at every call (two attribute reads)
// rather than remembered, so the module keeps no state of its own beyond the
// module and its type.
bool is_exact_ndarray(PyObject* object) noexcept {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return false;
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE) != 0) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef module(PyObject_GetAttrString(type, "__module__"));
    PyRef name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           PyUnicode_CompareWithASCIIString(name.get(), "ndarray") == 0;
}

std::optional<ArrayView> exact_array_view(PyObject* object) noexcept {
    if constexpr (std::endian::native != std::endian::little) return std::nullopt;
    if (!is_exact_ndarray(object)) return std::nullopt;
    PyRef capsule(PyObject_GetAttrString(object, "__array_struct__"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
        PyErr_Clear();
        return std::nullopt;
    }
    const auto* view = static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (view == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (view->two != 2 || view->nd < 0) return std::nullopt;
    for (int d = 0; d < view->nd; ++d) {
        if (view->shape[d] < 0) return std::nullopt;
    }
    return ArrayView{std::move(capsule), view};
}

namespace {

// A one-dimensional, contiguous, native-order float32 or float64 ndarray is
// read straight from its memory, each value going through double and then
// float exactly as PyFloat_AsDouble of its items would. Returns false, with no
// exception set, for every other array: those take the generic road.
bool fill_from_ndarray(FloatVector& out, PyObject* object) {
    const auto array = exact_array_view(object);
    if (!array) return false;
    const ArrayInterface* view = array->view;
    if (view->nd != 1 || view->typekind != 'f' || (view->flags & ARRAY_INTERFACE_NOTSWAPPED) == 0 ||
        (view->itemsize != 4 && view->itemsize != 8)) {
        return false;
    }
    const Py_intptr_t length = view->shape[0];
    if (length > 1 && view->strides != nullptr && view->strides[0] != view->itemsize) return false;
    // Reading a float from memory cannot fail, so the items past those kept
    // need no conversion to be known good: they are only counted.
    const auto* bytes = static_cast<const unsigned char*>(view->data);
    const auto kept =
        static_cast<Py_intptr_t>(std::min<std::size_t>(static_cast<std::size_t>(length), STORED_COMPONENTS));
    for (Py_intptr_t i = 0; i < kept; ++i) {
        if (view->itemsize == 4) {
            float value;
            std::memcpy(&value, bytes + 4 * i, sizeof value);
            out.append(value);  // widening then narrowing is exact
        } else {
            double value;
            std::memcpy(&value, bytes + 8 * i, sizeof value);
            out.append(narrow_to_float(value));
        }
    }
    out.count_more(static_cast<std::size_t>(length - kept));
    return true;
}

bool fill_from_iteration(FloatVector& out, PyObject* object) {
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyObject* next = PyIter_Next(iterator.get())) {
        PyRef item(next);
        if (!append_component(out, item.get())) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

std::optional<std::uint64_t> extract_u64(PyObject* object, const char* name) {
    std::optional<std::uint64_t> value;
    if (PyLong_Check(object)) {
        value = unsigned_from_int(object);
    } else if (PyRef index{PyNumber_Index(object)}) {
        value = unsigned_from_int(index.get());
    }
    if (!value) name_argument_in_type_error(name);
    return value;
}

std::optional<std::uint32_t> extract_u32(PyObject* object, const char* name) {
    const auto wide = extract_u64(object, name);
    if (!wide) return std::nullopt;
    if (*wide > 0xFFFFFFFFull) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*wide);
}

std::optional<double> extract_f64(PyObject* object, const char* name) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_argument_in_type_error(name);
        return std::nullopt;
    }
    return value;
}

std::optional<FloatVector> extract_float_vector(PyObject* object, const char* name) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "a str cannot be extracted into a vector of numbers");
        name_argument_in_type_error(name);
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_not_convertible(object, "Sequence");
        name_argument_in_type_error(name);
        return std::nullopt;
    }

    FloatVector values;
    if (fill_from_ndarray(values, object)) return values;

    // The length is only a hint (__len__ may lie); room is never taken for
    // more than is kept.
    const Py_ssize_t hinted = PySequence_Size(object);
    if (hinted < 0) {
        PyErr_Clear();
    } else {
        values.reserve(static_cast<std::size_t>(hinted));
    }

    bool ok;
    if (PyList_CheckExact(object)) {
        ok = fill_from_list_or_tuple(values, object, true);
    } else if (PyTuple_CheckExact(object)) {
        ok = fill_from_list_or_tuple(values, object, false);
    } else {
        ok = fill_from_iteration(values, object);
    }
    if (!ok) {
        name_argument_in_type_error(name);
        return std::nullopt;
    }
    return values;
}

std::optional<std::span<const std::byte>> extract_bytes(PyObject* object, const char* name) {
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS) == 0) {
        raise_not_convertible(object, "PyBytes");
        name_argument_in_type_error(name);
        return std::nullopt;
    }
    const char* data = PyBytes_AsString(object);
    const Py_ssize_t size = PyBytes_Size(object);
    if (data == nullptr || size < 0) return std::nullopt;
    return std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), static_cast<std::size_t>(size));
}

std::optional<IndexValue> read_index(PyObject* object) {
    if (PyBool_Check(object) || !PyIndex_Check(object)) return std::nullopt;
    PyRef integer(PyNumber_Index(object));
    if (!integer) return std::nullopt;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    using Range = IndexValue::Range;
    if (overflow < 0 || (overflow == 0 && value < 0)) return IndexValue{Range::Negative, 0, std::move(integer)};
    if (overflow == 0) return IndexValue{Range::Fits, static_cast<std::uint64_t>(value), std::move(integer)};
    const unsigned long long wide = PyLong_AsUnsignedLongLong(integer.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        PyErr_Clear();
        return IndexValue{Range::Above, 0, std::move(integer)};
    }
    return IndexValue{Range::Fits, static_cast<std::uint64_t>(wide), std::move(integer)};
}

std::optional<std::uint64_t> extract_count(PyObject* object, const char* name, std::uint64_t least) {
    auto integer = read_index(object);
    if (!integer) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be an int, got %R", name, object);
        return std::nullopt;
    }
    using Range = IndexValue::Range;
    if (integer->range == Range::Negative || (integer->range == Range::Fits && integer->value < least)) {
        PyErr_Format(PyExc_ValueError, "%s must be >= %llu, got %S", name, static_cast<unsigned long long>(least),
                     integer->integer.get());
        return std::nullopt;
    }
    return integer->range == Range::Above ? ~std::uint64_t{0} : integer->value;
}

PyObject* to_python_bool(bool value) noexcept {
    PyObject* result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

PyObject* to_python_hits(std::span<const SearchHit> hits) noexcept {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        PyRef id(PyLong_FromUnsignedLongLong(hits[i].doc_id));
        if (!id) return nullptr;
        PyRef score(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
        if (!score) return nullptr;
        PyRef pair(PyTuple_New(2));
        if (!pair) return nullptr;
        PyTuple_SetItem(pair.get(), 0, id.release());
        PyTuple_SetItem(pair.get(), 1, score.release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list.release();
}

}  // namespace kestrix::python

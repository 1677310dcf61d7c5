#include "batch_io.hpp"

#include <cstring>
#include <string>

#include "bytes.hpp"
#include "float_rows.hpp"
#include "id_map.hpp"

namespace kestrix::python {

namespace {

std::string shape_text(const ArrayInterface* view) {
    std::string text = "(";
    for (int d = 0; d < view->nd; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(view->shape[d]);
    }
    if (view->nd == 1) text += ",";
    return text + ")";
}

PyObject* raise_not_finite(const char* name, std::size_t row) noexcept {
    try {
        return raise(PyExc_ValueError, std::string(name) + " row " + std::to_string(row) +
                                           " holds a NaN or an infinity (or overflows float32)");
    } catch (...) {
        return PyErr_NoMemory();
    }
}

PyObject* raise_columns(const char* name, std::size_t dim, std::string_view got) noexcept {
    try {
        return raise(PyExc_ValueError,
                     std::string(name) + " must have " + std::to_string(dim) + " columns, got " + std::string(got));
    } catch (...) {
        return PyErr_NoMemory();
    }
}

// The rows quantised (their floats kept with keep_floats), or the exception
// of the first that is not finite.
std::optional<QuantizedRows> quantized(const FloatRows& rows, const char* name, bool single, bool keep_floats) {
    QuantizedRows out;
    out.dim = rows.columns;
    out.count = rows.rows;
    out.single = single;
    if (const auto bad = quantize_rows(rows, out.codes, keep_floats ? &out.floats : nullptr)) {
        raise_not_finite(name, *bad);
        return std::nullopt;
    }
    return out;
}

std::optional<QuantizedRows> rows_from_array(const ArrayInterface* view, const char* name, std::size_t dim,
                                             bool keep_floats) {
    if (view->typekind != 'f' || (view->itemsize != 2 && view->itemsize != 4 && view->itemsize != 8)) {
        raise(PyExc_TypeError, std::string(name) + " must have a floating dtype (float16, float32 or float64)");
        return std::nullopt;
    }
    if ((view->flags & ARRAY_INTERFACE_NOTSWAPPED) == 0) {
        raise(PyExc_TypeError, std::string(name) + " must be in the machine's byte order");
        return std::nullopt;
    }
    if (view->nd != 1 && view->nd != 2) {
        raise(PyExc_ValueError, std::string(name) + " must be 1-D (one vector) or 2-D (n, " + std::to_string(dim) +
                                    "), got shape " + shape_text(view));
        return std::nullopt;
    }
    const std::size_t columns = static_cast<std::size_t>(view->shape[view->nd - 1]);
    if (columns != dim) {
        raise_columns(name, dim, "shape " + shape_text(view));
        return std::nullopt;
    }
    FloatRows rows;
    rows.data = static_cast<const std::byte*>(view->data);
    rows.rows = view->nd == 2 ? static_cast<std::size_t>(view->shape[0]) : 1;
    rows.columns = dim;
    const auto item = static_cast<std::ptrdiff_t>(view->itemsize);
    rows.column_stride = view->strides ? view->strides[view->nd - 1] : item;
    rows.row_stride = view->nd == 2 ? (view->strides ? view->strides[0] : item * static_cast<std::ptrdiff_t>(dim)) : 0;
    rows.kind = view->itemsize == 2 ? FloatKind::Half : view->itemsize == 4 ? FloatKind::Single : FloatKind::Double;
    return quantized(rows, name, view->nd == 1, keep_floats);
}

bool is_vector_like(PyObject* object) noexcept {
    return PySequence_Check(object) && !PyUnicode_Check(object) && !PyBytes_Check(object);
}

// Items of the list or tuple PySequence_Fast returned (borrowed).
Py_ssize_t fast_size(PyObject* sequence) noexcept {
    return PyList_Check(sequence) ? PyList_Size(sequence) : PyTuple_Size(sequence);
}
PyObject* fast_item(PyObject* sequence, Py_ssize_t i) noexcept {
    return PyList_Check(sequence) ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i);
}

}  // namespace

std::optional<QuantizedRows> read_float_rows(PyObject* object, const char* name, std::size_t dim, bool keep_floats) {
    if (auto array = exact_array_view(object)) return rows_from_array(array->view, name, dim, keep_floats);
    if (!is_vector_like(object)) {
        raise(PyExc_TypeError, std::string(name) + " must be an array of shape (n, " + std::to_string(dim) +
                                   "), a list of vectors or one vector");
        return std::nullopt;
    }
    PyRef sequence(PySequence_Fast(object, "expected a sequence"));
    if (!sequence) return std::nullopt;
    const Py_ssize_t n = fast_size(sequence.get());
    // One vector when its first item is a number rather than a row.
    bool single = false;
    if (n > 0) {
        PyObject* first = fast_item(sequence.get(), 0);
        single = !is_vector_like(first);
    }
    std::vector<float> values;
    if (single) {
        auto vector = extract_float_vector(object, name);
        if (!vector) return std::nullopt;
        if (vector->size() != dim) {
            raise_columns(name, dim, std::to_string(vector->size()) + " values");
            return std::nullopt;
        }
        values.assign(vector->data(), vector->data() + dim);
    } else {
        values.reserve(static_cast<std::size_t>(n) * dim);
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Each row is its own object; the outer sequence is a fixed copy.
            // Held: a row's conversion may run code that changes the outer list.
            PyObject* row = fast_item(sequence.get(), i);
            if (row == nullptr) return std::nullopt;
            Py_INCREF(row);
            PyRef held(row);
            auto vector = extract_float_vector(row, name);
            if (!vector) return std::nullopt;
            if (vector->size() != dim) {
                raise_columns(name, dim,
                              "a row of " + std::to_string(vector->size()) + " values (row " + std::to_string(i) + ")");
                return std::nullopt;
            }
            values.insert(values.end(), vector->data(), vector->data() + dim);
        }
    }
    FloatRows rows;
    rows.data = reinterpret_cast<const std::byte*>(values.data());
    rows.rows = values.size() / dim;
    rows.columns = dim;
    rows.row_stride = static_cast<std::ptrdiff_t>(dim * sizeof(float));
    rows.column_stride = sizeof(float);
    // The floats are at hand already.
    auto out = quantized(rows, name, single, false);
    if (out && keep_floats) out->floats = std::move(values);
    return out;
}

std::optional<std::size_t> read_dimension(PyObject* object) {
    if (object == nullptr) return DIMENSION;
    const auto integer = read_index(object);
    if (!integer) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "dim must be an int, got %R", object);
        return std::nullopt;
    }
    if (integer->range != IndexValue::Range::Fits || integer->value < 1 ||
        integer->value > kernels::MAX_CODE_DIMENSION) {
        PyErr_Format(PyExc_ValueError, "dim must lie in 1..%zu, got %S", kernels::MAX_CODE_DIMENSION,
                     integer->integer.get());
        return std::nullopt;
    }
    return static_cast<std::size_t>(integer->value);
}

namespace {

PyObject* raise_id_range(const char* name, std::uint64_t max, const std::string& got) noexcept {
    try {
        return raise(PyExc_ValueError, std::string(name) + " must lie in 0.." + std::to_string(max) + ", got " + got);
    } catch (...) {
        return PyErr_NoMemory();
    }
}

// One Python integer (or an object with __index__) as an id.
std::optional<std::uint64_t> one_id(PyObject* item, const char* name, std::uint64_t max) {
    const auto integer = read_index(item);
    if (!integer) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be integers, got %R", name, item);
        return std::nullopt;
    }
    if (integer->range != IndexValue::Range::Fits || integer->value > max) {
        PyErr_Format(PyExc_ValueError, "%s must lie in 0..%llu, got %S", name, static_cast<unsigned long long>(max),
                     integer->integer.get());
        return std::nullopt;
    }
    return integer->value;
}

std::optional<DocumentIds> ids_from_array(const ArrayInterface* view, const char* name, std::uint64_t max) {
    if ((view->typekind != 'i' && view->typekind != 'u') || (view->flags & ARRAY_INTERFACE_NOTSWAPPED) == 0 ||
        (view->itemsize != 1 && view->itemsize != 2 && view->itemsize != 4 && view->itemsize != 8)) {
        raise(PyExc_TypeError, std::string(name) + " must have an integer dtype");
        return std::nullopt;
    }
    if (view->nd != 1) {
        raise(PyExc_ValueError, std::string(name) + " must be 1-D, got shape " + shape_text(view));
        return std::nullopt;
    }
    DocumentIds out;
    const auto n = static_cast<std::size_t>(view->shape[0]);
    out.ids.resize(n);
    const auto* base = static_cast<const std::byte*>(view->data);
    const std::ptrdiff_t stride = view->strides ? view->strides[0] : view->itemsize;
    const bool is_signed = view->typekind == 'i';
    for (std::size_t i = 0; i < n; ++i) {
        const std::byte* at = base + static_cast<std::ptrdiff_t>(i) * stride;
        std::int64_t signed_value = 0;
        std::uint64_t value = 0;
        switch (view->itemsize) {
            case 1: signed_value = is_signed ? load<std::int8_t>(at) : load<std::uint8_t>(at); break;
            case 2: signed_value = is_signed ? load<std::int16_t>(at) : load<std::uint16_t>(at); break;
            case 4: signed_value = is_signed ? load<std::int32_t>(at) : load<std::uint32_t>(at); break;
            default:
                if (is_signed) {
                    signed_value = load<std::int64_t>(at);
                } else {
                    value = load<std::uint64_t>(at);
                    if (value > max) {
                        raise_id_range(name, max, std::to_string(value));
                        return std::nullopt;
                    }
                    out.ids[i] = value;
                    continue;
                }
        }
        if (signed_value < 0 || static_cast<std::uint64_t>(signed_value) > max) {
            raise_id_range(name, max, std::to_string(signed_value));
            return std::nullopt;
        }
        out.ids[i] = static_cast<std::uint64_t>(signed_value);
    }
    return out;
}

}  // namespace

std::optional<DocumentIds> read_ids(PyObject* object, const char* name, std::uint64_t max) {
    if (auto array = exact_array_view(object)) {
        if (array->view->nd == 0) {
            // A NumPy scalar-like array: one id through __index__.
        } else {
            return ids_from_array(array->view, name, max);
        }
    }
    if (PyLong_Check(object) || (!PySequence_Check(object) && PyIndex_Check(object))) {
        auto id = one_id(object, name, max);
        if (!id) return std::nullopt;
        DocumentIds out;
        out.ids.push_back(*id);
        out.single = true;
        return out;
    }
    if (!PySequence_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object)) {
        raise(PyExc_TypeError, std::string(name) + " must be an integer or a 1-D sequence of integers");
        return std::nullopt;
    }
    PyRef sequence(PySequence_Fast(object, "expected a sequence"));
    if (!sequence) return std::nullopt;
    const Py_ssize_t n = fast_size(sequence.get());
    DocumentIds out;
    out.ids.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = fast_item(sequence.get(), i);
        if (item == nullptr) return std::nullopt;
        Py_INCREF(item);
        PyRef held(item);
        auto id = one_id(item, name, max);
        if (!id) return std::nullopt;
        out.ids.push_back(*id);
    }
    return out;
}

PyObject* raise_repeated_id(std::uint64_t id, std::size_t row) noexcept {
    return PyErr_Format(PyExc_ValueError, "ids holds %llu more than once (again at row %zu)",
                        static_cast<unsigned long long>(id), row);
}

std::optional<Batch> read_batch(PyObject* ids, PyObject* vectors, const BatchRules& rules) {
    auto read_ids_of = read_ids(ids, "ids", rules.max_id);
    if (!read_ids_of) return std::nullopt;
    auto rows = read_float_rows(vectors, "vectors", rules.dim, rules.keep_floats);
    if (!rows) return std::nullopt;
    if (read_ids_of->ids.size() != rows->count) {
        PyErr_Format(PyExc_ValueError, "ids has %zu entries but vectors has %zu rows", read_ids_of->ids.size(),
                     rows->count);
        return std::nullopt;
    }
    if (rules.unique_ids) {
        if (const auto row = first_repeat(read_ids_of->ids)) {
            raise_repeated_id(read_ids_of->ids[*row], *row);
            return std::nullopt;
        }
    }
    return Batch{std::move(*read_ids_of), std::move(*rows)};
}

// ---------------------------------------------------------------- results

namespace {

// numpy, imported on first need; nullptr (remembered) when it cannot be.
PyObject* numpy_module() noexcept {
    static PyObject* numpy = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        numpy = PyImport_ImportModule("numpy");
        if (numpy == nullptr) PyErr_Clear();
    }
    return numpy;
}

// numpy.empty(shape, dtype) and its memory, or nullptr with an exception set.
PyObject* empty_array(PyObject* numpy, std::size_t rows, std::size_t cols, bool two_d, const char* dtype,
                      void** data) noexcept {
    PyRef shape(two_d ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols))
                      : Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows)));
    if (!shape) return nullptr;
    PyRef array(PyObject_CallMethod(numpy, "empty", "Os", shape.get(), dtype));
    if (!array) return nullptr;
    PyRef capsule(PyObject_GetAttrString(array.get(), "__array_struct__"));
    if (!capsule) return nullptr;
    const auto* view = static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (view == nullptr) return nullptr;
    *data = view->data;
    return array.release();
}

template <class T, class Make>
PyObject* matrix(std::span<const T> values, std::size_t rows, std::size_t cols, bool two_d, const char* dtype,
                 Make make) noexcept {
    if (PyObject* numpy = numpy_module()) {
        void* data = nullptr;
        PyObject* array = empty_array(numpy, rows, cols, two_d, dtype, &data);
        if (array != nullptr && !values.empty()) std::memcpy(data, values.data(), values.size_bytes());
        return array;
    }
    const std::size_t width = two_d ? cols : 1;
    PyRef outer(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!outer) return nullptr;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!two_d) {
            PyObject* item = make(values[r]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(r), item);
            continue;
        }
        PyRef row(PyList_New(static_cast<Py_ssize_t>(width)));
        if (!row) return nullptr;
        for (std::size_t c = 0; c < width; ++c) {
            PyObject* item = make(values[r * width + c]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(row.get(), static_cast<Py_ssize_t>(c), item);
        }
        PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(r), row.release());
    }
    return outer.release();
}

}  // namespace

PyObject* int64_matrix(std::span<const std::int64_t> values, std::size_t rows, std::size_t cols) noexcept {
    return matrix(values, rows, cols, true, "int64", [](std::int64_t v) { return PyLong_FromLongLong(v); });
}

PyObject* float32_matrix(std::span<const float> values, std::size_t rows, std::size_t cols) noexcept {
    return matrix(values, rows, cols, true, "float32",
                  [](float v) { return PyFloat_FromDouble(static_cast<double>(v)); });
}

PyObject* int16_matrix(std::span<const std::int16_t> values, std::size_t rows, std::size_t cols) noexcept {
    return matrix(values, rows, cols, true, "int16", [](std::int16_t v) { return PyLong_FromLong(v); });
}

PyObject* int64_vector(std::span<const std::int64_t> values) noexcept {
    return matrix(values, values.size(), 1, false, "int64", [](std::int64_t v) { return PyLong_FromLongLong(v); });
}

PyObject* code_matrix(std::span<const std::uint64_t> codes, std::size_t words) noexcept {
    const std::size_t width = words * sizeof(std::uint64_t);
    const std::size_t n = codes.size() / words;
    if (PyObject* numpy = numpy_module()) {
        void* data = nullptr;
        PyObject* array = empty_array(numpy, n, width, true, "uint8", &data);
        if (array != nullptr && !codes.empty()) std::memcpy(data, codes.data(), codes.size_bytes());
        return array;
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(codes.data() + i * words),
                                                    static_cast<Py_ssize_t>(width));
        if (bytes == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), bytes);
    }
    return list.release();
}

}  // namespace kestrix::python

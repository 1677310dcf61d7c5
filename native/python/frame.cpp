#include "frame.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "float_rows.hpp"

namespace kestrix::python {

namespace {

std::string call_name(const MethodSignature& signature) {
    std::string name = signature.class_name;
    name += '.';
    name += signature.method_name;
    name += "()";
    return name;
}

// The text of a str object as UTF-8 (the limited API of 3.8 has no borrowed view).
std::optional<std::string> utf8(PyObject* text) {
    PyRef bytes(PyUnicode_AsUTF8String(text));
    if (!bytes) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

std::string type_qualname(PyObject* object) {
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        if (auto text = utf8(qualname.get())) return *text;
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

PyObject* raise_not_convertible(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return raise(PyExc_TypeError, message);
}

// A conversion that failed with exactly TypeError is re-raised as a TypeError
// naming the argument. Only the original's cause is carried over, so the
// traceback shows what went wrong inside the value, not the re-raise itself.
void name_argument_in_type_error(const char* name) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type);
    PyRef original(value);
    PyRef owned_traceback(traceback);

    PyRef text(PyObject_Str(original.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool name_matches(PyObject* key, const char* name) noexcept {
    // The length check keeps a key with an embedded NUL from matching a prefix.
    return PyUnicode_Check(key) &&
           PyUnicode_GetLength(key) == static_cast<Py_ssize_t>(std::strlen(name)) &&
           PyUnicode_CompareWithASCIIString(key, name) == 0;
}

std::optional<std::uint64_t> unsigned_from_int(PyObject* integer) noexcept {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

// One item of a vector: the interpreter's float conversion, rounded to the
// nearest single-precision value.
bool append_component(std::vector<float>& out, PyObject* item) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out.push_back(narrow_to_float(value));
    return true;
}

// Reservation is only a hint taken from __len__, which may lie; it never
// exceeds what a vector could reasonably hold.
constexpr Py_ssize_t MAX_RESERVED_COMPONENTS = 1 << 16;

// Index by index from `start`, with the length re-read at every step, as the
// list iterator does: an item's __float__ may change the list under us.
bool fill_items_carefully(std::vector<float>& out, PyObject* object, bool is_list, Py_ssize_t start) {
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
// them runs no Python code and cannot fail, so the list cannot change, the
// borrowed items stay valid and the values go straight into place. The first
// item of any other type hands over to the careful loop at that index.
bool fill_from_list_or_tuple(std::vector<float>& out, PyObject* object, bool is_list) {
    const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
    if (size < 0) return false;
    out.resize(static_cast<std::size_t>(size));
    float* values = out.data();
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
        if (item == nullptr || !PyFloat_CheckExact(item)) {
            out.resize(static_cast<std::size_t>(i));
            return fill_items_carefully(out, object, is_list, i);
        }
        values[i] = narrow_to_float(PyFloat_AsDouble(item));
    }
    return true;
}

// The one array type whose memory we read directly: NumPy's own ndarray, a
// static (non-heap) type named numpy.ndarray. Subclasses and look-alikes are
// refused, since their interface could point anywhere; they take the generic
// road. The type is remembered at first sight, for the life of the process.
PyObject* ndarray_type = nullptr;

}  // namespace

bool is_exact_ndarray(PyObject* object) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (type == ndarray_type) return true;
    if (ndarray_type != nullptr || PyList_CheckExact(object) || PyTuple_CheckExact(object)) return false;
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE) != 0) return false;
    PyRef module(PyObject_GetAttrString(type, "__module__"));
    PyRef name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0 ||
        PyUnicode_CompareWithASCIIString(name.get(), "ndarray") != 0) {
        return false;
    }
    Py_INCREF(type);
    ndarray_type = type;
    return true;
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
bool fill_from_ndarray(std::vector<float>& out, PyObject* object) {
    const auto array = exact_array_view(object);
    if (!array) return false;
    const ArrayInterface* view = array->view;
    if (view->nd != 1 || view->typekind != 'f' || (view->flags & ARRAY_INTERFACE_NOTSWAPPED) == 0 ||
        (view->itemsize != 4 && view->itemsize != 8)) {
        return false;
    }
    const Py_intptr_t length = view->shape[0];
    if (length > 1 && view->strides != nullptr && view->strides[0] != view->itemsize) return false;
    out.resize(static_cast<std::size_t>(length));
    const auto* bytes = static_cast<const unsigned char*>(view->data);
    if (view->itemsize == 4) {
        for (Py_intptr_t i = 0; i < length; ++i) {
            float value;
            std::memcpy(&value, bytes + 4 * i, sizeof value);
            out[static_cast<std::size_t>(i)] = value;  // widening then narrowing is exact
        }
    } else {
        for (Py_intptr_t i = 0; i < length; ++i) {
            double value;
            std::memcpy(&value, bytes + 8 * i, sizeof value);
            out[static_cast<std::size_t>(i)] = narrow_to_float(value);
        }
    }
    return true;
}

bool fill_from_iteration(std::vector<float>& out, PyObject* object) {
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyObject* next = PyIter_Next(iterator.get())) {
        PyRef item(next);
        if (!append_component(out, item.get())) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* raise(PyObject* type, std::string_view message) noexcept {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_store_error(PyObject* type, std::string_view context, StoreError error) noexcept {
    try {
        std::string message(context);
        message += " error: ";
        message += error_name(error);
        return raise(type, message);
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

bool parse_arguments(const MethodSignature& signature, PyObject* args, PyObject* kwargs, ArgumentSlots& slots) {
    const std::size_t parameters = signature.parameter_names.size();
    const std::size_t required = signature.required_count;
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    const auto positional = static_cast<std::size_t>(given);

    if (positional > parameters) {
        std::string message = call_name(signature);
        if (required < parameters) {
            message += " takes from " + std::to_string(required) + " to " + std::to_string(parameters);
        } else {
            message += " takes " + std::to_string(parameters);
        }
        message += " positional arguments but " + std::to_string(positional);
        message += positional == 1 ? " was given" : " were given";
        raise(PyExc_TypeError, message);
        return false;
    }
    for (std::size_t i = 0; i < positional; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t match = parameters;
            for (std::size_t i = 0; i < parameters; ++i) {
                if (name_matches(key, signature.parameter_names[i])) {
                    match = i;
                    break;
                }
            }
            if (match == parameters) {
                PyRef message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                   call_name(signature).c_str(), key));
                if (message) PyErr_SetObject(PyExc_TypeError, message.get());
                return false;
            }
            if (slots[match] != nullptr) {
                raise(PyExc_TypeError, call_name(signature) + " got multiple values for argument '" +
                                           signature.parameter_names[match] + "'");
                return false;
            }
            slots[match] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.parameter_names[i]);
    }
    if (!missing.empty()) {
        std::string message = call_name(signature) + " missing " + std::to_string(missing.size()) +
                              " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) {
                if (missing.size() == 2) {
                    message += " and ";
                } else {
                    message += i + 1 == missing.size() ? ", and " : ", ";
                }
            }
            message += "'";
            message += missing[i];
            message += "'";
        }
        raise(PyExc_TypeError, message);
        return false;
    }
    return true;
}

AccessGuard::~AccessGuard() {
    if (object_ == nullptr) return;
    if (access_ == Access::Exclusive) {
        object_->borrow_flag = 0;
    } else {
        object_->borrow_flag -= 1;
    }
}

bool AccessGuard::acquire(PyObject* self, Access access) noexcept {
    if (access == Access::None) return true;
    KestrixObject& object = as_kestrix(self);
    if (access == Access::Shared) {
        if (object.borrow_flag == -1) {
            raise(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        object.borrow_flag += 1;
    } else {
        if (object.borrow_flag != 0) {
            raise(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        object.borrow_flag = -1;
    }
    object_ = &object;
    access_ = access;
    return true;
}

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

std::optional<std::vector<float>> extract_float_vector(PyObject* object, const char* name) {
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

    std::vector<float> values;
    if (fill_from_ndarray(values, object)) return values;

    const Py_ssize_t hinted = PySequence_Size(object);
    if (hinted < 0) {
        PyErr_Clear();
    } else {
        values.reserve(static_cast<std::size_t>(hinted < MAX_RESERVED_COMPONENTS ? hinted : MAX_RESERVED_COMPONENTS));
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

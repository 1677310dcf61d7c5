// Failures as Python exceptions: the messages of the frame, and the naming of
// the argument a conversion failed on.
#include "frame.hpp"

#include <string>

namespace kestrix::python {

namespace {

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

}  // namespace

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

}  // namespace kestrix::python

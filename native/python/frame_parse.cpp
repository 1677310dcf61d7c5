// Matching a call's positional and keyword arguments to a method's parameters,
// with the interpreter's own messages for every mismatch.
#include "frame.hpp"

#include <cstring>
#include <string>

namespace kestrix::python {

namespace {

std::string call_name(const MethodSignature& signature) {
    std::string name = signature.class_name;
    name += '.';
    name += signature.method_name;
    name += "()";
    return name;
}

bool name_matches(PyObject* key, const char* name) noexcept {
    // The length check keeps a key with an embedded NUL from matching a prefix.
    return PyUnicode_Check(key) && PyUnicode_GetLength(key) == static_cast<Py_ssize_t>(std::strlen(name)) &&
           PyUnicode_CompareWithASCIIString(key, name) == 0;
}

}  // namespace

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

}  // namespace kestrix::python

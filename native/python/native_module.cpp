// kestrix._native: module initialisation. The parts it is made of are listed
// once, below; each lives in its own file.
#include "native_parts.hpp"

namespace kestrix::python {
namespace {

constexpr const char NATIVE_MODULE_DOC[] =
    "Native parts of the kestrix package built on the same core as Kestrix.\n"
    "\n"
    "Private: use them through the kestrix package.";

// Every part of the module, in the order they are added.
constexpr ModulePart PARTS[] = {
    nullptr,  // keeps the list non-empty; skipped below
    add_container_part,
    add_batch_part,
    add_collection_part,
    add_constants_part,
    add_log_part,
    add_exit_part,
};

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "_native", NATIVE_MODULE_DOC, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrix::python

extern "C" PyMODINIT_FUNC PyInit__native(void) {
    using namespace kestrix::python;
    PyObject* module = PyModule_Create2(&native_definition, PYTHON_ABI_VERSION);
    if (module == nullptr) return nullptr;
    for (const ModulePart part : PARTS) {
        if (part != nullptr && !part(module)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

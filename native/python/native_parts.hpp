// The parts of kestrix._native, the package's own native module. It sits beside
// _kestrix (whose contract fixes one class and its twelve methods) and holds
// what the package builds on the same core: the file container, the batch
// entry points for Kestrix, Collection and the constants. Each part adds its functions or
// types to the module in its own file; a part returns false with an exception
// set when it cannot.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "container.hpp"

namespace kestrix::python {

using ModulePart = bool (*)(PyObject* module) noexcept;

// pack_sections, unpack_sections: the file container (container_part.cpp).
bool add_container_part(PyObject* module) noexcept;
// insert_many, search_many: the batch entry points of a Kestrix; check_batch,
// check_ids, shard_of for the package's layers (batch_part.cpp).
bool add_batch_part(PyObject* module) noexcept;
// ValueError("container error: <Check>[ (section i)]") for a failed check of
// the file container (container_part.cpp); returns nullptr.
PyObject* raise_container_error(const container::ContainerError& error);
// Collection (collection_part.cpp, its file methods in collection_file_part.cpp).
bool add_collection_part(PyObject* module) noexcept;
// The constants and defaults the package reads, and store_form (constants_part.cpp).
bool add_constants_part(PyObject* module) noexcept;
// Log, LogReader, LogReport: the write-ahead log (log_part.cpp).
bool add_log_part(PyObject* module) noexcept;
// The exit handler that keeps threads coming back to an exiting interpreter
// from ending the process (interpreter_exit.cpp).
bool add_exit_part(PyObject* module) noexcept;

}  // namespace kestrix::python

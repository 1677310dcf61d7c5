// What the other parts of kestrix._native use of the log's binding
// (log_part.cpp): its errors, a Log object's log, and a LogReader object's
// reader, taken for one call.
#pragma once

#include <functional>
#include <memory>

#include "frame.hpp"
#include "wal.hpp"

namespace kestrix::python {

// The Python exception of a failed log call (`path` names the file); nullptr.
PyObject* raise_log_error(const wal::LogError& error, PyObject* path) noexcept;

// The log of a kestrix._native.Log; nullptr with TypeError for anything else.
std::shared_ptr<wal::Log> shared_log(PyObject* object) noexcept;

// body(reader, path) on the reader of a kestrix._native.LogReader, as the
// reader's only caller (another thread gets RuntimeError); TypeError for
// anything else.
PyObject* with_log_reader(PyObject* object, const std::function<PyObject*(wal::LogReader&, PyObject*)>& body) noexcept;

}  // namespace kestrix::python

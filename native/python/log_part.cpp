// kestrix._native: the write-ahead log and its recovery.
//
//   Log.create(path, tag, base=0, meta=b"") -> Log
//   log.append(kind, payload) -> seq;  log.sync(seq);  log.append_durable(kind, payload) -> seq
//   LogReader(path, tag, expected_base=None, acknowledged=0): iterates (seq, kind, payload bytes) in numbered order,
//   then reader.finish() -> LogReport, and reader.resume() -> Log when the log can take appends.
//
// A payload is bytes, a C-contiguous NumPy array (its bytes as they lie), or a
// list or tuple of those, written one after another without being gathered
// first. The interpreter lock is released while writing, flushing and reading.
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_io.hpp"
#include "log_object.hpp"
#include "native_parts.hpp"
#include "wal.hpp"

namespace kestrix::python {
namespace {

struct LogObject {
    // Shared with a durable collection the log is attached to.
    PyObject_HEAD std::shared_ptr<wal::Log> log;
    PyObject* path;  // as given, for messages
};

struct LogReaderObject {
    PyObject_HEAD std::optional<wal::LogReader> reader;
    PyObject* path;
    bool busy;  // another thread is in a call (set and read under the interpreter lock)
};

LogObject& as_log(PyObject* self) noexcept { return *reinterpret_cast<LogObject*>(self); }
LogReaderObject& as_reader(PyObject* self) noexcept { return *reinterpret_cast<LogReaderObject*>(self); }

PyTypeObject* log_type = nullptr;
PyTypeObject* reader_type = nullptr;
PyTypeObject* report_type = nullptr;

constexpr int NDARRAY_C_CONTIGUOUS = 0x1;

PyObject* raise_error(const wal::LogError& error, PyObject* path) noexcept {
    using K = wal::LogError::Kind;
    switch (error.kind) {
        case K::Io: errno = error.error; return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        case K::Refusing: {
            const std::string message = std::string("the log takes no more writes after a failed write or flush: ") +
                                        std::strerror(error.error);
            PyRef raised(PyObject_CallFunction(PyExc_OSError, "isO", error.error, message.c_str(), path));
            if (raised) PyErr_SetObject(PyExc_OSError, raised.get());
            return nullptr;
        }
        case K::Closed: return raise(PyExc_ValueError, "the log is closed");
        case K::Forked:
            return raise(PyExc_RuntimeError,
                         "the log belongs to the process that opened it; a forked child cannot write to it");
        default: break;
    }
    PyRef shown(PyObject_Repr(path));
    if (!shown) return nullptr;
    return PyErr_Format(PyExc_ValueError, "log error: %s (file %U)", std::string(wal::error_name(error.kind)).c_str(),
                        shown.get());
}

// The file system path of a str or os.PathLike argument.
std::optional<std::string> read_path(PyObject* object) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(object, &encoded)) return std::nullopt;
    PyRef owned(encoded);
    const char* text = PyBytes_AsString(encoded);
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> read_tag(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "tag must be a str, got %R", object);
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    PyRef encoded(PyUnicode_AsUTF8String(object));
    if (!encoded) return std::nullopt;
    char* text = nullptr;
    if (PyBytes_AsStringAndSize(encoded.get(), &text, &length) != 0) return std::nullopt;
    const std::string tag(text, static_cast<std::size_t>(length));
    if (tag.size() > wal::TAG_BYTES || tag.find('\0') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "tag must be at most %zu bytes of UTF-8 without NUL, got %R", wal::TAG_BYTES,
                     object);
        return std::nullopt;
    }
    return tag;
}

// The parts of a payload, with the references that keep their memory alive.
struct Payload {
    std::vector<PyRef> owners;
    std::vector<std::span<const std::byte>> parts;
};

bool add_part(Payload& payload, PyObject* object) {
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS) != 0) {
        const auto bytes = extract_bytes(object, "payload");
        if (!bytes) return false;
        Py_INCREF(object);
        payload.owners.emplace_back(object);
        payload.parts.push_back(*bytes);
        return true;
    }
    if (auto array = exact_array_view(object)) {
        const ArrayInterface* view = array->view;
        if (view->typekind == 'O') {
            raise(PyExc_TypeError, "payload arrays cannot hold Python objects");
            return false;
        }
        std::size_t size = static_cast<std::size_t>(view->itemsize);
        for (int d = 0; d < view->nd; ++d) size *= static_cast<std::size_t>(view->shape[d]);
        if (size != 0 && view->strides != nullptr && (view->flags & NDARRAY_C_CONTIGUOUS) == 0) {
            raise(PyExc_ValueError, "payload arrays must be C-contiguous");
            return false;
        }
        payload.parts.emplace_back(static_cast<const std::byte*>(view->data), size);
        payload.owners.push_back(std::move(array->capsule));
        return true;
    }
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError, "payload must be bytes, a NumPy array, or a list or tuple of them, got %R",
                 Py_TYPE(object));
    return false;
}

std::optional<Payload> read_payload(PyObject* object) {
    Payload payload;
    if (PyList_Check(object) || PyTuple_Check(object)) {
        const Py_ssize_t count = PySequence_Size(object);
        if (count < 0) return std::nullopt;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyRef item(PySequence_GetItem(object, i));
            if (!item || !add_part(payload, item.get())) return std::nullopt;
        }
        return payload;
    }
    if (!add_part(payload, object)) return std::nullopt;
    return payload;
}

PyObject* make_log(std::unique_ptr<wal::Log> log, PyObject* path) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(log_type, Py_tp_alloc));
    PyObject* self = alloc(log_type, 0);
    if (self == nullptr) return nullptr;
    new (&as_log(self).log) std::shared_ptr<wal::Log>(std::move(log));
    Py_INCREF(path);
    as_log(self).path = path;
    return self;
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // heap types hold one reference per instance
}

// ---------------------------------------------------------------- Log

constexpr const char* CREATE_PARAMETERS[] = {"path", "tag", "base", "meta"};
constexpr MethodSignature CREATE_SIGNATURE{"Log", "create", CREATE_PARAMETERS, 2};

PyObject* log_create(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(CREATE_SIGNATURE, Access::None, nullptr, args, kwargs, [](ArgumentSlots& a) -> PyObject* {
        const auto path = read_path(a[0]);
        if (!path) return nullptr;
        const auto tag = read_tag(a[1]);
        if (!tag) return nullptr;
        std::uint64_t base = 0;
        if (a[2] != nullptr) {
            const auto value = extract_u64(a[2], "base");
            if (!value) return nullptr;
            if (*value == wal::NO_END) return raise(PyExc_ValueError, "base must be below 2**64 - 1");
            base = *value;
        }
        std::span<const std::byte> meta;
        if (a[3] != nullptr) {
            const auto bytes = extract_bytes(a[3], "meta");
            if (!bytes) return nullptr;
            if (bytes->size() > wal::MAX_META_BYTES) {
                return PyErr_Format(PyExc_ValueError, "meta must be at most %zu bytes", wal::MAX_META_BYTES);
            }
            meta = *bytes;
        }
        auto log = without_interpreter([&] { return wal::Log::create(*path, *tag, base, meta); });
        if (!log) return raise_error(log.error(), a[0]);
        return make_log(std::move(*log), a[0]);
    });
}

PyObject* log_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    return raise(PyExc_TypeError, "a Log comes from Log.create() or LogReader.resume()");
}

void log_dealloc(PyObject* self) noexcept {
    as_log(self).log.~shared_ptr();
    Py_XDECREF(as_log(self).path);
    free_instance(self);
}

constexpr const char* APPEND_PARAMETERS[] = {"kind", "payload"};
constexpr MethodSignature APPEND_SIGNATURE{"Log", "append", APPEND_PARAMETERS, 2};
constexpr MethodSignature APPEND_DURABLE_SIGNATURE{"Log", "append_durable", APPEND_PARAMETERS, 2};

template <bool Durable>
PyObject* log_append(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    const MethodSignature& signature = Durable ? APPEND_DURABLE_SIGNATURE : APPEND_SIGNATURE;
    return run_method(signature, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto kind = extract_u32(a[0], "kind");
        if (!kind) return nullptr;
        const auto payload = read_payload(a[1]);
        if (!payload) return nullptr;
        wal::Log& log = *as_log(self).log;
        const auto seq = without_interpreter(
            [&] { return Durable ? log.append_durable(*kind, payload->parts) : log.append(*kind, payload->parts); });
        if (!seq) return raise_error(seq.error(), as_log(self).path);
        return PyLong_FromUnsignedLongLong(*seq);
    });
}

constexpr const char* SYNC_PARAMETERS[] = {"seq"};
constexpr MethodSignature SYNC_SIGNATURE{"Log", "sync", SYNC_PARAMETERS, 1};

PyObject* log_sync(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(SYNC_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto seq = extract_u64(a[0], "seq");
        if (!seq) return nullptr;
        wal::Log& log = *as_log(self).log;
        const auto synced = without_interpreter([&] { return log.sync(*seq); });
        if (!synced) {
            if (synced.error().kind == wal::LogError::Kind::BadArgument) {
                return PyErr_Format(PyExc_ValueError, "record %llu was never appended",
                                    static_cast<unsigned long long>(*seq));
            }
            return raise_error(synced.error(), as_log(self).path);
        }
        Py_RETURN_NONE;
    });
}

PyObject* log_close(PyObject* self, PyObject*) noexcept {
    wal::Log& log = *as_log(self).log;
    without_interpreter([&] { log.close(); });
    Py_RETURN_NONE;
}

PyObject* log_enter(PyObject* self, PyObject*) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject* log_exit(PyObject* self, PyObject*) noexcept { return log_close(self, nullptr); }

PyObject* log_path(PyObject* self, void*) noexcept {
    return PyUnicode_DecodeFSDefault(as_log(self).log->path().c_str());
}

PyObject* log_next_seq(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_log(self).log->next_seq());
}

PyObject* log_durable_seq(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_log(self).log->durable_seq());
}

// ---------------------------------------------------------------- LogReader

constexpr const char* READER_PARAMETERS[] = {"path", "tag", "expected_base", "acknowledged"};
constexpr MethodSignature READER_SIGNATURE{"LogReader", "__new__", READER_PARAMETERS, 2};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(READER_SIGNATURE, Access::None, nullptr, args, kwargs, [type](ArgumentSlots& a) -> PyObject* {
        const auto path = read_path(a[0]);
        if (!path) return nullptr;
        const auto tag = read_tag(a[1]);
        if (!tag) return nullptr;
        wal::RecoverOptions options{*tag, std::nullopt};
        if (a[2] != nullptr && a[2] != Py_None) {
            const auto base = extract_u64(a[2], "expected_base");
            if (!base) return nullptr;
            if (*base == wal::NO_END) return raise(PyExc_ValueError, "expected_base must be below 2**64 - 1");
            options.expected_base = *base;
        }
        if (a[3] != nullptr) {
            const auto acknowledged = extract_u64(a[3], "acknowledged");
            if (!acknowledged) return nullptr;
            options.acknowledged = *acknowledged;
        }
        auto reader = without_interpreter([&] { return wal::LogReader::open(*path, options); });
        if (!reader) return raise_error(reader.error(), a[0]);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
        if (self == nullptr) return nullptr;
        new (&as_reader(self).reader) std::optional<wal::LogReader>(std::move(*reader));
        Py_INCREF(a[0]);
        as_reader(self).path = a[0];
        as_reader(self).busy = false;
        return self;
    });
}

void reader_dealloc(PyObject* self) noexcept {
    as_reader(self).reader.~optional();
    Py_XDECREF(as_reader(self).path);
    free_instance(self);
}

// Runs body(object, reader) as the reader's only caller: another thread that
// comes in meanwhile (while this one has released the interpreter lock) gets
// RuntimeError rather than a reader moved under it.
template <class Body>
PyObject* reader_call(PyObject* self, Body&& body) noexcept {
    return guarded(
        [&]() -> PyObject* {
            LogReaderObject& object = as_reader(self);
            if (object.busy) return raise(PyExc_RuntimeError, "the log reader is in use by another thread");
            object.busy = true;
            struct Release {
                bool& busy;
                ~Release() { busy = false; }
            } release{object.busy};
            return body(object, *object.reader);
        },
        nullptr);
}

PyObject* reader_next(PyObject* self) noexcept {
    return reader_call(self, [](LogReaderObject& object, wal::LogReader& reader) -> PyObject* {
        const auto record = without_interpreter([&] { return reader.next(); });
        if (!record) return raise_error(record.error(), object.path);
        if (!*record) return nullptr;  // StopIteration
        const wal::RecordView& r = **record;
        return Py_BuildValue("(KIy#)", static_cast<unsigned long long>(r.seq), static_cast<unsigned int>(r.kind),
                             reinterpret_cast<const char*>(r.payload.data()),
                             static_cast<Py_ssize_t>(r.payload.size()));
    });
}

// (first, last) with None for an open end.
PyObject* range_tuple(const wal::RecordRange& range) noexcept {
    if (range.last == wal::NO_END) return Py_BuildValue("(KO)", static_cast<unsigned long long>(range.first), Py_None);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(range.first),
                         static_cast<unsigned long long>(range.last));
}

PyObject* text_tuple(const std::vector<std::string>& texts) noexcept {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
        if (text == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple.release();
}

PyStructSequence_Field REPORT_FIELDS[] = {
    {"base", "the record the log continued from, as its header says"},
    {"checkpoint", "the last record the caller's checkpoint holds"},
    {"meta", "the meta bytes of the log's header"},
    {"applied", "records handed over"},
    {"skipped", "records the checkpoint already held"},
    {"last_seq", "the last record handed over (0: none)"},
    {"next_seq", "above every number seen or expected: where a new log starts"},
    {"lost", "lost record numbers as (first, last) ranges; last None: and every record after"},
    {"problems", "what was found wrong, one line each"},
    {"notes", "what was dropped silently: an unfinished last record, never acknowledged"},
    {"kept_aside", "where the damaged log was moved, or None"},
    {"missing", "whether there was no log"},
    {"intact", "nothing lost and nothing wrong"},
    {"resumable", "whether resume() can append to the log as it is"},
    {nullptr, nullptr},
};

PyStructSequence_Desc REPORT_DESC = {
    "kestrix._native.LogReport",
    "What recovery of a log found and did.",
    REPORT_FIELDS,
    static_cast<int>(std::size(REPORT_FIELDS) - 1),
};

PyObject* make_report(const wal::Recovery& r) noexcept {
    PyRef report(PyStructSequence_New(report_type));
    if (!report) return nullptr;
    std::vector<std::string> problems;
    std::vector<std::string> notes;
    for (const auto& finding : r.findings) {
        (finding.kind == wal::Finding::Kind::TornTail ? notes : problems).push_back(wal::describe(finding));
    }
    PyRef lost(PyTuple_New(static_cast<Py_ssize_t>(r.lost.size())));
    if (!lost) return nullptr;
    for (std::size_t i = 0; i < r.lost.size(); ++i) {
        PyObject* range = range_tuple(r.lost[i]);
        if (range == nullptr) return nullptr;
        PyTuple_SetItem(lost.get(), static_cast<Py_ssize_t>(i), range);
    }
    PyObject* kept =
        r.kept_aside.empty() ? (Py_INCREF(Py_None), Py_None) : PyUnicode_DecodeFSDefault(r.kept_aside.c_str());
    PyObject* items[] = {
        PyLong_FromUnsignedLongLong(r.header.base),
        PyLong_FromUnsignedLongLong(r.checkpoint),
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.header.meta.data()),
                                  static_cast<Py_ssize_t>(r.header.meta.size())),
        PyLong_FromUnsignedLongLong(r.applied),
        PyLong_FromUnsignedLongLong(r.skipped),
        PyLong_FromUnsignedLongLong(r.last_seq),
        PyLong_FromUnsignedLongLong(r.next_seq),
        lost.release(),
        text_tuple(problems),
        text_tuple(notes),
        kept,
        PyBool_FromLong(r.missing),
        PyBool_FromLong(r.intact()),
        PyBool_FromLong(r.resumable()),
    };
    bool complete = true;
    for (std::size_t i = 0; i < std::size(items); ++i) {
        if (items[i] == nullptr) complete = false;
        PyStructSequence_SetItem(report.get(), static_cast<Py_ssize_t>(i), items[i]);  // steals, None for nullptr
    }
    return complete ? report.release() : nullptr;
}

PyObject* reader_finish(PyObject* self, PyObject*) noexcept {
    return reader_call(self, [](LogReaderObject& object, wal::LogReader& reader) -> PyObject* {
        const auto settled = without_interpreter([&] { return reader.settle(); });
        if (!settled) {
            if (settled.error().kind == wal::LogError::Kind::BadArgument) {
                return raise(PyExc_ValueError, "read every record of the log before finishing it");
            }
            return raise_error(settled.error(), object.path);
        }
        return make_report(reader.report());
    });
}

PyObject* reader_resume(PyObject* self, PyObject*) noexcept {
    return reader_call(self, [](LogReaderObject& object, wal::LogReader& reader) -> PyObject* {
        if (!reader.report().resumable()) {
            return raise(PyExc_ValueError,
                         "only a finished, intact log that continues the checkpoint can be resumed; "
                         "start a new one after a checkpoint");
        }
        auto log = without_interpreter([&] { return wal::Log::resume(reader); });
        if (!log) return raise_error(log.error(), object.path);
        return make_log(std::move(*log), object.path);
    });
}

PyObject* reader_base(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_reader(self).reader->report().header.base);
}

PyObject* reader_meta(PyObject* self, void*) noexcept {
    const auto& meta = as_reader(self).reader->report().header.meta;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(meta.data()), static_cast<Py_ssize_t>(meta.size()));
}

// ---------------------------------------------------------------- types

PyMethodDef log_methods[] = {
    {"create", as_cfunction(log_create), WITH_KEYWORDS | METH_CLASS,
     "create($cls, path, tag, base=0, meta=b'')\n--\n\nA new, empty log at path (replacing any file there), its first "
     "record numbered base + 1; tag (at most 16 bytes) names what it is for, meta is kept in its header."},
    {"append", as_cfunction(log_append<false>), WITH_KEYWORDS,
     "append($self, kind, payload)\n--\n\nWrite one record; return its number. Not durable until sync()."},
    {"sync", as_cfunction(log_sync), WITH_KEYWORDS,
     "sync($self, seq)\n--\n\nReturn once every record up to seq is durable (one flush serves many threads)."},
    {"append_durable", as_cfunction(log_append<true>), WITH_KEYWORDS,
     "append_durable($self, kind, payload)\n--\n\nappend(), then sync() of that record; return its number."},
    {"close", as_cfunction(log_close), METH_NOARGS, "close($self)\n--\n\nClose the file; later calls fail."},
    {"__enter__", as_cfunction(log_enter), METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(log_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef log_getset[] = {
    {"path", log_path, nullptr, "The log's file.", nullptr},
    {"next_seq", log_next_seq, nullptr, "The number the next record gets.", nullptr},
    {"durable_seq", log_durable_seq, nullptr, "Every record up to this one is durable.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"finish", as_cfunction(reader_finish), METH_NOARGS,
     "finish($self)\n--\n\nAfter the last record: cut off an unfinished last record, or move a damaged log\n"
     "aside to <path>.damaged; return the LogReport."},
    {"resume", as_cfunction(reader_resume), METH_NOARGS,
     "resume($self)\n--\n\nThe finished log, open for appending after its last record (report.resumable)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"base", reader_base, nullptr, "The record the log continues from, as its header says.", nullptr},
    {"meta", reader_meta, nullptr, "The meta bytes of the log's header.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char log_doc[] = "The open end of a write-ahead log: see Log.create and LogReader.resume.";
char reader_doc[] =
    "LogReader(path, tag, expected_base=None, acknowledged=0)\n--\n\nReads a log back in numbered order: iterate "
    "(seq, kind, payload), then finish().\nexpected_base: the last record the caller's checkpoint holds; "
    "acknowledged: records up to this one are known\nto have been acknowledged, so a log ending before one lost it.";

// Adds a type to the module; `keep` holds a reference of its own, for the
// methods that make instances of it.
bool add_type(PyObject* module, const char* attribute, PyObject* type, PyTypeObject*& keep) {
    if (type == nullptr) return false;
    keep = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);
    if (PyModule_AddObject(module, attribute, type) != 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace

PyObject* raise_log_error(const wal::LogError& error, PyObject* path) noexcept { return raise_error(error, path); }

std::shared_ptr<wal::Log> shared_log(PyObject* object) noexcept {
    if (log_type == nullptr || PyObject_TypeCheck(object, log_type) == 0) {
        PyErr_Format(PyExc_TypeError, "expected a kestrix._native.Log, got %R", Py_TYPE(object));
        return nullptr;
    }
    return as_log(object).log;
}

PyObject* with_log_reader(PyObject* object, const std::function<PyObject*(wal::LogReader&, PyObject*)>& body) noexcept {
    if (reader_type == nullptr || PyObject_TypeCheck(object, reader_type) == 0) {
        return PyErr_Format(PyExc_TypeError, "expected a kestrix._native.LogReader, got %R", Py_TYPE(object));
    }
    return reader_call(object, [&](LogReaderObject& reader, wal::LogReader& read) { return body(read, reader.path); });
}

bool add_log_part(PyObject* module) noexcept {
    PyType_Slot log_slots[] = {
        {Py_tp_doc, log_doc},
        {Py_tp_new, reinterpret_cast<void*>(log_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc)},
        {Py_tp_methods, log_methods},
        {Py_tp_getset, log_getset},
        {0, nullptr},
    };
    PyType_Spec log_spec = {"kestrix._native.Log", static_cast<int>(sizeof(LogObject)), 0, Py_TPFLAGS_DEFAULT,
                            log_slots};
    PyType_Slot reader_slots[] = {
        {Py_tp_doc, reader_doc},
        {Py_tp_new, reinterpret_cast<void*>(reader_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
        {Py_tp_methods, reader_methods},
        {Py_tp_getset, reader_getset},
        {0, nullptr},
    };
    PyType_Spec reader_spec = {"kestrix._native.LogReader", static_cast<int>(sizeof(LogReaderObject)), 0,
                               Py_TPFLAGS_DEFAULT, reader_slots};
    return add_type(module, "Log", PyType_FromSpec(&log_spec), log_type) &&
           add_type(module, "LogReader", PyType_FromSpec(&reader_spec), reader_type) &&
           add_type(module, "LogReport", reinterpret_cast<PyObject*>(PyStructSequence_NewType(&REPORT_DESC)),
                    report_type);
}

}  // namespace kestrix::python

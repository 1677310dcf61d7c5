// kestrix._native.Collection's methods for a durable collection: the binding
// of collection_log.hpp. The package keeps the folder (which checkpoint and
// which logs, their names, the order of the steps); the records, their replay
// and the moment of the switch to a new log are the core's.
//
//   _replay(reader, held, stop_after=None) -> (records, last_seq, stopped_at, problem, left_out)
//   _attach_log(log)                       every later change is logged there
//   _close_log()                           the log closed: later changes are refused
//   _checkpoint(fd, next_log, meta, base)  the file to fd, a new log after it; -> its last record
//   _last_record()                         the number of the log's last record
#include <string>

#include "collection_log.hpp"
#include "collection_object.hpp"
#include "log_object.hpp"

namespace kestrix::python {

namespace {

constexpr const char* REPLAY_PARAMETERS[] = {"reader", "held", "stop_after"};
constexpr MethodSignature REPLAY_SIGNATURE{"Collection", "_replay", REPLAY_PARAMETERS, 2};

constexpr const char* CHECKPOINT_PARAMETERS[] = {"fd", "next_log", "meta", "base"};
constexpr MethodSignature CHECKPOINT_SIGNATURE{"Collection", "_checkpoint", CHECKPOINT_PARAMETERS, 4};

PyObject* path_object(const std::string& path) noexcept { return PyUnicode_DecodeFSDefault(path.c_str()); }

}  // namespace

// Replays into a collection no one else holds yet (the package's open), under
// its write lock all the same.
PyObject* collection_replay(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(REPLAY_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto held = extract_u64(a[1], "held");
        if (!held) return nullptr;
        std::uint64_t stop_after = wal::NO_END;
        if (a[2] != nullptr && a[2] != Py_None) {
            const auto value = extract_u64(a[2], "stop_after");
            if (!value) return nullptr;
            stop_after = *value;
        }
        return with_log_reader(a[0], [&](wal::LogReader& reader, PyObject* path) -> PyObject* {
            GuardedCollection& state = state_of(self);
            const auto done = without_interpreter([&] {
                std::unique_lock lock(state.mutex);
                return durable::replay(state.collection, reader, *held, stop_after);
            });
            if (!done) return raise_log_error(done.error(), path);
            PyRef problem(
                done->problem.empty()
                    ? (Py_INCREF(Py_None), Py_None)
                    : PyUnicode_FromStringAndSize(done->problem.data(), static_cast<Py_ssize_t>(done->problem.size())));
            if (!problem) return nullptr;
            return Py_BuildValue("(KKKOK)", static_cast<unsigned long long>(done->records),
                                 static_cast<unsigned long long>(done->last_seq),
                                 static_cast<unsigned long long>(done->stopped_at), problem.get(),
                                 static_cast<unsigned long long>(done->left_out));
        });
    });
}

PyObject* collection_attach_log(PyObject* self, PyObject* log) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto shared = shared_log(log);
            if (!shared) return nullptr;
            GuardedCollection& state = state_of(self);
            without_interpreter([&] {
                std::unique_lock lock(state.mutex);
                state.log.store(std::move(shared));
            });
            Py_RETURN_NONE;
        },
        nullptr);
}

// Closes the log and keeps it: every later change fails ("the collection is
// closed") rather than go unlogged.
PyObject* collection_close_log(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const auto log = state_of(self).log.load();
            if (log) without_interpreter([&] { log->close(); });
            Py_RETURN_NONE;
        },
        nullptr);
}

PyObject* collection_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_method(CHECKPOINT_SIGNATURE, Access::None, self, args, kwargs, [self](ArgumentSlots& a) -> PyObject* {
        const auto fd = extract_count(a[0], "fd", 0);
        if (!fd) return nullptr;
        if (*fd > static_cast<std::uint64_t>(INT32_MAX)) return raise(PyExc_ValueError, "fd is not a descriptor");
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(a[1], &encoded)) return nullptr;
        PyRef owned(encoded);
        const char* next_log = PyBytes_AsString(encoded);
        if (next_log == nullptr) return nullptr;
        const auto meta = extract_bytes(a[2], "meta");
        if (!meta) return nullptr;
        const auto base = extract_u64(a[3], "base");
        if (!base) return nullptr;
        const std::string next(next_log);
        const auto held = without_interpreter(
            [&] { return durable::checkpoint(state_of(self), static_cast<int>(*fd), next, *meta, *base); });
        if (!held) {
            PyRef path(path_object(next));
            if (!path) return nullptr;
            return raise_log_error(held.error(), path.get());
        }
        return PyLong_FromUnsignedLongLong(*held);
    });
}

PyObject* collection_last_record(PyObject* self, PyObject*) noexcept {
    return PyLong_FromUnsignedLongLong(durable::last_record(state_of(self)));
}

}  // namespace kestrix::python

// Threads that come back to an exiting interpreter.
//
// When the interpreter exits, a thread it does not wait for (a daemon thread)
// that tries to take the interpreter lock back is ended by the interpreter
// on Python 3.8 to 3.13 (pthread_exit). Ending a thread unwinds its stack,
// and our frames, which never let an exception out, terminate the process
// when an unwind passes through them ("terminate called without an active
// exception", status 134). So such a thread must never ask for the lock at
// all: an exit handler (atexit) marks the interpreter as exiting, waits for
// the threads already asking to have it, and from then on a thread coming
// back from work done without the lock waits for ever, holding nothing (it
// let go of every collection's lock before), until the process ends. The
// thread that runs the exit handlers goes on: it is the one that finalizes.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "batch_io.hpp"
#include "native_parts.hpp"

namespace kestrix::python {
namespace {

struct ExitGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool exiting = false;
    std::thread::id finalizer;
    std::size_t entering = 0;  // threads taking the interpreter lock back
};

// Never destroyed: threads use it until the process ends.
ExitGate& exit_gate() noexcept {
    static ExitGate* const gate = new ExitGate();
    return *gate;
}

PyObject* interpreter_exits(PyObject*, PyObject*) noexcept {
    ExitGate& gate = exit_gate();
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock lock(gate.mutex);
        gate.exiting = true;
        gate.finalizer = std::this_thread::get_id();
        gate.changed.wait(lock, [&] { return gate.entering == 0; });
    }
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyMethodDef exit_method = {"_interpreter_exits", interpreter_exits, METH_NOARGS, nullptr};

}  // namespace

void reacquire_interpreter(PyThreadState* state) noexcept {
    ExitGate& gate = exit_gate();
    {
        std::unique_lock lock(gate.mutex);
        if (gate.exiting && std::this_thread::get_id() != gate.finalizer) {
            for (;;) gate.changed.wait(lock);
        }
        ++gate.entering;
    }
    PyEval_RestoreThread(state);
    std::lock_guard lock(gate.mutex);
    if (--gate.entering == 0) gate.changed.notify_all();
}

bool add_exit_part(PyObject* module) noexcept {
    PyRef function(PyCFunction_NewEx(&exit_method, nullptr, nullptr));
    if (!function) return false;
    PyRef atexit(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    PyRef registered(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    static_cast<void>(module);
    return static_cast<bool>(registered);
}

}  // namespace kestrix::python

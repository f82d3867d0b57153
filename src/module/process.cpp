#include "module/process.h"

#include "core/ref.h"

#include <mutex>
#include <new>

namespace tarnik {

namespace {

// The live containers. Changed by threads attached to the interpreter, which
// run no Python code while they hold the mutex, so no thread holds it when
// the interpreter forks.
std::mutex live_mutex;
ContainerObject* live_head = nullptr;

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    // Only this thread runs now. The mutex is made anew in case it was taken
    // all the same.
    new (&live_mutex) std::mutex();
    // The forking thread is the child's main thread.
    ContainerLock::set_signal_thread(PyThread_get_thread_ident());
    for (ContainerObject* c = live_head; c; c = c->live_next) {
        c->state.gate.forget_readers();
        if (c->lock.forget_other_threads()) {
            c->state.forget_operation();
            c->nested = 0;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_tarnik_core_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

void track_container(ContainerObject* c) noexcept {
    std::lock_guard<std::mutex> g(live_mutex);
    c->live_prev = nullptr;
    c->live_next = live_head;
    if (live_head) live_head->live_prev = c;
    live_head = c;
}

void untrack_container(ContainerObject* c) noexcept {
    std::lock_guard<std::mutex> g(live_mutex);
    if (c->live_prev) c->live_prev->live_next = c->live_next;
    else live_head = c->live_next;
    if (c->live_next) c->live_next->live_prev = c->live_prev;
    c->live_prev = c->live_next = nullptr;
}

int watch_process() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    ContainerLock::set_signal_thread(main_ident);

    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // no fork() on this platform
        return 0;
    }
    Ref handler = Ref::steal(PyCFunction_New(&after_fork_def, nullptr));
    if (!handler) return -1;
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "after_in_child", handler.get()) < 0) return -1;
    return Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())) ? 0 : -1;
}

}  // namespace tarnik

#include "module/process.h"

#include "core/ref.h"
#include "platform/platform.h"

#include <mutex>
#include <new>

namespace tarnik {

namespace {

// The live containers. Changed by threads attached to the interpreter, which
// run no Python code while they hold the mutex.
std::mutex live_mutex;
ContainerObject* live_head = nullptr;

// Around fork(), which the interpreter calls with every other thread either
// stopped (free-threaded build) or without the interpreter lock: the forking
// thread holds the list's mutex, so the child finds the list whole.
void before_fork() { live_mutex.lock(); }
void after_fork_in_parent() { live_mutex.unlock(); }

// In the child, before any Python code runs there (the at-fork hooks
// registered with os.register_at_fork come later, whatever their order).
// Only this thread exists now; the containers forget the others.
void after_fork_in_child() {
    // The forking thread is the child's main thread.
    ContainerLock::set_signal_thread(PyThread_get_thread_ident());
    ContainerLock::forget_other_waits();
    for (ContainerObject* c = live_head; c; c = c->live_next) {
        c->state.gate.forget_readers();
        if (c->lock.forget_other_threads()) {
            c->state.forget_operation();
            c->holder_mark = StackMark();
            c->holder_trash = nullptr;
            c->nested = 0;
        }
    }
    live_mutex.unlock();
}

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
    platform::at_fork(before_fork, after_fork_in_parent, after_fork_in_child);
    return 0;
}

}  // namespace tarnik

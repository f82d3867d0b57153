// Where the running code stands on its thread's stacks.
//
// Stack-switching libraries (greenlet, and gevent and eventlet on top of it)
// run several stacks on one thread, each with Python frames of its own. An
// operation marks the top of the Python stack when it takes its container;
// a later call on the same thread runs inside that operation exactly when
// its own Python stack still holds that mark: then it runs on the
// operation's stack, above it. A call from another stack of the thread does
// not: its frames, and on 3.11 and later the memory they live in, are its
// own.
//
// An operation that begins with no Python frame under it (a stack started
// from C, as gevent starts its greenlets) has no such mark; it notes the
// greenlet it runs in instead, where greenlets are in use.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

#include "core/ref.h"

namespace tarnik {

class StackMark {
public:
    StackMark() noexcept = default;

    // Marks where the calling code stands now; called with the interpreter
    // attached. `keep` holds what the mark refers to, for as long as the
    // mark is in use.
    void set_here(Ref& keep) {
        at_ = python_top(thread_state());
        if (!at_) [[unlikely]]
            set_without_frames(keep);
    }

    // Whether the code running now on the calling thread runs on the
    // marked stack, above the mark. A mark that knows neither a frame nor a
    // greenlet cannot tell stacks apart: it holds for every call.
    bool holds_now() const {
        if (!at_) return greenlet_ ? greenlet_ == current_greenlet().get() : true;
        PyThreadState* ts = thread_state();
#if PY_VERSION_HEX >= 0x030B0000
        // Frames live in chunks chained from the newest; the mark is in one
        // of this stack's chunks, below the top when in the newest one.
        auto at = static_cast<PyObject**>(const_cast<void*>(at_));
        for (_PyStackChunk* chunk = ts->datastack_chunk; chunk; chunk = chunk->previous) {
            auto end = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(chunk) + chunk->size);
            if (at >= chunk->data && at <= end) return chunk != ts->datastack_chunk || at <= ts->datastack_top;
        }
        return false;
#else
        for (PyFrameObject* f = ts->frame; f; f = f->f_back) {
            if (f == at_) return true;
        }
        return false;
#endif
    }

private:
    static const void* python_top(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
        return ts->datastack_top;
#else
        return ts->frame;
#endif
    }

    TARNIK_NOINLINE void set_without_frames(Ref& keep) {
        keep = current_greenlet();
        greenlet_ = keep.get();
    }

    // The greenlet running now, where the greenlet module is loaded; else
    // empty. Sets no exception.
    static Ref current_greenlet() {
        Ref name = Ref::steal(PyUnicode_FromString("greenlet"));
        Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
        Ref current = module ? Ref::steal(PyObject_CallMethod(module.get(), "getcurrent", nullptr)) : Ref();
        if (!current) PyErr_Clear();  // no greenlets: nothing to tell apart
        return current;
    }

    const void* at_ = nullptr;
    PyObject* greenlet_ = nullptr;  // compared, never followed; meaningful without `at_`
};

}  // namespace tarnik

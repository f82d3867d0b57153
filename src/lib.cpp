// The module's entry point, its definition and the Container type.
//
// Process-wide variables (the lock's are in core/lock.h, the stack guard's in
// core/stack_guard.h), what guards them, and who relies on them:
//
// | variable                   | written by                                | read by                           |
// |----------------------------|-------------------------------------------|-----------------------------------|
// | container_type, g_module,  | initialisation, in the main interpreter   | initialisation; container_type    |
// | g_panic_type (error.cpp)   | only, under its import lock, before any   | by every receiver check, and      |
// |                            | container exists; a failed one clears     | g_panic_type wherever a failure   |
// |                            | them again                                | is reported                       |
// | waiting_to_free,           | their own thread (thread-local)           | their own thread                  |
// | freeing_containers         |                                           |                                   |
#include "core/error.h"
#include "module/binding.h"
#include "module/container.h"
#include "module/convert.h"
#include "module/methods.h"
#include "platform/compiler.h"

#include <Python.h>

#include <cstring>
#include <exception>
#include <new>

namespace tarnik {

PyTypeObject* container_type = nullptr;

ContainerObject* receiver_slow(PyObject* self) {
    if (container_type && PyObject_TypeCheck(self, container_type)) return reinterpret_cast<ContainerObject*>(self);
    conversion_error(self, "Container");
    return nullptr;
}

namespace {

constexpr const char kContainerDoc[] = "Container()\n--\n\n";

PyObject* container_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!bind_no_params("Container.__new__()", args, kwargs)) return nullptr;
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;  // every allocator sets the exception it fails with
    // Nothing between the allocation (which made the object tracked) and
    // here can start a collection, and an all-zero state traverses as empty.
    auto* c = reinterpret_cast<ContainerObject*>(self);
    new (&c->lock) ContainerLock();
    new (&c->state) ContainerState();
    c->holder_trash = nullptr;
    c->nested = 0;
    return self;
}

int container_traverse(PyObject* self, visitproc visit, void* arg) {
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    // Changes of the state never call Python code half-way, so whenever the
    // collector can run (with the interpreter lock, or with every other
    // thread stopped) the state is consistent and can be read without the
    // container's lock, which may be held by a thread waiting in a provider.
    assert(Change::consistent(reinterpret_cast<ContainerObject*>(self)->state));
    return reinterpret_cast<ContainerObject*>(self)->state.traverse(visit, arg);
}

int container_clear(PyObject* self) {
    auto* c = reinterpret_cast<ContainerObject*>(self);
    // A method call holds its container through its caller's arguments, so
    // a container that only unreachable garbage refers to is never in use.
    // Should its lock be held all the same, the container is left as it is.
    if (!c->lock.try_take()) return 0;
    c->state.gate.close();
    ContainerState dropped(std::move(c->state));  // leaves an empty state behind
    c->state.gate.open();
    Ref handed = c->lock.release();
    // Finalizers that run now see an empty, usable container.
    ErrorIndicatorGuard keep;
    if (!ContainerLock::wake(std::move(handed))) PyErr_Clear();  // that greenlet polls
    dropped.release_all();
    return 0;
}

// Containers dropped while another container is being freed on the same
// thread: a container's providers can hold containers (a bound `resolve`),
// and freeing such a chain by recursion would take native stack in
// proportion to its length, which the interpreter's own deferral bounds by a
// count of calls, not by the stack (from 3.13 on, thousands of levels). So
// only the outermost deallocation on a thread frees containers; one dropped
// meanwhile waits in this thread's list (next_to_free), and is freed after,
// iteratively.
TARNIK_TLS_MODEL thread_local ContainerObject* waiting_to_free = nullptr;
TARNIK_TLS_MODEL thread_local bool freeing_containers = false;

void free_container(ContainerObject* c) {
    PyTypeObject* type = Py_TYPE(c);
    {
        // No other reference exists, so neither the lock nor its poisoned
        // flag matters: the registrations go first, then the layers oldest
        // first.
        ErrorIndicatorGuard keep;
        c->state.release_all();
    }
    c->state.~ContainerState();
    c->lock.~ContainerLock();
    type->tp_free(c);
    // Each instance holds a reference to its heap type; it goes last.
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();
}

void container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<ContainerObject*>(self);
    PyObject_GC_UnTrack(self);
    if (freeing_containers) {
        c->next_to_free = waiting_to_free;
        waiting_to_free = c;
        return;
    }
    struct Freeing {
        Freeing() noexcept { freeing_containers = true; }
        ~Freeing() { freeing_containers = false; }  // also when the thread is ended by unwinding
    } outermost;
    free_container(c);
    while (ContainerObject* next = waiting_to_free) {
        waiting_to_free = next->next_to_free;
        free_container(next);
    }
}

#define FAST(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}
#define NOARGS(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_NOARGS, doc}

PyMethodDef container_methods[] = {
    FAST("register_provider", register_provider_method,
         "register_provider($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"),
    FAST("resolve", resolve_method, "resolve($self, key)\n--\n\n"),
    FAST("resolve_many", resolve_many_method, "resolve_many($self, keys)\n--\n\n"),
    FAST("resolve_many_plan", resolve_many_plan_method, "resolve_many_plan($self, keys)\n--\n\n"),
    NOARGS("begin_override_layer", begin_override_layer_method, "begin_override_layer($self)\n--\n\n"),
    FAST("set_override", set_override_method,
         "set_override($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"),
    FAST("get_provider_info", get_provider_info_method, "get_provider_info($self, key)\n--\n\n"),
    FAST("get_cached", get_cached_method, "get_cached($self, key)\n--\n\n"),
    FAST("set_cached", set_cached_method, "set_cached($self, key, value)\n--\n\n"),
    NOARGS("end_override_layer", end_override_layer_method, "end_override_layer($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef FAST
#undef NOARGS

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>(kContainerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_methods, container_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(container_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(container_clear)},
    {0, nullptr},
};

// The dotted name gives the class its __module__; __name__ and __qualname__
// stay "Container".
PyType_Spec container_spec = {
    "_tarnik_core.Container",
    static_cast<int>(sizeof(ContainerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    container_slots,
};

PyTypeObject* create_container_type() {
    Ref type = Ref::steal(PyType_FromSpec(&container_spec));
    if (!type) {
        // 3.12.1's PyType_FromSpec fails without an exception when the copy
        // of the doc cannot be allocated.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030A0000
    // Older interpreters keep the doc without its signature line, which
    // loses __text_signature__; store the whole text instead.
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    char* doc = static_cast<char*>(PyObject_Malloc(sizeof(kContainerDoc)));
    if (!doc) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(doc, kContainerDoc, sizeof(kContainerDoc));
    PyObject_Free(const_cast<char*>(tp->tp_doc));
    tp->tp_doc = doc;
#endif
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tarnik_core",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // the main interpreter's module, kept for the process

bool add_container(PyObject* module) {
    Ref name = Ref::steal(PyUnicode_FromString("Container"));
    if (!name) return false;
    Ref all = Ref::steal(PyList_New(0));
    if (!all || PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttrString(module, "__all__", all.get()) == 0 &&
           PyObject_SetAttrString(module, "Container", reinterpret_cast<PyObject*>(container_type)) == 0;
}

// Makes the module and what it keeps beside the internal-failure exception
// type: the Container type and the process watch, whose at-fork handlers,
// registered last, are the one thing that cannot be taken back.
PyObject* make_module() {
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Nothing here relies on the interpreter lock.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (!(container_type = create_container_type())) return nullptr;
    if (!add_container(module.get())) return nullptr;
    if (!ContainerLock::watch_process()) return nullptr;
    g_module = module.new_ref().release();
    return module.release();
}

// The first successful initialisation keeps what it made for the process; a
// failed one keeps nothing, and a later import starts again from scratch.
// The internal-failure exception type comes first, so that this catch site
// can raise it; only a failed allocation is a MemoryError.
PyObject* first_initialisation() {
    if (!create_panic_type()) return nullptr;
    PyObject* module = nullptr;
    try {
        module = make_module();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception&) {
        internal_failure("unexpected native exception", TARNIK_HERE);
    }
    if (module) return module;
    Ref::steal(reinterpret_cast<PyObject*>(container_type)).reset();
    container_type = nullptr;
    drop_panic_type();
    return nullptr;
}

// Whether the kept module went to an import, which gave it its __spec__ (a
// new module's is None): false for one that the interpreter made for a
// subinterpreter's import and dropped (3.13 and later, below). False with
// the exception set on failure.
bool imported_before(PyObject* module, bool& out) {
    Ref key = Ref::steal(PyUnicode_FromString("__spec__"));
    if (!key) return false;
#if PY_VERSION_HEX >= 0x030D0000
    Ref spec;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), key.get(), &found) < 0) return false;
    spec = Ref::steal(found);
#else
    Ref spec = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(module), key.get()));
    if (!spec && PyErr_Occurred()) return false;
#endif
    out = spec && spec.get() != Py_None;
    return true;
}

// Only the main interpreter has the module: the module keeps process-wide
// state (its types, the at-fork handlers) that belongs to one interpreter.
// Any other interpreter is refused before anything is made. Since 3.13 the
// interpreter runs this function as the main interpreter even when another
// one imports, and then refuses that one itself (or, for a subinterpreter
// that shares the main one's allocator, calls this function again from it);
// the module made then is the main interpreter's, and its first import gets
// it. Any later initialisation (the module removed from sys.modules and
// imported again) is refused, as the module is initialised once per process.
PyObject* init_module() {
#if PY_VERSION_HEX >= 0x03090000
    PyInterpreterState* here = PyInterpreterState_Get();
#else
    PyInterpreterState* here = PyThreadState_Get()->interp;
#endif
    if (here != PyInterpreterState_Main()) {
        raise_message(PyExc_ImportError, "_tarnik_core can only be imported in the main interpreter");
        return nullptr;
    }
    if (!g_module) return first_initialisation();
    bool imported = false;
    if (!imported_before(g_module, imported)) return nullptr;
    if (imported) {
        raise_message(PyExc_ImportError, "_tarnik_core may only be initialized once per interpreter process");
        return nullptr;
    }
    return Ref::borrow(g_module).release();
}

}  // namespace

}  // namespace tarnik

#if PY_VERSION_HEX >= 0x03090000
PyMODINIT_FUNC PyInit__tarnik_core(void) {
#else
extern "C" TARNIK_EXPORTED PyObject* PyInit__tarnik_core(void) {
#endif
    return tarnik::init_module();
}

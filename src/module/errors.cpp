#include "errors.h"

namespace tarnik {

namespace {

constexpr const char* kPanicName = "_tarnik_core.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually "
    "propagates through the whole stack instead of being caught by an "
    "`except Exception` clause.";

PyObject* get_panic_type() {
    if (PyObject* t = panic_type()) return t;
    PyObject* t = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (t) set_panic_type(t);  // kept for the life of the process
    return t;
}

void raise_own(PyObject* type, const std::string& message) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

void raise_panic(const std::string& message) {
    if (PyObject* type = get_panic_type()) raise_own(type, message);
}

void raise_error(Error&& error) {
    switch (error.kind) {
        case ErrorKind::KeyError:
            raise_own(PyExc_KeyError, error.message);
            return;
        case ErrorKind::RuntimeError:
            raise_own(PyExc_RuntimeError, error.message);
            return;
        case ErrorKind::SystemError:
            raise_own(PyExc_SystemError, error.message);
            return;
        case ErrorKind::Python:
            error.exception.restore();
            return;
        case ErrorKind::Panic:
            raise_panic(error.message);
            return;
    }
}

}  // namespace tarnik

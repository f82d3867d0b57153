// Ownership of Python references.
//
// `Ref` is the one owner of a strong reference; a raw `PyObject*` anywhere
// else in the sources is borrowed. `RefStack` owns a run of references that
// grows and shrinks at its end; `HeldValue` is a provider's singleton slot.
//
// Releasing a reference can run any Python code (a finalizer), and Python
// code can end the thread: at interpreter exit CPython ends a thread that
// tries to take the interpreter back with a forced unwind, which terminates
// the process if it meets a `noexcept` frame. So every function that may
// release a reference is potentially throwing, destructors included, and a
// destructor that runs while such an unwind passes (the thread then has no
// thread state) leaves the reference alone instead of touching the object.
#pragma once

#include <Python.h>

#include "platform/compiler.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tarnik {

// The calling thread's thread state, without a check; before 3.12, the
// state of whichever thread holds the interpreter lock.
inline PyThreadState* thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// True when this thread may call the interpreter: false only on a thread
// that the interpreter is ending at exit, while its native frames unwind.
inline bool python_usable() noexcept {
    PyThreadState* ts = thread_state();
#if PY_VERSION_HEX >= 0x030C0000
    return ts != nullptr;
#else
    // The thread that holds the interpreter lock, if it is this one.
    return ts != nullptr && ts->thread_id == PyThread_get_thread_ident();
#endif
}

// Releases a reference from a destructor.
inline void release_in_destructor(PyObject* p) {
    // On a thread that is being ended the process is exiting: the reference
    // is left on purpose rather than released without a thread state.
    if (python_usable()) Py_DECREF(p);
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) {
        if (p_) release_in_destructor(p_);
    }

    // Takes over a reference the caller owns (a "new reference" result).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref new_ref() const noexcept { return borrow(p_); }
    // Hands the reference over to the caller.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() {
        PyObject* p = p_;
        p_ = nullptr;
        Py_XDECREF(p);
    }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    PyObject* p_ = nullptr;
};

static_assert(!std::is_nothrow_destructible_v<Ref>, "releasing a reference may unwind");

// A stack of owned references with room for N of them inline, so that a
// shallow resolution does not touch the heap.
template <std::size_t N>
class RefStack {
public:
    RefStack() noexcept = default;
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;
    ~RefStack() noexcept(false) {
        if (size_ && python_usable()) drop(size_);
        if (data_ != inline_) std::free(data_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }  // borrowed
    PyObject* const* begin() const noexcept { return data_; }
    // The last `n` references, in push order (borrowed).
    PyObject* const* top(std::size_t n) const noexcept { return data_ + (size_ - n); }

    // Room for `n` more pushes that then cannot fail.
    void reserve(std::size_t n) {
        if (n > cap_ - size_) [[unlikely]]
            grow(size_ + n);
    }
    // Takes over `r`.
    void push(Ref r) {
        if (size_ == cap_) [[unlikely]]
            grow(cap_ * 2);
        data_[size_++] = r.release();
    }
    void push_reserved(Ref r) noexcept { data_[size_++] = r.release(); }
    Ref pop() noexcept { return Ref::steal(data_[--size_]); }
    // The last reference (borrowed).
    PyObject* back() const noexcept { return data_[size_ - 1]; }
    // Releases the last `n` references, newest first.
    void drop(std::size_t n) {
        while (n--) {
            PyObject* p = data_[--size_];
            Py_DECREF(p);
        }
    }
    void drop_all() { drop(size_); }

private:
    TARNIK_NOINLINE void grow(std::size_t cap) {
        if (cap > SIZE_MAX / sizeof(PyObject*)) throw std::bad_alloc();
        void* mem = std::malloc(cap * sizeof(PyObject*));
        if (!mem) throw std::bad_alloc();
        std::memcpy(mem, data_, size_ * sizeof(PyObject*));
        if (data_ != inline_) std::free(data_);
        data_ = static_cast<PyObject**>(mem);
        cap_ = cap;
    }

    PyObject* inline_[N];
    PyObject** data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = N;
};

// The singleton value a provider entry holds, or null. On a free-threaded
// build the held-singleton fast path reads it without the container's lock,
// so a value is published with a release store and read with an acquire
// load; the container never releases a value while such a reader may hold
// its pointer (see ReaderGate).
class HeldValue {
public:
    HeldValue() noexcept = default;
    HeldValue(const HeldValue&) = delete;
    HeldValue& operator=(const HeldValue&) = delete;
    HeldValue(HeldValue&& other) noexcept : p_(other.p_.load(std::memory_order_relaxed)) {
        other.p_.store(nullptr, std::memory_order_relaxed);
    }
    ~HeldValue() noexcept(false) {
        if (PyObject* p = p_.load(std::memory_order_relaxed)) release_in_destructor(p);
    }

    PyObject* get() const noexcept { return p_.load(std::memory_order_acquire); }
    explicit operator bool() const noexcept { return get() != nullptr; }
    Ref new_ref() const noexcept { return Ref::borrow(get()); }
    // Stores `value`; the value held before comes back to the caller.
    Ref exchange(Ref value) noexcept { return Ref::steal(p_.exchange(value.release(), std::memory_order_acq_rel)); }
    Ref take() noexcept { return exchange(Ref()); }

private:
    std::atomic<PyObject*> p_{nullptr};
};

}  // namespace tarnik

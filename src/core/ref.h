// Ownership of Python references.
//
// `Ref` is the one owner of a strong reference; a raw `PyObject*` anywhere
// else in the sources is borrowed. `RefStack` owns a run of references that
// grows and shrinks at its end (the value stack of a resolution).
#pragma once

#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tarnik {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

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
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    PyObject* p_ = nullptr;
};

// A stack of owned references with room for N of them inline, so that a
// shallow resolution does not touch the heap.
template <std::size_t N>
class RefStack {
public:
    RefStack() noexcept = default;
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;
    ~RefStack() {
        pop_n(size_);
        if (data_ != inline_) std::free(data_);
    }

    std::size_t size() const noexcept { return size_; }
    PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }  // borrowed
    // Pointer to the last `n` references, in push order (borrowed).
    PyObject* const* top(std::size_t n) const noexcept { return data_ + (size_ - n); }

    // Takes over `r`.
    void push(Ref r) {
        if (size_ == cap_) grow();
        data_[size_++] = r.release();
    }
    Ref pop() noexcept { return Ref::steal(data_[--size_]); }
    void pop_n(std::size_t n) noexcept {
        while (n--) {
            PyObject* p = data_[--size_];
            Py_DECREF(p);
        }
    }

private:
    void grow() {
        std::size_t cap = cap_ * 2;
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

}  // namespace tarnik

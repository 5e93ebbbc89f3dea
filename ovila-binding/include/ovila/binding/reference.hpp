// The owning reference to a Python object, and the C++ exception that ends a
// call whose Python exception is already set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ovila::binding {

// Thrown when a Python exception is set and the current call must end.
struct PythonError {};

// Ends the call with the pending Python exception; when the host reported a
// failure without setting one, raises SystemError first.
[[noreturn]] void throw_python_error();

// False on a thread that must not touch the interpreter any more: one that
// the finalizing interpreter ends by unwinding it (it has no thread state and
// does not hold the lock). The destructors that run during that unwind leak
// their references rather than release them.
bool may_touch_interpreter() noexcept;

class Ref {
public:
    Ref() = default;
    // Takes over a new reference; a null one ends the call (host failure).
    static Ref owned(PyObject* p) {
        if (p == nullptr) throw_python_error();
        return Ref(p);
    }
    static Ref borrowed(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes over a new reference that may be null without an error.
    static Ref steal(PyObject* p) { return Ref(p); }

    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() {
        if (p_ != nullptr && may_touch_interpreter()) Py_DECREF(p_);
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace ovila::binding

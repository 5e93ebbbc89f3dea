// The owning reference to a Python object, and the C++ exception that ends a
// call whose Python exception is already set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ovila::py {

// Thrown when a Python exception is set and the current call must end.
struct PythonError {};

// Ends the call with the pending Python exception; when the host reported a
// failure without setting one, raises SystemError first.
[[noreturn]] void throw_python_error();

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
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace ovila::py

#include "ovila/binding/guard.hpp"

#include <cstdio>
#include <cstdlib>

namespace ovila::binding {

void raise_value_error(const char* message) noexcept { PyErr_SetString(PyExc_ValueError, message); }

namespace {

constexpr const char* panic_doc =
    "The exception raised when the module's native code aborts with an internal error.\n\n"
    "Like SystemExit, it derives from BaseException, not from Exception, so that it\n"
    "normally propagates through the whole stack and ends the interpreter.";

PyObject* panic_type = nullptr;  // created on first need, kept for the process

[[noreturn]] void panic_abort() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void raise_panic(const char* message) noexcept {
    try {
        std::fprintf(stderr, "%s\n", message);
        std::fflush(stderr);
        if (panic_type == nullptr) {
            panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
            if (panic_type == nullptr) panic_abort();
        }
        PyObject* text = PyUnicode_FromString(message);
        if (text == nullptr) panic_abort();
        PyErr_SetObject(panic_type, text);
        Py_DECREF(text);
    } catch (...) {
        panic_abort();
    }
}

}  // namespace ovila::binding

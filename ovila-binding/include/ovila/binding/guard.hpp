// The one place where C++ failures become Python exceptions: every entry
// point called by the interpreter runs its body inside `guarded`.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "ovila/binding/reference.hpp"
#include "ovila/core/error.hpp"

namespace ovila::binding {

// Raises PanicException with `message` (also written to standard error).
// Never fails: a failure while doing so aborts the process.
void raise_panic(const char* message) noexcept;

void raise_value_error(const char* message) noexcept;

// Runs `body` and turns every C++ failure into a Python exception: an
// internal error into PanicException, a refused configuration into
// ValueError, an allocation failure into MemoryError. Returns `failed`
// when `body` did not complete. The one unwind let through is the thread's
// own end (the interpreter ending a thread while it finalizes): it is no
// failure of the call, and the thread does not hold the interpreter lock.
//
// The forced unwind is a foreign exception: its catch binds no object, which
// the undefined-behaviour sanitizer would report as a null reference (the
// bodies guarded keep their checks: they are functions of their own).
template <class R, class F>
__attribute__((no_sanitize("undefined"))) R guarded(R failed, F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PythonError&) {
    } catch (const ovila::core::InternalError& error) {
        raise_panic(error.what());
    } catch (const ovila::core::ConfigError& error) {
        raise_value_error(error.what());
    } catch (const ovila::core::MemoryRefusal& refusal) {
        PyErr_SetString(PyExc_MemoryError, refusal.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    return failed;
}

}  // namespace ovila::binding

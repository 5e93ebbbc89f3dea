// The one place where C++ failures become Python exceptions: every entry
// point called by the interpreter runs its body inside `guarded`.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "binding/reference.hpp"
#include "error.hpp"

namespace ovila::py {

// Raises PanicException with `message` (also written to standard error).
// Never fails: a failure while doing so aborts the process.
void raise_panic(const char* message) noexcept;

void raise_value_error(const char* message) noexcept;

// Runs `body` and turns every C++ failure into a Python exception: an
// internal error into PanicException, a refused configuration into
// ValueError, an allocation failure into MemoryError. Returns `failed`
// when `body` did not complete.
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const ovila::InternalError& error) {
        raise_panic(error.what());
    } catch (const ovila::ConfigError& error) {
        raise_value_error(error.what());
    } catch (const ovila::MemoryRefusal& refusal) {
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

}  // namespace ovila::py

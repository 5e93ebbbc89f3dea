#include "ovila/binding/reference.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace ovila::binding {

namespace {

// The interpreter is finalized by the thread that runs the program, which
// is the process's main thread.
bool on_main_thread() noexcept {
#if defined(__linux__)
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
#elif defined(__APPLE__)
    return pthread_main_np() != 0;
#else
    return true;
#endif
}

}  // namespace

// Once finalization has begun (the interpreter no longer counts as
// initialized) no other thread can take the lock again: a thread that tries
// is ended by a forced unwind. Only the finalizing thread still runs Python.
bool may_touch_interpreter() noexcept { return Py_IsInitialized() != 0 || on_main_thread(); }

}  // namespace ovila::binding

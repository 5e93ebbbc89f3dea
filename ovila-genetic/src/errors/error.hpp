// Internal errors: a broken invariant inside the engine. The binding turns
// every InternalError into the Python-side panic exception.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

namespace ovila {

class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// A refusal of the caller's configuration, raised before a run starts; the
// binding raises it as ValueError with the same message.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A run that cannot fit in memory, refused before it allocates; derives
// from std::bad_alloc (the binding raises MemoryError) and says why.
class MemoryRefusal : public std::bad_alloc {
public:
    explicit MemoryRefusal(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] inline void internal_error(const char* message) { throw InternalError(message); }
[[noreturn]] inline void internal_error(const std::string& message) { throw InternalError(message); }

}  // namespace ovila

// The errors every engine throws. The binding turns each into its Python
// exception in one place (`guarded`), so an engine only picks the type.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

namespace ovila::core {

// A broken invariant inside an engine; the binding raises the panic exception.
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// A refusal of what the caller gave (a configuration, sizes, indices), raised
// before any work starts; the binding raises it as ValueError with the same
// message. An engine may derive its own refusals from it.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Work that cannot fit in memory, refused before it allocates; derives from
// std::bad_alloc (the binding raises MemoryError) and says why.
class MemoryRefusal : public std::bad_alloc {
public:
    explicit MemoryRefusal(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] inline void internal_error(const char* message) { throw InternalError(message); }
[[noreturn]] inline void internal_error(const std::string& message) { throw InternalError(message); }

}  // namespace ovila::core

// Raising Python exceptions and reading them back as text.
#pragma once

#include <string>
#include <string_view>

#include "ovila/binding/reference.hpp"

namespace ovila::binding {

// Sets `type(message)` and ends the call.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// A fetched exception, normalised (the value is the exception instance).
class Fetched {
public:
    static Fetched fetch();
    PyObject* value() const { return value_.get(); }

private:
    Ref type_, value_, traceback_;
};

// "<ExceptionType>: <message>", with "<exception str() failed>" in its place.
std::string describe_exception(PyObject* exception);
std::string str_of(PyObject* object);
// Qualified name of the object's type, as in "'int' object ...".
std::string type_name(PyObject* object);
// TypeError "'<type>' object cannot be converted to '<expected>'".
[[noreturn]] void raise_downcast(PyObject* object, const char* expected);
// Raises `type(message)` whose __cause__ is `cause` (may be null).
[[noreturn]] void raise_with_cause(PyObject* type, const std::string& message, PyObject* cause);

// Re-raises a pending TypeError as "<prefix><message>" keeping its cause;
// any other pending exception stays as it is.
void reword_type_error(std::string_view prefix);

// "argument '<name>': ", the prefix of an argument's or attribute's TypeError.
std::string argument_prefix(const char* name);

}  // namespace ovila::binding

#include "ovila/binding/errors.hpp"

namespace ovila::binding {

void throw_python_error() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw PythonError{};
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

Fetched Fetched::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Fetched fetched;
    fetched.type_ = Ref::steal(type);
    fetched.value_ = Ref::steal(value);
    fetched.traceback_ = Ref::steal(traceback);
    return fetched;
}

std::string str_of(PyObject* object) {
    PyObject* text = PyObject_Str(object);
    if (text == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    std::string out = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size))
                                      : std::string("<exception str() failed>");
    if (utf8 == nullptr) PyErr_Clear();
    Py_DECREF(text);
    return out;
}

namespace {

std::string attribute_text(PyObject* object, const char* attribute, const char* fallback) {
    PyObject* value = PyObject_GetAttrString(object, attribute);
    if (value == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    std::string out = PyUnicode_Check(value) ? str_of(value) : std::string(fallback);
    Py_DECREF(value);
    return out;
}

}  // namespace

std::string type_name(PyObject* object) {
    return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__", "<unknown>");
}

std::string describe_exception(PyObject* exception) {
    return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__", "<unknown>") + ": " +
           str_of(exception);
}

void raise_downcast(PyObject* object, const char* expected) {
    std::string message = "'";
    message.append(type_name(object));
    message.append("' object cannot be converted to '");
    message.append(expected);
    message.append("'");
    raise(PyExc_TypeError, message);
}

void raise_with_cause(PyObject* type, const std::string& message, PyObject* cause) {
    Ref text = Ref::owned(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref error = Ref::owned(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (cause != nullptr) {
        Py_INCREF(cause);
        PyException_SetCause(error.get(), cause);  // steals
    }
    PyErr_SetObject(type, error.get());
    throw PythonError{};
}

void reword_type_error(std::string_view prefix) {
    if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_TypeError) == 0) return;
    Fetched failure = Fetched::fetch();
    const std::string message = std::string(prefix) + str_of(failure.value());
    Ref cause = Ref::steal(PyException_GetCause(failure.value()));
    try {
        raise_with_cause(PyExc_TypeError, message, cause.get());
    } catch (const PythonError&) {
    }
}

std::string argument_prefix(const char* name) {
    std::string prefix = "argument '";
    prefix.append(name);
    prefix.append("': ");
    return prefix;
}

}  // namespace ovila::binding

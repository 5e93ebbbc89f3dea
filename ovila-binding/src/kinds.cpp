#include "ovila/binding/kinds.hpp"

namespace ovila::binding {

std::optional<long long> comparable_integer(PyObject* other) {
    PyObject* index = PyNumber_Index(other);
    long long value = -1;
    if (index != nullptr) {
        value = PyLong_AsLongLong(index);
        Py_DECREF(index);
    }
    if (index == nullptr || (value == -1 && PyErr_Occurred() != nullptr)) {
        // Only an ordinary failure to convert makes the comparison not
        // implemented; an interrupt, an exit or an exhausted memory goes on.
        if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0 || PyErr_ExceptionMatches(PyExc_Exception) == 0) {
            throw_python_error();
        }
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

PyObject* comparison_result(bool equal, int op) {
    const bool result = op == Py_EQ ? equal : !equal;
    return Ref::borrowed(result ? Py_True : Py_False).release();
}

}  // namespace ovila::binding

#include "binding/kinds.hpp"

namespace ovila::py {

std::optional<long long> comparable_integer(PyObject* other) {
    PyObject* index = PyNumber_Index(other);
    if (index == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    const long long value = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

PyObject* comparison_result(bool equal, int op) {
    const bool result = op == Py_EQ ? equal : !equal;
    return Ref::borrowed(result ? Py_True : Py_False).release();
}

}  // namespace ovila::py

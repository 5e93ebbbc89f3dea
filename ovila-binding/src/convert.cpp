#include "ovila/binding/convert.hpp"

namespace ovila::binding {

namespace {

// An int as is; anything else through its __index__ (a float is refused).
Ref as_integer(PyObject* object) {
    if (PyLong_Check(object)) return Ref::borrowed(object);
    return Ref::owned(PyNumber_Index(object));
}

}  // namespace

std::uint64_t Convert<std::uint64_t>::from(PyObject* object) {
    Ref integer = as_integer(object);
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

std::uint8_t Convert<std::uint8_t>::from(PyObject* object) {
    Ref integer = as_integer(object);
    const long long value = PyLong_AsLongLong(integer.get());
    if (value == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
    if (value < 0 || value > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint8_t>(value);
}

double Convert<double>::from(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

Py_ssize_t sequence_hint(PyObject* sequence) {
    if (PyUnicode_Check(sequence)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PySequence_Check(sequence) == 0) {
        raise_downcast(sequence, "Sequence");
    }
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    // Only a list's or a tuple's length stands for items that exist; any
    // other __len__ may say anything, so it may reserve only a little.
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) return size;
    return std::min<Py_ssize_t>(size, untrusted_hint_limit);
}

Ref iterate(PyObject* sequence) { return Ref::owned(PyObject_GetIter(sequence)); }

PyObject* next_item(PyObject* iterator) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred() != nullptr) throw PythonError{};
    return item;
}

}  // namespace ovila::binding

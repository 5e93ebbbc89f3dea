// Instances and class descriptions: a Python object holding one C++ record
// behind a borrow flag, and the description from which its type is made.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ovila/binding/reference.hpp"

namespace ovila::binding {

// ---------------------------------------------------------------------------
// Borrow flag

class BorrowFlag {
public:
    void acquire_read();   // RuntimeError "Already mutably borrowed"
    void acquire_write();  // RuntimeError "Already borrowed"
    void release_read() { --state_; }
    void release_write() { state_ = 0; }

private:
    long state_ = 0;  // > 0 readers, -1 one writer
};

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

template <class T>
Instance<T>* as_instance(PyObject* object) {
    return reinterpret_cast<Instance<T>*>(object);
}

// Holds a read borrow for its lifetime.
class ReadBorrow {
public:
    explicit ReadBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_read(); }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    ~ReadBorrow() { flag_.release_read(); }

private:
    BorrowFlag& flag_;
};

// A copy of the record, or of one of its fields, taken under a read borrow.
template <class T>
T read_copy(PyObject* object) {
    auto* self = as_instance<T>(object);
    ReadBorrow borrow(self->borrow);
    return self->value;
}

template <class T, auto Member>
auto read_field_copy(PyObject* object) {
    auto* self = as_instance<T>(object);
    ReadBorrow borrow(self->borrow);
    return self->value.*Member;
}

// ---------------------------------------------------------------------------
// Class descriptions

// How a class is made: name, text signature, docstring, attributes,
// constructor, and the extra slots of the kind enumerations.
struct ClassSpec {
    const char* name;
    const char* signature = nullptr;  // for example "(genes, fitness=None)"
    const char* doc = nullptr;
    std::vector<PyGetSetDef> attributes;
    std::vector<PyMethodDef> methods;
    newfunc constructor = nullptr;  // none: calling the class raises TypeError
    std::vector<PyType_Slot> extra_slots;
    std::size_t basic_size = 0;
    destructor dealloc = nullptr;
    // Runs once after the type object is created (class attributes).
    void (*populate)(PyObject* type) = nullptr;

    // The type object, created on first need and kept for the process.
    PyTypeObject* type();
    // Creates the type object if needed; on failure the Python error is set
    // and null returned (used by registration).
    PyTypeObject* try_type();

    static PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

    std::string qualified_name;
    std::string full_doc;
    PyTypeObject* type_ = nullptr;
};

// Every exposed record type names its class description with this trait;
// the extension module that owns the record specialises it.
template <class T>
struct ClassOf;  // static ClassSpec& spec();

template <class T>
concept Exposed = requires { ClassOf<T>::spec(); };

template <class T>
PyTypeObject* type_of() {
    return ClassOf<T>::spec().type();
}

template <class T>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    as_instance<T>(object)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(object);
    Py_DECREF(type);
}

// A new instance of the class of T holding `value`.
template <Exposed T>
Ref make_instance(T value) {
    PyTypeObject* type = type_of<T>();
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) throw_python_error();
    auto* self = as_instance<T>(object);
    new (&self->borrow) BorrowFlag();
    try {
        new (&self->value) T(std::move(value));
    } catch (...) {
        // No record was made: the object goes without running its destructor.
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(object);
        Py_DECREF(type);
        throw;
    }
    return Ref::steal(object);
}

// Creates the class of T if needed and adds it to `module` (and to its
// __all__, created when missing).
void add_to_module(PyObject* module, const char* name, PyObject* value);

// Puts the kernels of the module's engine in force (core::features(), which
// reads OVILA_KERNELS once; a refused value fails the import with
// ValueError) and names them in the module's private attribute `_kernels`:
// "avx2" or "portable".
void add_kernel_choice(PyObject* module);

template <Exposed T>
void add_class(PyObject* module) {
    ClassSpec& spec = ClassOf<T>::spec();
    PyTypeObject* type = spec.try_type();
    if (type == nullptr) throw_python_error();
    add_to_module(module, spec.name, reinterpret_cast<PyObject*>(type));
}

}  // namespace ovila::binding

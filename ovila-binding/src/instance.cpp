#include "ovila/binding/instance.hpp"

#include "ovila/binding/errors.hpp"
#include "ovila/binding/guard.hpp"
#include "ovila/core/error.hpp"
#include "ovila/core/features.hpp"

namespace ovila::binding {

// ---------------------------------------------------------------------------
// Borrow flag

void BorrowFlag::acquire_read() {
    if (state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++state_;
}

void BorrowFlag::acquire_write() {
    if (state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
    state_ = -1;
}

// ---------------------------------------------------------------------------
// Class descriptions

PyTypeObject* ClassSpec::try_type() {
    if (type_ != nullptr) return type_;
    qualified_name = std::string("builtins.") + name;
    if (signature != nullptr) {
        full_doc = std::string(name) + signature + "\n--\n\n" + (doc != nullptr ? doc : "");
    } else if (doc != nullptr) {
        full_doc = doc;
    }
    if (full_doc.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
        return nullptr;
    }
    if (!attributes.empty() && attributes.back().name != nullptr) attributes.push_back(PyGetSetDef{});
    if (!methods.empty() && methods.back().ml_name != nullptr) methods.push_back(PyMethodDef{});

    std::vector<PyType_Slot> slots = extra_slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(constructor != nullptr ? constructor : &no_constructor)});
    if (!full_doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(full_doc.c_str())});
    if (!attributes.empty()) slots.push_back({Py_tp_getset, attributes.data()});
    if (!methods.empty()) slots.push_back({Py_tp_methods, methods.data()});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{qualified_name.c_str(), static_cast<int>(basic_size), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* created = PyType_FromSpec(&type_spec);
    if (created == nullptr) return nullptr;
    type_ = reinterpret_cast<PyTypeObject*>(created);
    if (populate != nullptr) {
        try {
            populate(created);
        } catch (const PythonError&) {
            return nullptr;
        }
    }
    return type_;
}

PyTypeObject* ClassSpec::type() {
    PyTypeObject* type = try_type();
    if (type == nullptr) {
        PyErr_Print();
        core::internal_error(std::string("failed to create type object for ") + name);
    }
    return type;
}

PyObject* ClassSpec::no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* name_object = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
        std::string name_text = "<unknown>";
        if (name_object == nullptr) {
            PyErr_Clear();
        } else {
            if (PyUnicode_Check(name_object)) name_text = str_of(name_object);
            Py_DECREF(name_object);
        }
        raise(PyExc_TypeError, "No constructor defined for " + name_text);
    });
}

// ---------------------------------------------------------------------------
// Modules

void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw_python_error();
        PyErr_Clear();
        all = Ref::owned(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_python_error();
    } else if (PyList_Check(all.get()) == 0) {
        raise_downcast(all.get(), "PyList");
    }
    Ref text = Ref::owned(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        core::internal_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value) != 0) throw_python_error();
}

void add_kernel_choice(PyObject* module) {
    const char* kernels = core::kernels_name(core::features());
    if (PyModule_AddStringConstant(module, "_kernels", kernels) != 0) throw_python_error();
}

}  // namespace ovila::binding

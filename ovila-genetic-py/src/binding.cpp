#include "binding.hpp"
#include "kinds.hpp"

#include <cstdio>
#include <cstdlib>

namespace ovila::py {

// ---------------------------------------------------------------------------
// Errors

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

void raise_value_error(const char* message) noexcept { PyErr_SetString(PyExc_ValueError, message); }

namespace {

constexpr const char* panic_doc =
    "The exception raised when the module's native code aborts with an internal error.\n\n"
    "Like SystemExit, it derives from BaseException, not from Exception, so that it\n"
    "normally propagates through the whole stack and ends the interpreter.";

PyObject* panic_type = nullptr;  // created on first need, kept for the process

[[noreturn]] void panic_abort() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void raise_panic(const char* message) noexcept {
    try {
        std::fprintf(stderr, "%s\n", message);
        std::fflush(stderr);
        if (panic_type == nullptr) {
            panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
            if (panic_type == nullptr) panic_abort();
        }
        PyObject* text = PyUnicode_FromString(message);
        if (text == nullptr) panic_abort();
        PyErr_SetObject(panic_type, text);
        Py_DECREF(text);
    } catch (...) {
        panic_abort();
    }
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

void Fetched::restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool Fetched::is(PyObject* type) const { return PyErr_GivenExceptionMatches(type_.get(), type) != 0; }

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
// Classes

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
        internal_error(std::string("failed to create type object for ") + name);
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
// Kind comparisons

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

// ---------------------------------------------------------------------------
// Conversions

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

GenesSet Convert<GenesSet>::from(PyObject* object) {
    if (PyAnySet_Check(object) == 0) {
        raise_downcast(object, "PySet");
    }
    GenesSet out;
    Ref iterator = iterate(object);
    while (Ref item = Ref::steal(next_item(iterator.get()))) {
        out.insert(Convert<Genes>::from(item.get()));
    }
    return out;
}

Ref Convert<GenesSet>::to(const GenesSet& values) {
    Ref set = Ref::owned(PySet_New(nullptr));
    for (const Genes& genes : values) {
        Ref tuple = Ref::owned(PyTuple_New(static_cast<Py_ssize_t>(genes.size())));
        for (std::size_t i = 0; i < genes.size(); ++i) {
            if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), Convert<Gene>::to(genes[i]).release()) != 0) {
                throw_python_error();
            }
        }
        if (PySet_Add(set.get(), tuple.get()) != 0) throw_python_error();
    }
    return set;
}

// ---------------------------------------------------------------------------
// Argument parsing

std::string Signature::full_name() const {
    return class_name != nullptr ? std::string(class_name) + "." + function + "()" : std::string(function) + "()";
}

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

}  // namespace

Arguments::Arguments(const Signature& signature, PyObject* args, PyObject* kwargs)
    : signature_(signature), slots_(signature.parameters.size()) {
    const std::size_t n = signature.parameters.size();
    const auto given = static_cast<std::size_t>(args != nullptr ? PyTuple_Size(args) : 0);
    if (given > n) {
        const std::string verb = given == 1 ? "was" : "were";
        std::string message = signature.full_name() + " takes ";
        if (signature.required == n) {
            message += std::to_string(n);
        } else {
            message += "from " + std::to_string(signature.required) + " to " + std::to_string(n);
        }
        message += " positional arguments but " + std::to_string(given) + " " + verb + " given";
        raise(PyExc_TypeError, message);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots_[i] = Ref::borrowed(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value) != 0) {
            // Held before anything can run Python code that changes the dict.
            Ref held_key = Ref::borrowed(key);
            Ref held_value = Ref::borrowed(value);
            // The key's own text, read without calling its __str__.
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            if (utf8 == nullptr) {
                if (PyErr_Occurred() != nullptr) throw_python_error();
                raise(PyExc_TypeError, signature.full_name() + " keywords must be strings");
            }
            const std::string name(utf8, static_cast<std::size_t>(size));
            std::size_t slot = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (name == signature.parameters[i]) slot = i;
            }
            if (slot == n) {
                raise(PyExc_TypeError, signature.full_name() + " got an unexpected keyword argument '" + name + "'");
            }
            if (slots_[slot]) {
                raise(PyExc_TypeError, signature.full_name() + " got multiple values for argument '" + name + "'");
            }
            slots_[slot] = std::move(held_value);
        }
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!slots_[i]) missing.emplace_back(signature.parameters[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, signature.full_name() + " missing " + std::to_string(missing.size()) +
                                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                                   ": " + quoted_list(missing));
    }
}

// ---------------------------------------------------------------------------
// Argument unions

void UnionFailures::add(std::size_t variant) {
    Fetched failure = Fetched::fetch();
    const std::string message =
        std::string("failed to extract field ") + spec_.name + "::" + spec_.variants[variant] + ".0";
    try {
        raise_with_cause(PyExc_TypeError, message, failure.value());
    } catch (const PythonError&) {
        Fetched wrapped = Fetched::fetch();
        errors_.push_back(Ref::borrowed(wrapped.value()));
    }
}

void UnionFailures::raise_all() {
    std::string message = std::string("failed to extract enum ") + spec_.name + " ('";
    for (std::size_t i = 0; i < spec_.variants.size(); ++i) {
        if (i > 0) message += " | ";
        message += spec_.variants[i];
    }
    message += "')";
    for (std::size_t i = 0; i < errors_.size(); ++i) {
        message += std::string("\n- variant ") + spec_.variants[i] + " (" + spec_.variants[i] + "): ";
        message += describe_exception(errors_[i].get());
        Ref cause = Ref::steal(PyException_GetCause(errors_[i].get()));
        for (int depth = 0; cause && depth < 64; ++depth) {
            message += ", caused by " + describe_exception(cause.get());
            cause = Ref::steal(PyException_GetCause(cause.get()));
        }
    }
    raise(PyExc_TypeError, message);
}

}  // namespace ovila::py

#include "ovila/binding/arguments.hpp"

namespace ovila::binding {

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

}  // namespace ovila::binding

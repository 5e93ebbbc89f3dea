// EvaluatorKinds, EvaluatorMatrix and EvaluatorValue.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

bool is_matrix_kind(EvaluatorKind kind) { return kind != EvaluatorKind::Value; }

const Signature matrix_signature{"EvaluatorMatrix", "__new__", {"kind", "matrix", "offset"}, 2};
MatrixEvaluatorOptions build_matrix(const Arguments& args) {
    MatrixEvaluatorOptions options;
    options.kind = args.get<EvaluatorKind>(0);
    options.matrix = args.get<SharedCells>(1);
    options.offset = args.get<std::optional<std::uint64_t>>(2);
    if (!is_matrix_kind(options.kind)) {
        throw core::ConfigError("wrong evaluator kind, only those in the EvaluatorMatrix.kinds() set are valid.");
    }
    return options;
}

const Signature value_signature{"EvaluatorValue", "__new__", {"value"}, 1};
ValueEvaluatorOptions build_value(const Arguments& args) {
    return ValueEvaluatorOptions{args.get<double>(0), EvaluatorKind::Value};
}

// EvaluatorMatrix.kinds(): the plain names of the matrix kinds, as a new set.
PyObject* matrix_kinds(PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [] {
        Ref set = Ref::owned(PySet_New(nullptr));
        for (const auto& member : KindTable<EvaluatorKind>::members) {
            if (!is_matrix_kind(static_cast<EvaluatorKind>(member.value))) continue;
            Ref name = Ref::owned(PyUnicode_FromString(member.name));
            if (PySet_Add(set.get(), name.get()) != 0) throw_python_error();
        }
        return set.release();
    });
}

}  // namespace

const UnionSpec evaluator_union{"Evaluator", {"Matrix", "Value"}};

template <>
ClassSpec& spec_of<EvaluatorKind>() {
    static ClassSpec spec = kind_class<EvaluatorKind>();
    return spec;
}

template <>
ClassSpec& spec_of<MatrixEvaluatorOptions>() {
    using M = MatrixEvaluatorOptions;
    static ClassSpec spec = [] {
        ClassSpec s = record_class<M>("EvaluatorMatrix", "(kind, matrix, offset=None)", nullptr,
                                      {
                                          attribute<M, &M::offset>("offset"),
                                          attribute<M, &M::matrix>("matrix"),
                                          attribute<M, &M::kind>("kind"),
                                      },
                                      &construct<M, matrix_signature, &build_matrix>);
        s.methods = {PyMethodDef{"kinds", &matrix_kinds, METH_NOARGS | METH_STATIC, "kinds()\n--\n\n"}};
        return s;
    }();
    return spec;
}

template <>
ClassSpec& spec_of<ValueEvaluatorOptions>() {
    using V = ValueEvaluatorOptions;
    static ClassSpec spec = record_class<V>("EvaluatorValue", "(value)", nullptr,
                                            {
                                                attribute<V, &V::value>("value"),
                                                attribute<V, &V::kind>("kind"),
                                            },
                                            &construct<V, value_signature, &build_value>);
    return spec;
}

}  // namespace ovila::genetic_py

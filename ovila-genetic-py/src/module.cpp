// Module initialisation: the module is created once per process, its classes
// are added in registry order and listed in __all__, then sequence_sga.
#include "classes.hpp"

namespace ovila::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ovila_genetic_py",
    "Python extension module that orders the items of a dependency matrix with a simple genetic algorithm.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef sequence_sga_def = {
    "sequence_sga",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sequence_sga)),
    METH_VARARGS | METH_KEYWORDS,
    "sequence_sga(settings, generator, evaluator, recorder, selector, crossover, mutator, convergence)\n--\n\n",
};

PyObject* module_cell = nullptr;  // written once, kept for the process

// Appends `name` to the module's __all__ (created when missing) and sets it.
void add(PyObject* module, const char* name, PyObject* value) {
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
        internal_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value) != 0) throw_python_error();
}

template <class T>
void add_class(PyObject* module) {
    ClassSpec& spec = ClassOf<T>::spec();
    PyTypeObject* type = spec.try_type();
    if (type == nullptr) throw_python_error();
    add(module, spec.name, reinterpret_cast<PyObject*>(type));
}

void initialise(PyObject* module) {
    add_class<Chromosome>(module);
    add_class<Population>(module);
    add_class<FitnessStatistics>(module);
    add_class<HallOfFame>(module);
    add_class<Lineage>(module);
    add_class<ConvergenceKind>(module);
    add_class<CrossoverKind>(module);
    add_class<BlendOptions>(module);
    add_class<SimulatedBinaryOptions>(module);
    add_class<EvaluatorKind>(module);
    add_class<MatrixEvaluatorOptions>(module);
    add_class<ValueEvaluatorOptions>(module);
    add_class<GeneratorKind>(module);
    add_class<MutatorKind>(module);
    add_class<MutatorSwapOptions>(module);
    add_class<RecorderKind>(module);
    add_class<HdrHistogramOptions>(module);
    add_class<SelectorKind>(module);
    add_class<SequencingSettings>(module);

    Ref module_name = Ref::owned(PyModule_GetNameObject(module));
    Ref function = Ref::owned(PyCFunction_NewEx(&sequence_sga_def, module, module_name.get()));
    Ref function_name = Ref::owned(PyObject_GetAttrString(function.get(), "__name__"));
    add(module, str_of(function_name.get()).c_str(), function.get());
}

}  // namespace

}  // namespace ovila::py

extern "C" PyMODINIT_FUNC PyInit_ovila_genetic_py(void) {
    using namespace ovila::py;
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        if (module_cell != nullptr) {
            raise(PyExc_ImportError, "ovila_genetic_py may only be initialized once per interpreter process");
        }
        Ref module = Ref::owned(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
        initialise(module.get());
        module_cell = module.get();
        Py_INCREF(module_cell);
        return module.release();
    });
}

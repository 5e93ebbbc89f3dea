// Module initialisation: the module is created once per process, the kernels
// are chosen (`_kernels`), its classes are added in registry order and listed
// in __all__, then sequence_sga.
#include "classes.hpp"

namespace ovila::genetic_py {

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

void initialise(PyObject* module) {
#define OVILA_ADD_CLASS(Record) add_class<Record>(module);
    OVILA_GENETIC_CLASSES(OVILA_ADD_CLASS)
#undef OVILA_ADD_CLASS

    Ref module_name = Ref::owned(PyModule_GetNameObject(module));
    Ref function = Ref::owned(PyCFunction_NewEx(&sequence_sga_def, module, module_name.get()));
    Ref function_name = Ref::owned(PyObject_GetAttrString(function.get(), "__name__"));
    add_to_module(module, str_of(function_name.get()).c_str(), function.get());
}

}  // namespace

}  // namespace ovila::genetic_py

extern "C" PyMODINIT_FUNC PyInit_ovila_genetic_py(void) {
    using namespace ovila::genetic_py;
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        if (module_cell != nullptr) {
            raise(PyExc_ImportError, "ovila_genetic_py may only be initialized once per interpreter process");
        }
        Ref module = Ref::owned(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
        add_kernel_choice(module.get());
        initialise(module.get());
        module_cell = module.get();
        Py_INCREF(module_cell);
        return module.release();
    });
}

// The extension module tamsu._tamsu: multi-phase initialisation that
// creates the Model and PathData heap types in module state.
#include "diag/cerr_router.h"
#include "model/model.h"
#include "python/binder.h"
#include "python/module_state.h"

namespace tamsu::python {
namespace {

ModuleState *state_of(PyObject *module) {
  return static_cast<ModuleState *>(PyModule_GetState(module));
}

// Adds `type` to the module and to __all__.
int add_type(PyObject *module, PyObject *all, PyTypeObject *type,
             const char *name) {
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject *>(type)) <
      0) {
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all, text.get());
}

int module_exec(PyObject *module) {
  configure_openfst();
  ModuleState *state = state_of(module);
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return -1;

  state->model_type = reinterpret_cast<PyTypeObject *>(
      PyType_FromModuleAndSpec(module, &model_type_spec, nullptr));
  if (!state->model_type) return -1;
  if (add_type(module, all.get(), state->model_type, "Model") < 0) return -1;

  state->path_data_type = reinterpret_cast<PyTypeObject *>(
      PyType_FromModuleAndSpec(module, &path_data_type_spec, nullptr));
  if (!state->path_data_type) return -1;
  if (add_type(module, all.get(), state->path_data_type, "PathData") < 0) {
    return -1;
  }

  // Kept in module state only: the module's attributes are its classes.
  state->unsendable_error = PyErr_NewException(
      "tamsu._tamsu.UnsendableError", PyExc_BaseException, nullptr);
  if (!state->unsendable_error) return -1;

  return PyModule_AddObjectRef(module, "__all__", all.get());
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
  ModuleState *state = state_of(module);
  Py_VISIT(state->model_type);
  Py_VISIT(state->path_data_type);
  Py_VISIT(state->unsendable_error);
  return 0;
}

int module_clear(PyObject *module) {
  ModuleState *state = state_of(module);
  Py_CLEAR(state->model_type);
  Py_CLEAR(state->path_data_type);
  Py_CLEAR(state->unsendable_error);
  return 0;
}

void module_free(void *module) { module_clear(static_cast<PyObject *>(module)); }

PyMethodDef module_methods[] = {
    {"_set_route", fastcall(module_set_route),
     METH_FASTCALL, "_set_route(model, route, /)\n--\n\n"
                    "Private: 'openfst' forces OpenFst's route, 'auto' undoes it."},
    {"_route", fastcall(module_route),
     METH_FASTCALL, "_route(model, /)\n--\n\n"
                    "Private: (planned route, route of the latest call)."},
    {"_last_failure", fastcall(module_last_failure),
     METH_FASTCALL, "_last_failure(model, /)\n--\n\n"
                    "Private: why the latest call gave nothing ('none' if it did not fail)."},
    {"_last_work", fastcall(module_last_work),
     METH_FASTCALL, "_last_work(model, /)\n--\n\n"
                    "Private: (lattice states + arcs, most search pairs) of the latest call."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tamsu",
    "",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

ModuleState *module_state_of(PyTypeObject *type) {
  PyObject *module = PyType_GetModuleByDef(type, &module_def);
  return module ? state_of(module) : nullptr;
}

}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__tamsu(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

// The extension module tamsu._tamsu: multi-phase initialisation that
// creates the Model and PathData heap types in module state.
#include "diag/cerr_router.h"
#include "model/model.h"
#include "python/binder.h"
#include "python/module_state.h"

namespace tamsu::python {
namespace {

int module_exec(PyObject *module) {
  configure_openfst();
  ModuleState *state = state_of<ModuleState>(module);
  // Kept in module state only: the module's attributes are its classes.
  state->unsendable_error = PyErr_NewException(
      "tamsu._tamsu.UnsendableError", PyExc_BaseException, nullptr);
  if (!state->unsendable_error) return -1;
  return add_types(
      module, {{&model_type_spec, "Model", &state->model_type},
               {&path_data_type_spec, "PathData", &state->path_data_type}});
}

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

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "_tamsu", "", module_methods);

}  // namespace

ModuleState *module_state_of(PyTypeObject *type) {
  PyObject *module = PyType_GetModuleByDef(type, &module_def);
  return module ? state_of<ModuleState>(module) : nullptr;
}

}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__tamsu(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

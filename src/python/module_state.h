// The extension module's state and the type specs it builds its classes
// from. There is no mutable global state.
#ifndef TAMSU_PYTHON_MODULE_STATE_H_
#define TAMSU_PYTHON_MODULE_STATE_H_

#include <array>
#include <vector>

#include "nbest/path_data.h"
#include "python/extension.h"
#include "python/py_ref.h"

namespace tamsu::python {

struct ModuleState {
  PyTypeObject *model_type;
  PyTypeObject *path_data_type;
  // Raised when a Model is used on a thread other than its creator. Derives
  // from BaseException so that generic handlers do not swallow it.
  PyObject *unsendable_error;

  auto references() {
    return std::array{object_slot(model_type), object_slot(path_data_type),
                      object_slot(unsendable_error)};
  }
};

ModuleState *module_state_of(PyTypeObject *type);

extern PyType_Spec model_type_spec;
extern PyType_Spec path_data_type_spec;

// Private functions for tests and benchmarks. _set_route(model, route):
// "openfst" makes every later call of `model` take OpenFst's route, "auto"
// lets the model's plan choose again. _route(model): the route the model's
// plan allows ("lattice", or "openfst: REASON") and the route the latest
// call took ("lattice", "openfst" or "none"). _last_failure(model): why the
// latest call failed ("none", "no known graphemes", "work limit reached",
// ...). _last_work(model): the states plus arcs of its expanded lattice and
// the most partial paths one of its searches held.
PyObject *module_set_route(PyObject *module, PyObject *const *args,
                           Py_ssize_t nargs);
PyObject *module_route(PyObject *module, PyObject *const *args,
                       Py_ssize_t nargs);
PyObject *module_last_failure(PyObject *module, PyObject *const *args,
                              Py_ssize_t nargs);
PyObject *module_last_work(PyObject *module, PyObject *const *args,
                           Py_ssize_t nargs);

// A new PathData object holding `record` (moved in), or null.
PyObject *new_path_data(ModuleState *state, PathData &&record);

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_MODULE_STATE_H_

// The extension module's state and the type specs it builds its classes
// from. There is no mutable global state.
#ifndef TAMSU_PYTHON_MODULE_STATE_H_
#define TAMSU_PYTHON_MODULE_STATE_H_

#include <vector>

#include "nbest/path_data.h"
#include "python/py_ref.h"

namespace tamsu::python {

struct ModuleState {
  PyTypeObject *model_type;
  PyTypeObject *path_data_type;
  // Raised when a Model is used on a thread other than its creator. Derives
  // from BaseException so that generic handlers do not swallow it.
  PyObject *unsendable_error;
};

ModuleState *module_state_of(PyTypeObject *type);

extern PyType_Spec model_type_spec;
extern PyType_Spec path_data_type_spec;

// A new PathData object holding `record` (moved in), or null.
PyObject *new_path_data(ModuleState *state, PathData &&record);

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_MODULE_STATE_H_

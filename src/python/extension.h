// What every extension module and class of the binding shares: module
// state with its traverse, clear and free written once, the module slots
// (multi-phase init), heap types added to the module and its __all__, and
// the one way an object owns its loaded core record.
#ifndef TAMSU_PYTHON_EXTENSION_H_
#define TAMSU_PYTHON_EXTENSION_H_

#include <initializer_list>
#include <memory>
#include <new>
#include <utility>

#include "python/py_ref.h"

namespace tamsu::python {

// A module's state is a struct whose every strong reference its
// references() lists (as PyObject **), so that traverse and clear below
// see each one:
//   struct State {
//     PyTypeObject *model_type;
//     auto references() { return std::array{object_slot(model_type)}; }
//   };
template <class T>
PyObject **object_slot(T *&field) {
  // A type object starts with its PyObject header, as CPython's casts use.
  return reinterpret_cast<PyObject **>(&field);
}

template <class State>
State *state_of(PyObject *module) {
  return static_cast<State *>(PyModule_GetState(module));
}

// Runs each(reference) over the module state's references until one
// returns non-zero, and returns that (0 when none did, or without state).
template <class State, class Each>
int each_reference(PyObject *module, Each &&each) {
  State *state = state_of<State>(module);
  if (!state) return 0;
  for (PyObject **slot : state->references()) {
    if (const int result = each(*slot)) return result;
  }
  return 0;
}

template <class State>
int traverse_module(PyObject *module, visitproc visit, void *arg) {
  return each_reference<State>(module, [&](PyObject *object) {
    Py_VISIT(object);
    return 0;
  });
}

template <class State>
int clear_module(PyObject *module) {
  return each_reference<State>(module, [](PyObject *&object) {
    Py_CLEAR(object);
    return 0;
  });
}

template <class State>
void free_module(void *module) {
  clear_module<State>(static_cast<PyObject *>(module));
}

// Every module's slots: `Exec` fills the module; no module needs the
// interpreter lock (declared where the interpreter knows the slot).
template <int (*Exec)(PyObject *)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(Exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// A module definition over `State` (see above) and module_slots<Exec>.
template <class State, int (*Exec)(PyObject *)>
PyModuleDef module_definition(const char *name, const char *doc,
                              PyMethodDef *methods) {
  return {PyModuleDef_HEAD_INIT,
          name,
          doc,
          sizeof(State),
          methods,
          module_slots<Exec>,
          traverse_module<State>,
          clear_module<State>,
          free_module<State>};
}

// A class of a module: its spec, its name, and the state field that holds
// its type.
struct ModuleType {
  PyType_Spec *spec;
  const char *name;
  PyTypeObject **type;
};

// Makes each heap type for `module` into its state field and adds it to
// the module and, in order, to the module's __all__.
inline int add_types(PyObject *module,
                     std::initializer_list<ModuleType> types) {
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return -1;
  for (const ModuleType &entry : types) {
    *entry.type = reinterpret_cast<PyTypeObject *>(
        PyType_FromModuleAndSpec(module, entry.spec, nullptr));
    if (!*entry.type ||
        PyModule_AddObjectRef(module, entry.name,
                              reinterpret_cast<PyObject *>(*entry.type)) < 0) {
      return -1;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

// The loaded core record of an object: owned through one unique_ptr, made
// in place once the object is allocated (loading has succeeded by then,
// so nothing after the allocation can fail), and only read afterwards.
template <class Record>
using RecordPtr = std::unique_ptr<const Record>;

// A new object of `type` owning `record` in its field `member`, or null.
template <class Object, class Record>
Object *new_record_object(PyTypeObject *type, RecordPtr<Record> Object::*member,
                          RecordPtr<Record> record) {
  PyObject *self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  Object *object = reinterpret_cast<Object *>(self);
  new (&(object->*member)) RecordPtr<Record>(std::move(record));
  return object;
}

// The dealloc of such an object: drops the record, unless `leak` (a
// record that must not be dropped on this thread), frees the object and
// releases its type.
template <class Object, class Record>
void free_record_object(PyObject *self, RecordPtr<Record> Object::*member,
                        bool leak = false) {
  PyTypeObject *type = Py_TYPE(self);
  RecordPtr<Record> &record = reinterpret_cast<Object *>(self)->*member;
  if (leak) static_cast<void>(record.release());
  record.~RecordPtr<Record>();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_EXTENSION_H_

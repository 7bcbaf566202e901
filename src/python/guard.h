// The shared wrapper around every entry point the interpreter calls: no C++
// exception may reach CPython.
#ifndef TAMSU_PYTHON_GUARD_H_
#define TAMSU_PYTHON_GUARD_H_

#include "python/py_ref.h"

namespace tamsu::python {

// Sets the Python exception for the C++ exception being handled:
// MemoryError for out-of-memory, RuntimeError otherwise. Call only inside
// a catch block.
void set_error_from_current_exception();

// Runs `body`, which returns a new reference or null with an exception
// set, and turns any C++ exception into a Python one.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_GUARD_H_

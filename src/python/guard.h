// The shared wrapper around every entry point the interpreter calls: no C++
// exception may reach CPython.
#ifndef TAMSU_PYTHON_GUARD_H_
#define TAMSU_PYTHON_GUARD_H_

#include <string_view>

#include "python/py_ref.h"

namespace tamsu::python {

// A str of UTF-8 text from the core (a symbol, a path in a message):
// bytes that are not UTF-8 become U+FFFD, so that it always converts.
PyObject *str_from_utf8(std::string_view text);

// Sets an exception of `type` whose message is `text`. Bytes that are not
// UTF-8 (a symbol text or a path quoted from a file) become U+FFFD, so the
// message always survives, unlike with PyErr_SetString.
void set_error_text(PyObject *type, std::string_view text);

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

#include "python/guard.h"

#include <exception>
#include <new>

namespace tamsu::python {

PyObject *str_from_utf8(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(),
                              static_cast<Py_ssize_t>(text.size()), "replace");
}

void set_error_text(PyObject *type, std::string_view text) {
  PyRef message = PyRef::steal(str_from_utf8(text));
  if (!message) return;  // MemoryError is set
  PyErr_SetObject(type, message.get());
}

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    set_error_text(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace tamsu::python

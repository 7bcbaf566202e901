#include "python/guard.h"

#include <exception>
#include <new>

namespace tamsu::python {

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace tamsu::python

// The one owning reference type of the binding: holds a strong reference,
// moves but never copies, and gives it up only through release().
#ifndef TAMSU_PYTHON_PY_REF_H_
#define TAMSU_PYTHON_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace tamsu::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject *object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject *object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef &&other) noexcept : object_(other.object_) {
    other.object_ = nullptr;
  }
  PyRef &operator=(PyRef &&other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  // Copying would need an incref the caller did not ask for.
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject *release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject *object) : object_(object) {}
  PyObject *object_ = nullptr;
};

// A new list of `size` items, item i made by `make_item(i)` (a new
// reference, or null with an exception set, which abandons the list).
template <class MakeItem>
PyObject *new_list(std::size_t size, MakeItem &&make_item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject *item = make_item(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_PY_REF_H_

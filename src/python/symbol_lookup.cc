#include "python/symbol_lookup.h"

#include <climits>
#include <cstdint>

#include "python/binder.h"
#include "python/guard.h"

namespace tamsu::python {
namespace {

// The text of a str key as UTF-8; a lone surrogate becomes one U+FFFD per
// byte of its encoded form, so it can only match such a symbol.
bool key_text(PyObject *key, std::string &out) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return false;
  Py_ssize_t size = 0;
  if (const char *data = utf8_of(text.get(), size)) {
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  PyErr_Clear();
  PyRef raw = PyRef::steal(
      PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!raw) return false;
  PyRef replaced = PyRef::steal(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  if (!replaced) return false;
  const char *data = utf8_of(replaced.get(), size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyObject *find_symbol(const fst::SymbolTable &table, PyObject *key) {
  if (PyUnicode_Check(key)) {
    std::string text;
    if (!key_text(key, text)) return nullptr;
    const auto label = table.Find(text);
    if (label == fst::kNoSymbol) Py_RETURN_NONE;
    return PyLong_FromLongLong(label);
  }
  if (PyLong_Check(key)) {
    const long id = PyLong_AsLong(key);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (id > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError,
                      "signed integer is greater than maximum");
      return nullptr;
    }
    if (id < INT32_MIN) {
      PyErr_SetString(PyExc_OverflowError,
                      "signed integer is less than minimum");
      return nullptr;
    }
    if (id < 0 || static_cast<std::size_t>(id) >= table.NumSymbols()) {
      Py_RETURN_NONE;
    }
    return str_from_utf8(table.Find(static_cast<std::int64_t>(id)));
  }
  PyErr_SetString(PyExc_TypeError, "expected str or int");
  return nullptr;
}

}  // namespace tamsu::python

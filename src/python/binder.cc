#include "python/binder.h"

#include <cerrno>
#include <cstring>

namespace tamsu::python {
namespace {

// "'int' object is not an instance of 'str'"
void set_type_mismatch(PyObject *value, const char *expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'",
                 expected);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'",
               qualname.get(), expected);
}

std::string quoted_list(const Signature &signature, const bool *missing) {
  std::string names;
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < signature.num_params; ++i) total += missing[i];
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < signature.num_params; ++i) {
    if (!missing[i]) continue;
    ++seen;
    if (seen > 1) names += (seen == total) ? (total > 2 ? ", and " : " and ") : ", ";
    names += "'";
    names += signature.names[i];
    names += "'";
  }
  return names;
}

// numpy's boolean scalar: a type named "bool_" (numpy 1) or "bool"
// (numpy 2) from the module "numpy". Returns -1 with an exception set.
int is_numpy_bool(PyObject *value) {
  PyTypeObject *type = Py_TYPE(value);
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return -1;
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return 0;
  }
  PyRef module = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return 0;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool bind_arguments(const Signature &signature, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *const *kwvalues, BoundArguments &bound) {
  const Py_ssize_t max = signature.num_params;
  if (nargs > max) {
    if (signature.num_required == max) {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes %zd positional arguments but %zd were given",
                   signature.function, max, nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zd to %zd positional arguments but %zd "
                   "were given",
                   signature.function, signature.num_required, max, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < max; ++i) bound[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t i = max; i < kMaxParams; ++i) bound[i] = nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < max; ++i) {
      if (PyUnicode_Check(key) &&
          PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got an unexpected keyword argument '%S'",
                   signature.function, key);
      return false;
    }
    if (bound[index]) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got multiple values for argument '%s'",
                   signature.function, signature.names[index]);
      return false;
    }
    bound[index] = kwvalues[k];
  }

  bool missing[kMaxParams] = {};
  Py_ssize_t num_missing = 0;
  for (Py_ssize_t i = 0; i < signature.num_required; ++i) {
    missing[i] = bound[i] == nullptr;
    num_missing += missing[i];
  }
  if (num_missing) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing %zd required positional argument%s: %s",
                 signature.function, num_missing, num_missing == 1 ? "" : "s",
                 quoted_list(signature, missing).c_str());
    return false;
  }
  return true;
}

bool bind_new_arguments(const Signature &signature, PyObject *args,
                        PyObject *kwargs, BoundArguments &bound) {
  // Bring tuple-and-dict arguments into the fast-call form.
  std::vector<PyObject *> kwvalues;
  PyRef kwnames;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), i++, key);
      kwvalues.push_back(value);
    }
  }
  return bind_arguments(signature, &PyTuple_GET_ITEM(args, 0),
                        PyTuple_GET_SIZE(args), kwnames.get(), kwvalues.data(),
                        bound);
}

void wrap_conversion_error(const char *name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr;
  PyObject *raw_value = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &raw_value, &traceback);
  PyErr_NormalizeException(&type, &raw_value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (type != PyExc_TypeError) {  // a subclass passes through unchanged
    PyErr_Restore(type_ref.release(), value.release(), traceback_ref.release());
    return;
  }
  PyRef message = PyRef::steal(PyObject_Str(value.get()));
  if (!message) return;
  PyRef wrapped = PyRef::steal(
      PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!wrapped) return;
  PyRef error = PyRef::steal(
      PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
  if (!error) return;
  if (PyObject *cause = PyException_GetCause(value.get())) {
    PyException_SetCause(error.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
}

const char *utf8_of(PyObject *text, Py_ssize_t &size) {
  return PyUnicode_AsUTF8AndSize(text, &size);
}

bool convert_text(PyObject *value, const char *name, std::string &out) {
  if (!PyUnicode_Check(value)) {
    set_type_mismatch(value, "str");
    wrap_conversion_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char *data = utf8_of(value, size);
  if (!data) {
    wrap_conversion_error(name);
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_word(PyObject *value, const char *name, std::string &out,
                  bool &text) {
  text = true;
  if (!PyUnicode_Check(value)) return convert_text(value, name, out);
  Py_ssize_t size = 0;
  if (const char *data = utf8_of(value, size)) {
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyRef raw = PyRef::steal(
      PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  if (!raw) return false;
  out.assign(PyBytes_AS_STRING(raw.get()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(raw.get())));
  text = false;
  return true;
}

namespace {

// Each item of a sequence of str (not a str itself) through `convert`.
template <class Convert>
bool convert_each(PyObject *value, const char *name,
                  std::vector<std::string> &out, Convert &&convert) {
  if (PyUnicode_Check(value)) {  // a sequence too, of its characters
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a sequence of str, not a str", name);
    return false;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(value, "expected a sequence"));
  if (!sequence) {
    wrap_conversion_error(name);
    return false;
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  out.resize(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!convert(PySequence_Fast_GET_ITEM(sequence.get(), i),
                 out[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool convert_texts(PyObject *value, const char *name,
                   std::vector<std::string> &out) {
  return convert_each(value, name, out, [&](PyObject *item, std::string &to) {
    return convert_text(item, name, to);
  });
}

bool convert_words(PyObject *value, const char *name,
                   std::vector<std::string> &out) {
  return convert_each(value, name, out, [&](PyObject *item, std::string &to) {
    bool text = true;
    if (!convert_word(item, name, to, text)) return false;
    if (!text) to.clear();
    return true;
  });
}

bool convert_path(PyObject *value, const char *name, PathArgument &out) {
  PyObject *converted = nullptr;
  if (!PyUnicode_FSConverter(value, &converted)) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
      set_os_error(ENOENT, value);
      return false;
    }
    wrap_conversion_error(name);
    return false;
  }
  PyRef bytes = PyRef::steal(converted);
  out.bytes.assign(PyBytes_AS_STRING(converted),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
  out.given = PyRef::borrow(value);
  return true;
}

int path_converter(PyObject *value, void *out) {
  return convert_path(value, "path", *static_cast<PathArgument *>(out));
}

void set_os_error(int os_error, PyObject *filename) {
  errno = os_error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

bool convert_text_lists(PyObject *value, const char *name,
                        std::vector<std::vector<std::string>> &out) {
  PyRef sequence = PyRef::steal(PySequence_Fast(value, "expected a sequence"));
  if (!sequence) {
    wrap_conversion_error(name);
    return false;
  }
  out.resize(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())));
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!convert_texts(PySequence_Fast_GET_ITEM(sequence.get(),
                                                static_cast<Py_ssize_t>(i)),
                       name, out[i])) {
      return false;
    }
  }
  return true;
}

bool bind_scoring(const Signature &signature, PyObject *const *args,
                  Py_ssize_t nargs, PyObject *kwnames, ScoringArguments &out) {
  BoundArguments bound;
  if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound) ||
      !convert_words(bound[0], "words", out.words) ||
      (bound[2] && !convert_threads(bound[2], out.threads))) {
    return false;
  }
  PyRef lists = PyRef::steal(PySequence_Fast(
      bound[1], "candidates must be a sequence of candidate lists"));
  if (!lists) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(lists.get());
  if (static_cast<std::size_t>(size) != out.words.size()) {
    PyErr_SetString(PyExc_ValueError, "candidates must have one list per word");
    return false;
  }
  out.candidates.resize(out.words.size());
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!convert_text_lists(PySequence_Fast_GET_ITEM(lists.get(), i),
                            "candidates",
                            out.candidates[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  return true;
}

bool convert_threads(PyObject *value, std::size_t &out) {
  std::uint64_t threads = 0;
  if (!convert_u64(value, "threads", threads)) return false;
  if (threads < 1 || threads > 1024) {
    PyErr_SetString(PyExc_ValueError, "threads must be from 1 to 1024");
    return false;
  }
  out = static_cast<std::size_t>(threads);
  return true;
}

bool convert_u64(PyObject *value, const char *name, std::uint64_t &out) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    wrap_conversion_error(name);
    return false;
  }
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_conversion_error(name);
    return false;
  }
  out = converted;
  return true;
}

bool convert_double(PyObject *value, const char *name, double &out) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) {
    wrap_conversion_error(name);
    return false;
  }
  out = converted;
  return true;
}

bool convert_bool(PyObject *value, const char *name, bool &out) {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  const int numpy_bool = is_numpy_bool(value);
  if (numpy_bool < 0) return false;
  if (numpy_bool) {
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (!number || !number->nb_bool) {
      PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
      if (!type_name) return false;
      PyErr_Format(PyExc_TypeError,
                   "object of type '%U' does not define a '__bool__' "
                   "conversion",
                   type_name.get());
      wrap_conversion_error(name);
      return false;
    }
    const int truth = number->nb_bool(value);
    if (truth < 0) {
      wrap_conversion_error(name);
      return false;
    }
    out = truth != 0;
    return true;
  }
  set_type_mismatch(value, "bool");
  wrap_conversion_error(name);
  return false;
}

}  // namespace tamsu::python

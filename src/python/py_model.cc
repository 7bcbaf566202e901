// Model: a loaded model record bound to the thread that created it, with
// the decoding and lookup methods.
#include <climits>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "model/model.h"
#include "nbest/phonemes.h"
#include "nbest/pipeline.h"
#include "python/binder.h"
#include "python/guard.h"
#include "python/module_state.h"

namespace tamsu::python {
namespace {

struct PyModel {
  PyObject_HEAD
  const Model *record;  // owned; leaked when released on a foreign thread
  std::thread::id owner;
};

PyModel *as_model(PyObject *self) { return reinterpret_cast<PyModel *>(self); }

// The thread check that opens every method, before any conversion.
bool check_caller(PyObject *self, ModuleState *state) {
  if (!PyObject_TypeCheck(self, state->model_type)) {
    PyErr_SetString(PyExc_TypeError, "descriptor requires a 'Model' object");
    return false;
  }
  if (as_model(self)->owner != std::this_thread::get_id()) {
    PyErr_SetString(state->unsendable_error,
                    "tamsu::python::PyModel is unsendable, but sent to "
                    "another thread");
    return false;
  }
  return true;
}

PyObject *text_to_str(const std::string &text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

PyObject *phoneme_list(const Model &model, const LabelList &uniques) {
  const std::vector<std::string> phonemes = render_phonemes(model, uniques);
  return new_list(phonemes.size(),
                  [&](std::size_t i) { return text_to_str(phonemes[i]); });
}

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
    return text_to_str(table.Find(static_cast<std::int64_t>(id)));
  }
  PyErr_SetString(PyExc_TypeError, "expected str or int");
  return nullptr;
}

// --- Model.__new__ -------------------------------------------------------

const char *const kNewParams[] = {"path", "delim"};
const Signature kNewSignature = {"Model.__new__", kNewParams, 2, 1};

PyObject *model_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    // Bring tuple-and-dict arguments into the fast-call form.
    std::vector<PyObject *> kwvalues;
    PyRef kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!kwnames) return nullptr;
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
    PyObject *bound[kMaxParams];
    if (!bind_arguments(kNewSignature, &PyTuple_GET_ITEM(args, 0),
                        PyTuple_GET_SIZE(args), kwnames.get(), kwvalues.data(),
                        bound)) {
      return nullptr;
    }
    std::string path;
    std::string delim;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    if (bound[1] && !convert_text(bound[1], "delim", delim)) return nullptr;

    auto loaded = load_model(path, delim);
    if (!loaded) {
      set_error_text(PyExc_ValueError, describe(loaded.error()));
      return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PyModel *model = as_model(self);
    model->record = loaded.value().release();
    new (&model->owner) std::thread::id(std::this_thread::get_id());
    return self;
  });
}

void model_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyModel *model = as_model(self);
  if (model->owner == std::this_thread::get_id()) {
    delete model->record;
  } else {
    // The record is bound to its thread: leak it rather than drop it here.
    PyObject *saved_type = nullptr;
    PyObject *saved_value = nullptr;
    PyObject *saved_traceback = nullptr;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    PyErr_SetString(PyExc_RuntimeError,
                    "tamsu::python::PyModel is unsendable, but is being "
                    "dropped on another thread");
    // Not `self`: its reference count is already 0, and the hook's
    // reference would run this dealloc a second time.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject *>(type));
    PyErr_Restore(saved_type, saved_value, saved_traceback);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// --- decoding methods ----------------------------------------------------

// Runs one method body: binding, the thread check, then `body` with the
// bound arguments. The caller's reference keeps `self` alive throughout.
template <class Body>
PyObject *run_method(PyObject *self, const Signature &signature,
                     PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, Body &&body) {
  return guarded([&]() -> PyObject * {
    PyObject *bound[kMaxParams];
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    ModuleState *state = module_state_of(Py_TYPE(self));
    if (!state || !check_caller(self, state)) return nullptr;
    return body(*as_model(self)->record, state, bound);
  });
}

// Converts the optional decoding arguments present in `bound`, in order.
bool convert_options(PyObject *const *bound, const char *const *names,
                     Py_ssize_t count, DecodeOptions &options) {
  for (Py_ssize_t i = 1; i < count; ++i) {
    PyObject *value = bound[i];
    if (!value) continue;
    const std::string_view name = names[i];
    bool ok = true;
    if (name == "nbest") {
      ok = convert_u64(value, names[i], options.nbest);
    } else if (name == "beam") {
      ok = convert_u64(value, names[i], options.beam);
    } else if (name == "threshold") {
      double threshold = 0;
      ok = convert_double(value, names[i], threshold);
      options.threshold = static_cast<float>(threshold);
    } else if (name == "pmass") {
      ok = convert_double(value, names[i], options.pmass);
    } else if (name == "write_fsts") {
      ok = convert_bool(value, names[i], options.write_fsts);
    } else if (name == "accumulate") {
      ok = convert_bool(value, names[i], options.accumulate);
    }
    if (!ok) return false;
  }
  return true;
}

const char *const kWordParams[] = {"word"};
const Signature kPhoneticizeSignature = {"Model.phoneticize", kWordParams, 1,
                                         1};

PyObject *model_phoneticize(PyObject *self, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPhoneticizeSignature, args, nargs, kwnames,
      [](const Model &model, ModuleState *, PyObject *const *bound)
          -> PyObject * {
        std::string word;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        std::vector<PathData> paths =
            phoneticize_word(model, word, DecodeOptions{});
        if (paths.empty()) return PyList_New(0);
        return phoneme_list(model, paths.front().uniques);
      });
}

const char *const kPathsParams[] = {"word",       "nbest",      "beam",
                                    "threshold",  "write_fsts", "accumulate",
                                    "pmass"};
const Signature kPathsSignature = {"Model.phoneticize_paths", kPathsParams, 7,
                                   1};

PyObject *model_phoneticize_paths(PyObject *self, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPathsSignature, args, nargs, kwnames,
      [](const Model &model, ModuleState *state, PyObject *const *bound)
          -> PyObject * {
        std::string word;
        DecodeOptions options;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        if (!convert_options(bound, kPathsParams, 7, options)) return nullptr;
        std::vector<PathData> paths = phoneticize_word(model, word, options);
        return new_list(paths.size(), [&](std::size_t i) {
          return new_path_data(state, std::move(paths[i]));
        });
      });
}

const char *const kSamplingParams[] = {"word", "nbest", "beam", "threshold",
                                       "pmass"};
const Signature kSamplingSignature = {"Model.phoneticize_sampling",
                                      kSamplingParams, 5, 1};

PyObject *model_phoneticize_sampling(PyObject *self, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kSamplingSignature, args, nargs, kwnames,
      [](const Model &model, ModuleState *, PyObject *const *bound)
          -> PyObject * {
        std::string word;
        DecodeOptions options;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        if (!convert_options(bound, kSamplingParams, 5, options)) {
          return nullptr;
        }
        const std::vector<PathData> paths =
            phoneticize_word(model, word, options);
        return new_list(paths.size(), [&](std::size_t i) {
          return phoneme_list(model, paths[i].uniques);
        });
      });
}

// --- lookups ---------------------------------------------------------------

const char *const kKeyParams[] = {"key"};
const Signature kFindIsymSignature = {"Model.find_isym", kKeyParams, 1, 1};
const Signature kFindOsymSignature = {"Model.find_osym", kKeyParams, 1, 1};

PyObject *model_find_isym(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kFindIsymSignature, args, nargs, kwnames,
                    [](const Model &model, ModuleState *,
                       PyObject *const *bound) -> PyObject * {
                      return find_symbol(*model.isyms, bound[0]);
                    });
}

PyObject *model_find_osym(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kFindOsymSignature, args, nargs, kwnames,
                    [](const Model &model, ModuleState *,
                       PyObject *const *bound) -> PyObject * {
                      return find_symbol(*model.osyms, bound[0]);
                    });
}

template <class F>
PyCFunction fastcall(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef model_methods[] = {
    {"phoneticize", fastcall(model_phoneticize), METH_FASTCALL | METH_KEYWORDS,
     "phoneticize($self, word)\n--\n\n"
     "Return the best pronunciation of `word` as a list of phoneme strings.\n"
     "Kept as the backward-compatible interface; an empty list when the word\n"
     "cannot be decoded."},
    {"phoneticize_paths", fastcall(model_phoneticize_paths),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize_paths($self, word, nbest=1, beam=10000, threshold=99.0, "
     "write_fsts=False, accumulate=False, pmass=99.0)\n--\n\n"
     "The full decoding interface: return up to `nbest` distinct\n"
     "pronunciations of `word` as a list of PathData, each with path_weight,\n"
     "path_weights, ilabels, olabels and uniques."},
    {"phoneticize_sampling", fastcall(model_phoneticize_sampling),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize_sampling($self, word, nbest=1, beam=10000, threshold=99.0, "
     "pmass=99.0)\n--\n\n"
     "Like phoneticize_paths, but return each path's phoneme strings\n"
     "(clusters split, vetoed symbols left out) instead of PathData."},
    {"find_isym", fastcall(model_find_isym), METH_FASTCALL | METH_KEYWORDS,
     "find_isym($self, key)\n--\n\n"
     "Look up an input symbol by name (str -> int) or by id (int -> str);\n"
     "None when there is no such symbol."},
    {"find_osym", fastcall(model_find_osym), METH_FASTCALL | METH_KEYWORDS,
     "find_osym($self, key)\n--\n\n"
     "Look up an output symbol by name (str -> int) or by id (int -> str);\n"
     "None when there is no such symbol."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char *>("Model(path, delim=\"\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(model_dealloc)},
    {Py_tp_methods, model_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec model_type_spec = {
    "tamsu._tamsu.Model",
    sizeof(PyModel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    model_slots,
};

}  // namespace tamsu::python

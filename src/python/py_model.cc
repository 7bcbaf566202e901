// Model: a loaded model record bound to the thread that created it, with
// the decoding and lookup methods.
#include <climits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "model/model.h"
#include "nbest/phonemes.h"
#include "nbest/pipeline.h"
#include "python/binder.h"
#include "python/decode_options.h"
#include "python/extension.h"
#include "python/guard.h"
#include "python/module_state.h"
#include "python/symbol_lookup.h"

namespace tamsu::python {
namespace {

struct PyModel {
  PyObject_HEAD
  RecordPtr<Model> record;  // leaked when released on a foreign thread
  std::thread::id owner;
  bool reference_route;    // always take OpenFst's route (_set_route)
  DecodeReport last_report;  // of the latest decoding call
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

PyObject *phoneme_list(const Model &model, const LabelList &uniques) {
  const std::vector<std::string> phonemes = render_phonemes(model, uniques);
  return new_list(phonemes.size(),
                  [&](std::size_t i) { return str_from_utf8(phonemes[i]); });
}

// --- Model.__new__ -------------------------------------------------------

const char *const kNewParams[] = {"path", "delim"};
constexpr Signature kNewSignature =
    make_signature("Model.__new__", kNewParams, 1);

PyObject *model_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    if (!bind_new_arguments(kNewSignature, args, kwargs, bound)) {
      return nullptr;
    }
    std::string path;
    std::string delim;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    if (bound[1] && !convert_text(bound[1], "delim", delim)) return nullptr;

    // Model's documented errors: every load failure is a ValueError.
    auto loaded = load_model(path, delim);
    if (!loaded) {
      set_error_text(PyExc_ValueError, describe(loaded.error()));
      return nullptr;
    }
    PyModel *model = new_record_object(type, &PyModel::record,
                                       std::move(loaded).value());
    if (!model) return nullptr;
    new (&model->owner) std::thread::id(std::this_thread::get_id());
    model->reference_route = false;
    new (&model->last_report) DecodeReport();
    return reinterpret_cast<PyObject *>(model);
  });
}

void model_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  const bool foreign = as_model(self)->owner != std::this_thread::get_id();
  if (foreign) {
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
  as_model(self)->last_report.~DecodeReport();
  free_record_object(self, &PyModel::record, foreign);
}

// --- decoding methods ----------------------------------------------------

// Runs one method body: binding, the thread check, then `body` with the
// bound arguments. The caller's reference keeps `self` alive throughout.
template <class Body>
PyObject *run_method(PyObject *self, const Signature &signature,
                     PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, Body &&body) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    ModuleState *state = module_state_of(Py_TYPE(self));
    if (!state || !check_caller(self, state)) return nullptr;
    return body(*as_model(self), state, bound);
  });
}

// Decodes `word` on the model's route, letting Ctrl-C (or any signal whose
// handler raises) interrupt a long call. Returns false with the handler's
// exception set when that happened.
bool decode(PyModel &self, const std::string &word, DecodeOptions &options,
            std::vector<PathData> &paths) {
  bool raised = false;
  options.interrupted = [&raised] {
    raised = raised || PyErr_CheckSignals() != 0;
    return raised;
  };
  options.reference_route = self.reference_route;
  paths = phoneticize_word(*self.record, word, options, &self.last_report);
  return !raised;
}

const char *const kWordParams[] = {"word"};
constexpr Signature kPhoneticizeSignature =
    make_signature("Model.phoneticize", kWordParams, 1);

PyObject *model_phoneticize(PyObject *self, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPhoneticizeSignature, args, nargs, kwnames,
      [](PyModel &self, ModuleState *, const BoundArguments &bound)
          -> PyObject * {
        std::string word;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        DecodeOptions options;
        std::vector<PathData> paths;
        if (!decode(self, word, options, paths)) return nullptr;
        if (paths.empty()) return PyList_New(0);
        return phoneme_list(*self.record, paths.front().uniques);
      });
}

const char *const kPathsParams[] = {"word",       "nbest",      "beam",
                                    "threshold",  "write_fsts", "accumulate",
                                    "pmass"};
constexpr Signature kPathsSignature =
    make_signature("Model.phoneticize_paths", kPathsParams, 1);

PyObject *model_phoneticize_paths(PyObject *self, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPathsSignature, args, nargs, kwnames,
      [](PyModel &self, ModuleState *state, const BoundArguments &bound)
          -> PyObject * {
        std::string word;
        DecodeOptions options;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        if (!convert_decode_options(kPathsSignature, bound,
                                    OffValue::kAtLeast99, options)) {
          return nullptr;
        }
        std::vector<PathData> paths;
        if (!decode(self, word, options, paths)) return nullptr;
        return new_list(paths.size(), [&](std::size_t i) {
          return new_path_data(state, std::move(paths[i]));
        });
      });
}

const char *const kSamplingParams[] = {"word", "nbest", "beam", "threshold",
                                       "pmass"};
constexpr Signature kSamplingSignature =
    make_signature("Model.phoneticize_sampling", kSamplingParams, 1);

PyObject *model_phoneticize_sampling(PyObject *self, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kSamplingSignature, args, nargs, kwnames,
      [](PyModel &self, ModuleState *, const BoundArguments &bound)
          -> PyObject * {
        std::string word;
        DecodeOptions options;
        if (!convert_text(bound[0], "word", word)) return nullptr;
        if (!convert_decode_options(kSamplingSignature, bound,
                                    OffValue::kAtLeast99, options)) {
          return nullptr;
        }
        std::vector<PathData> paths;
        if (!decode(self, word, options, paths)) return nullptr;
        return new_list(paths.size(), [&](std::size_t i) {
          return phoneme_list(*self.record, paths[i].uniques);
        });
      });
}

// --- lookups ---------------------------------------------------------------

const char *const kKeyParams[] = {"key"};
constexpr Signature kFindIsymSignature =
    make_signature("Model.find_isym", kKeyParams, 1);
constexpr Signature kFindOsymSignature =
    make_signature("Model.find_osym", kKeyParams, 1);

PyObject *model_find_isym(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kFindIsymSignature, args, nargs, kwnames,
                    [](PyModel &self, ModuleState *,
                       const BoundArguments &bound) -> PyObject * {
                      return find_symbol(*self.record->isyms, bound[0]);
                    });
}

PyObject *model_find_osym(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kFindOsymSignature, args, nargs, kwnames,
                    [](PyModel &self, ModuleState *,
                       const BoundArguments &bound) -> PyObject * {
                      return find_symbol(*self.record->osyms, bound[0]);
                    });
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

const char *route_name(DecodeRoute route) {
  switch (route) {
    case DecodeRoute::kNone: return "none";
    case DecodeRoute::kLatticeSearch: return "lattice";
    case DecodeRoute::kOpenFst: return "openfst";
  }
  return "none";
}

// The Model argument of the private route functions, thread-checked.
PyModel *route_model(PyObject *module, PyObject *object) {
  ModuleState *state = static_cast<ModuleState *>(PyModule_GetState(module));
  if (!state || !check_caller(object, state)) return nullptr;
  return as_model(object);
}

// Runs `report(model)` for a private function whose one argument is a
// Model, thread-checked.
template <class Report>
PyObject *on_route_model(PyObject *module, PyObject *const *args,
                         Py_ssize_t nargs, const char *usage, Report report) {
  return guarded([&]() -> PyObject * {
    if (nargs != 1) {
      PyErr_SetString(PyExc_TypeError, usage);
      return nullptr;
    }
    PyModel *model = route_model(module, args[0]);
    if (!model) return nullptr;
    return report(*model);
  });
}

}  // namespace

PyObject *module_set_route(PyObject *module, PyObject *const *args,
                           Py_ssize_t nargs) {
  return guarded([&]() -> PyObject * {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "_set_route(model, route)");
      return nullptr;
    }
    PyModel *model = route_model(module, args[0]);
    if (!model) return nullptr;
    std::string route;
    if (!convert_text(args[1], "route", route)) return nullptr;
    if (route != "auto" && route != "openfst") {
      PyErr_SetString(PyExc_ValueError, "route must be 'auto' or 'openfst'");
      return nullptr;
    }
    model->reference_route = route == "openfst";
    Py_RETURN_NONE;
  });
}

PyObject *module_route(PyObject *module, PyObject *const *args,
                       Py_ssize_t nargs) {
  return on_route_model(module, args, nargs, "_route(model)",
                        [](const PyModel &model) {
    const SearchPlan &plan = model.record->search_plan;
    const std::string planned =
        plan.usable() ? "lattice"
                      : std::string("openfst: ") + describe(plan.refusal);
    return Py_BuildValue("(ss)", planned.c_str(),
                         route_name(model.last_report.route));
  });
}

PyObject *module_last_failure(PyObject *module, PyObject *const *args,
                              Py_ssize_t nargs) {
  return on_route_model(module, args, nargs, "_last_failure(model)",
                        [](const PyModel &model) {
    return PyUnicode_FromString(describe(model.last_report.failure));
  });
}

PyObject *module_last_work(PyObject *module, PyObject *const *args,
                           Py_ssize_t nargs) {
  return on_route_model(module, args, nargs, "_last_work(model)",
                        [](const PyModel &model) {
    const DecodeReport &report = model.last_report;
    return Py_BuildValue("(KK)",
                         static_cast<unsigned long long>(report.lattice_size),
                         static_cast<unsigned long long>(report.search_pairs));
  });
}

PyType_Spec model_type_spec = {
    "tamsu._tamsu.Model",
    sizeof(PyModel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    model_slots,
};

}  // namespace tamsu::python

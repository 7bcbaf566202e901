// The extension module tamsu._batch: BatchDecoder, one loaded model shared
// by every thread, decoding lists of words on native threads with the
// interpreter lock released.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/cerr_router.h"
#include "model/model.h"
#include "nbest/batch.h"
#include "nbest/constrained.h"
#include "python/binder.h"
#include "python/guard.h"
#include "python/symbol_lookup.h"
#include "python/unlocked.h"

namespace tamsu::python {
namespace {

struct PyBatchDecoder {
  PyObject_HEAD
  // Set once in __new__, then only read: any thread may decode with it.
  std::shared_ptr<const Model> model;
  PyObject *phonemes;  // tuple: the output symbol texts by label
};

PyBatchDecoder *as_decoder(PyObject *self) {
  return reinterpret_cast<PyBatchDecoder *>(self);
}

PyObject *decoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    static const char *names[] = {"path", "delim", nullptr};
    const char *path = nullptr;
    const char *delim = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|s:BatchDecoder",
                                     const_cast<char **>(names), &path,
                                     &delim)) {
      return nullptr;
    }
    const std::string path_text(path);
    const std::string delim_text(delim);
    std::optional<decltype(load_model(path_text, delim_text))> loaded;
    {
      const Unlocked unlocked;  // loading reads no Python object
      loaded.emplace(load_model(path_text, delim_text));
    }
    if (!*loaded) {
      set_error_text(PyExc_ValueError, describe(loaded->error()));
      return nullptr;
    }
    std::shared_ptr<const Model> model = std::move(*loaded).value();
    const fst::SymbolTable &osyms = *model->osyms;
    PyRef phonemes = PyRef::steal(
        PyTuple_New(static_cast<Py_ssize_t>(osyms.NumSymbols())));
    if (!phonemes) return nullptr;
    for (std::size_t label = 0; label < osyms.NumSymbols(); ++label) {
      PyObject *text = text_to_str(osyms.Find(static_cast<std::int64_t>(label)));
      if (!text) return nullptr;
      PyTuple_SET_ITEM(phonemes.get(), static_cast<Py_ssize_t>(label), text);
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PyBatchDecoder *decoder = as_decoder(self);
    new (&decoder->model) std::shared_ptr<const Model>(std::move(model));
    decoder->phonemes = phonemes.release();
    return self;
  });
}

void decoder_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyBatchDecoder *decoder = as_decoder(self);
  decoder->model.~shared_ptr();
  Py_XDECREF(decoder->phonemes);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- decoding ----------------------------------------------------------------

struct BatchArguments {
  std::vector<std::string> words;
  DecodeOptions options;
  std::size_t threads = 1;
};

// Converts the arguments after `words` present in `bound`, by name.
bool convert_batch(PyObject *const *bound, const char *const *names,
                   Py_ssize_t count, BatchArguments &out) {
  if (!convert_texts(bound[0], "words", out.words)) return false;
  DecodeOptions &options = out.options;
  for (Py_ssize_t i = 1; i < count; ++i) {
    PyObject *value = bound[i];
    if (!value || value == Py_None) continue;
    const std::string_view name = names[i];
    bool ok = true;
    double number = 0;
    if (name == "nbest") {
      ok = convert_u64(value, names[i], options.nbest);
    } else if (name == "beam") {
      ok = convert_u64(value, names[i], options.beam);
    } else if (name == "threshold") {
      ok = convert_double(value, names[i], number);
      options.threshold = static_cast<float>(number);
    } else if (name == "pmass") {
      ok = convert_double(value, names[i], number);
      options.pmass = number;
    } else if (name == "accumulate") {
      ok = convert_bool(value, names[i], options.accumulate);
    } else if (name == "threads") {
      ok = convert_threads(value, out.threads);
    } else if (name == "route") {
      std::string route;
      ok = convert_text(value, names[i], route);
      if (ok && route != "auto" && route != "openfst") {
        PyErr_SetString(PyExc_ValueError,
                        "route must be 'auto' or 'openfst'");
        ok = false;
      }
      options.reference_route = route == "openfst";
    }
    if (!ok) return false;
  }
  return true;
}

// Decodes the batch with the lock released (see run_unlocked).
std::optional<std::vector<WordResult>> run_batch(const Model &model,
                                                 const BatchArguments &args) {
  return run_unlocked(args.threads, [&](const ParallelRun &run) {
    return phoneticize_words(model, args.words, args.options, run);
  });
}

template <class Body>
PyObject *run_decode(PyObject *self, const Signature &signature,
                     PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, Body &&make_path) {
  return guarded([&]() -> PyObject * {
    PyObject *bound[kMaxParams];
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    BatchArguments arguments;
    if (!convert_batch(bound, signature.names, signature.num_params,
                       arguments)) {
      return nullptr;
    }
    // A reference of our own: the object may be dropped meanwhile.
    const std::shared_ptr<const Model> model = as_decoder(self)->model;
    auto results = run_batch(*model, arguments);
    if (!results) return nullptr;
    return new_list(results->size(), [&](std::size_t i) -> PyObject * {
      WordResult &result = (*results)[i];
      PyRef paths = PyRef::steal(PyList_New(0));
      if (!paths) return nullptr;
      for (PathData &path : result.paths) {
        PyRef item = PyRef::steal(make_path(path));
        if (!item) {
          if (PyErr_Occurred()) return nullptr;
          continue;  // left out
        }
        if (PyList_Append(paths.get(), item.get()) < 0) return nullptr;
      }
      PyRef failure =
          PyRef::steal(PyUnicode_FromString(describe(result.failure)));
      if (!failure) return nullptr;
      return PyTuple_Pack(2, paths.get(), failure.get());
    });
  });
}

PyObject *label_list(const LabelList &labels) {
  return new_list(labels.size(),
                  [&](std::size_t i) { return PyLong_FromLong(labels[i]); });
}

const char *const kPathsParams[] = {"words", "nbest",      "beam",
                                    "threshold", "pmass", "accumulate",
                                    "threads", "route"};
const Signature kPathsSignature = {"BatchDecoder.decode_paths", kPathsParams,
                                   8, 1};

PyObject *decoder_decode_paths(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  return run_decode(self, kPathsSignature, args, nargs, kwnames,
                    [](const PathData &path) -> PyObject * {
    PyRef weights = PyRef::steal(new_list(path.path_weights.size(),
        [&](std::size_t i) { return PyFloat_FromDouble(path.path_weights[i]); }));
    PyRef ilabels = PyRef::steal(label_list(path.ilabels));
    PyRef olabels = PyRef::steal(label_list(path.olabels));
    PyRef uniques = PyRef::steal(label_list(path.uniques));
    if (!weights || !ilabels || !olabels || !uniques) return nullptr;
    return Py_BuildValue("(dOOOO)", static_cast<double>(path.path_weight),
                         weights.get(), ilabels.get(), olabels.get(),
                         uniques.get());
  });
}

const Signature kDecodeSignature = {"BatchDecoder.decode", kPathsParams, 7,
                                    1};

PyObject *decoder_decode(PyObject *self, PyObject *const *args,
                         Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *phonemes = as_decoder(self)->phonemes;
  const Model &model = *as_decoder(self)->model;
  return run_decode(self, kDecodeSignature, args, nargs, kwnames,
                    [&](const PathData &path) -> PyObject * {
    if (path.uniques.empty()) return nullptr;  // no pronunciation
    PyRef texts = PyRef::steal(
        PyTuple_New(static_cast<Py_ssize_t>(path.uniques.size())));
    if (!texts) return nullptr;
    for (std::size_t i = 0; i < path.uniques.size(); ++i) {
      const Label label = path.uniques[i];
      PyObject *text = nullptr;
      if (static_cast<Py_ssize_t>(label) < PyTuple_GET_SIZE(phonemes)) {
        text = PyTuple_GET_ITEM(phonemes, label);
        Py_INCREF(text);
      } else {
        text = text_to_str(model.osyms->Find(label));
        if (!text) return nullptr;
      }
      PyTuple_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
    }
    PyRef weight = PyRef::steal(
        PyFloat_FromDouble(static_cast<double>(path.path_weight)));
    if (!weight) return nullptr;
    return PyTuple_Pack(2, texts.get(), weight.get());
  });
}

const char *const kWeightsParams[] = {"words", "candidates", "threads"};
const Signature kWeightsSignature = {"BatchDecoder.path_weights",
                                     kWeightsParams, 3, 2};

PyObject *decoder_path_weights(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    ScoringArguments a;
    if (!bind_scoring(kWeightsSignature, args, nargs, kwnames, a)) {
      return nullptr;
    }
    const std::shared_ptr<const Model> model = as_decoder(self)->model;
    auto weights = run_unlocked(a.threads, [&](const ParallelRun &run) {
      return constrained_weights_batch(*model, a.words, a.candidates, run);
    });
    if (!weights) return nullptr;
    return new_list(weights->size(), [&](std::size_t i) {
      const auto &found = (*weights)[i];
      return new_list(found.size(), [&](std::size_t k) -> PyObject * {
        if (!found[k]) Py_RETURN_NONE;
        return PyFloat_FromDouble(static_cast<double>(*found[k]));
      });
    });
  });
}

PyObject *decoder_find_isym(PyObject *self, PyObject *key) {
  return guarded([&] { return find_symbol(*as_decoder(self)->model->isyms, key); });
}

PyObject *decoder_find_osym(PyObject *self, PyObject *key) {
  return guarded([&] { return find_symbol(*as_decoder(self)->model->osyms, key); });
}

PyMethodDef decoder_methods[] = {
    {"decode", fastcall(decoder_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, words, nbest=1, beam=10000, threshold=None, pmass=None, "
     "accumulate=False, threads=1)\n--\n\n"
     "Decode every word of `words` on `threads` threads; one (paths,\n"
     "failure) pair per word, in order. paths: (phonemes, weight) pairs,\n"
     "best first, paths without phonemes left out."},
    {"decode_paths", fastcall(decoder_decode_paths),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_paths($self, words, nbest=1, beam=10000, threshold=None, "
     "pmass=None, accumulate=False, threads=1, route='auto')\n--\n\n"
     "Like decode, each path as (path_weight, path_weights, ilabels,\n"
     "olabels, uniques), as Model.phoneticize_paths gives them."},
    {"path_weights", fastcall(decoder_path_weights),
     METH_FASTCALL | METH_KEYWORDS,
     "path_weights($self, words, candidates, threads=1)\n--\n\n"
     "For each word and each of its candidate pronunciations (sequences\n"
     "of phoneme str, one list per word), the weight (-log) of the best\n"
     "path of the word that spells it, or None when none does; on\n"
     "`threads` native threads, Ctrl-C polled."},
    {"find_isym", decoder_find_isym, METH_O,
     "find_isym($self, key, /)\n--\n\nAs Model.find_isym."},
    {"find_osym", decoder_find_osym, METH_O,
     "find_osym($self, key, /)\n--\n\nAs Model.find_osym."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char *>(
        "BatchDecoder(path, delim=\"\")\n--\n\n"
        "A model loaded once and shared by every thread.")},
    {Py_tp_new, reinterpret_cast<void *>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {0, nullptr},
};

PyType_Spec decoder_type_spec = {
    "tamsu._batch.BatchDecoder",
    sizeof(PyBatchDecoder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    decoder_slots,
};

int module_exec(PyObject *module) {
  configure_openfst();
  PyRef type = PyRef::steal(
      PyType_FromModuleAndSpec(module, &decoder_type_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "BatchDecoder", type.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_batch", "", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__batch(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

// The extension module tamsu._batch: BatchDecoder, one loaded model shared
// by every thread, decoding lists of words on native threads with the
// interpreter lock released.
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/cerr_router.h"
#include "model/model.h"
#include "nbest/batch.h"
#include "nbest/constrained.h"
#include "python/binder.h"
#include "python/decode_options.h"
#include "python/extension.h"
#include "python/guard.h"
#include "python/symbol_lookup.h"
#include "python/unlocked.h"

namespace tamsu::python {
namespace {

struct BatchState {
  PyTypeObject *decoder_type;
  auto references() { return std::array{object_slot(decoder_type)}; }
};

struct PyBatchDecoder {
  PyObject_HEAD
  // Set once in __new__, then only read: any thread may decode with it.
  // A method's caller holds a reference to the object, so the record
  // outlives every call, also those that release the interpreter lock.
  RecordPtr<Model> record;
  PyObject *phonemes;  // tuple: the output symbol texts by label
};

PyBatchDecoder *as_decoder(PyObject *self) {
  return reinterpret_cast<PyBatchDecoder *>(self);
}

const char *const kNewParams[] = {"path", "delim"};
constexpr Signature kNewSignature =
    make_signature("BatchDecoder.__new__", kNewParams, 1);

PyObject *decoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    PathArgument path;
    std::string delim;
    if (!bind_new_arguments(kNewSignature, args, kwargs, bound) ||
        !convert_path(bound[0], "path", path) ||
        (bound[1] && !convert_text(bound[1], "delim", delim))) {
      return nullptr;
    }
    std::optional<decltype(load_model(path.bytes, delim))> loaded;
    {
      const Unlocked unlocked;  // loading reads no Python object
      loaded.emplace(load_model(path.bytes, delim));
    }
    if (!*loaded) {
      const ModelLoadError &error = loaded->error();
      if (error.os_error != 0) {
        set_os_error(error.os_error, path.given.get());
      } else {
        set_error_text(PyExc_ValueError, describe(error));
      }
      return nullptr;
    }
    RecordPtr<Model> model = std::move(*loaded).value();
    const fst::SymbolTable &osyms = *model->osyms;
    PyRef phonemes = PyRef::steal(
        PyTuple_New(static_cast<Py_ssize_t>(osyms.NumSymbols())));
    if (!phonemes) return nullptr;
    for (std::size_t label = 0; label < osyms.NumSymbols(); ++label) {
      PyObject *text =
          str_from_utf8(osyms.Find(static_cast<std::int64_t>(label)));
      if (!text) return nullptr;
      PyTuple_SET_ITEM(phonemes.get(), static_cast<Py_ssize_t>(label), text);
    }
    PyBatchDecoder *decoder =
        new_record_object(type, &PyBatchDecoder::record, std::move(model));
    if (!decoder) return nullptr;
    decoder->phonemes = phonemes.release();
    return reinterpret_cast<PyObject *>(decoder);
  });
}

void decoder_dealloc(PyObject *self) {
  Py_XDECREF(as_decoder(self)->phonemes);
  free_record_object(self, &PyBatchDecoder::record);
}

// --- decoding ----------------------------------------------------------------

struct BatchArguments {
  std::vector<std::string> words;
  DecodeOptions options;
  std::size_t threads = 1;
};

// The words, the shared decoding options, then threads, route and search,
// each None meaning its default.
bool convert_batch(const Signature &signature, const BoundArguments &bound,
                   BatchArguments &out) {
  if (!convert_words(bound[0], "words", out.words) ||
      !convert_decode_options(signature, bound, OffValue::kNone,
                              out.options)) {
    return false;
  }
  for (Py_ssize_t i = 1; i < signature.num_params; ++i) {
    PyObject *value = bound[static_cast<std::size_t>(i)];
    if (!value || value == Py_None) continue;
    const std::string_view name = signature.names[i];
    if (name == "threads" && !convert_threads(value, out.threads)) {
      return false;
    }
    if (name == "route") {
      std::string route;
      if (!convert_text(value, signature.names[i], route)) return false;
      if (route != "auto" && route != "openfst") {
        PyErr_SetString(PyExc_ValueError,
                        "route must be 'auto' or 'openfst'");
        return false;
      }
      out.options.reference_route = route == "openfst";
    }
    if (name == "search") {
      std::string search;
      if (!convert_text(value, signature.names[i], search)) return false;
      if (search != "paths" && search != "pronunciations") {
        PyErr_SetString(PyExc_ValueError,
                        "search must be 'paths' or 'pronunciations'");
        return false;
      }
      out.options.by_pronunciation = search == "pronunciations";
    }
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
    BoundArguments bound;
    BatchArguments arguments;
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound) ||
        !convert_batch(signature, bound, arguments)) {
      return nullptr;
    }
    auto results = run_batch(*as_decoder(self)->record, arguments);
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
constexpr Signature kPathsSignature =
    make_signature("BatchDecoder.decode_paths", kPathsParams, 1);

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

const char *const kDecodeParams[] = {"words",     "nbest", "beam",
                                     "threshold", "pmass", "accumulate",
                                     "threads",   "search"};
constexpr Signature kDecodeSignature =
    make_signature("BatchDecoder.decode", kDecodeParams, 1);

PyObject *decoder_decode(PyObject *self, PyObject *const *args,
                         Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *phonemes = as_decoder(self)->phonemes;
  const Model &model = *as_decoder(self)->record;
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
        text = str_from_utf8(model.osyms->Find(label));
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
constexpr Signature kWeightsSignature =
    make_signature("BatchDecoder.path_weights", kWeightsParams, 2);

PyObject *decoder_path_weights(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    ScoringArguments a;
    if (!bind_scoring(kWeightsSignature, args, nargs, kwnames, a)) {
      return nullptr;
    }
    const Model &model = *as_decoder(self)->record;
    auto weights = run_unlocked(a.threads, [&](const ParallelRun &run) {
      return constrained_weights_batch(model, a.words, a.candidates, run);
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
  return guarded(
      [&] { return find_symbol(*as_decoder(self)->record->isyms, key); });
}

PyObject *decoder_find_osym(PyObject *self, PyObject *key) {
  return guarded(
      [&] { return find_symbol(*as_decoder(self)->record->osyms, key); });
}

PyMethodDef decoder_methods[] = {
    {"decode", fastcall(decoder_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, words, nbest=1, beam=10000, threshold=None, pmass=None, "
     "accumulate=False, threads=1, search='paths')\n--\n\n"
     "Decode every word of `words` on `threads` threads; one (paths,\n"
     "failure) pair per word, in order. paths: (phonemes, weight) pairs,\n"
     "best first, paths without phonemes left out. None leaves an option\n"
     "at its default; threshold and pmass are off unless given, and any\n"
     "number given is used as it is (Model reads 99 and above as off).\n"
     "A word that is not text (a lone surrogate) gets no paths, as a word\n"
     "without known graphemes. search='pronunciations' searches for\n"
     "distinct pronunciations directly: the same list for less work, but\n"
     "pronunciations of equal weight in no promised order ('paths', the\n"
     "default, keeps Model's order; with accumulate both are 'paths')."},
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
        "A model loaded once and shared by every thread. path: str, bytes\n"
        "or os.PathLike. OSError (with errno and filename) when the file\n"
        "cannot be opened or read; ValueError with the reader's message\n"
        "when it is not a model, or not a regular file.")},
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
  return add_types(module, {{&decoder_type_spec, "BatchDecoder",
                             &state_of<BatchState>(module)->decoder_type}});
}

PyModuleDef module_def = module_definition<BatchState, module_exec>(
    "_batch",
    "n-gram pronunciation models shared by native threads: BatchDecoder\n"
    "decodes lists of words without the interpreter lock.",
    nullptr);

}  // namespace
}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__batch(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

// The extension module tamsu._neural: the NeuralModel class over the core's
// neural unit (src/neural). A loaded model is immutable, so one object may
// serve any number of threads; decoding runs without the interpreter lock.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "neural/neural_model.h"
#include "neural/search.h"
#include "python/binder.h"
#include "python/guard.h"
#include "python/py_ref.h"
#include "python/unlocked.h"

namespace tamsu::python {
namespace {

struct ModuleState {
  PyTypeObject *neural_model_type;
};

struct PyNeuralModel {
  PyObject_HEAD
  const NeuralModel *record;
};

const NeuralModel &record_of(PyObject *self) {
  return *reinterpret_cast<PyNeuralModel *>(self)->record;
}

// Runs `work` without the interpreter lock.
template <class Work>
auto unlocked(Work &&work) {
  const Unlocked released;
  return work();
}

PyObject *neural_model_new(PyTypeObject *type, PyObject *args,
                           PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    static const char *keywords[] = {"path", nullptr};
    PyObject *path_bytes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:NeuralModel",
                                     const_cast<char **>(keywords),
                                     PyUnicode_FSConverter, &path_bytes)) {
      return nullptr;
    }
    PyRef owner = PyRef::steal(path_bytes);
    const std::string path(PyBytes_AS_STRING(path_bytes),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes)));
    auto loaded = unlocked([&] { return load_neural_model(path); });
    if (!loaded) {
      set_error_text(PyExc_ValueError, "failed to read neural model " + path +
                                           ": " + describe(loaded.error()));
      return nullptr;
    }
    auto record = std::make_unique<NeuralModel>(std::move(loaded).value());
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<PyNeuralModel *>(self)->record = record.release();
    return self;
  });
}

void neural_model_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  delete reinterpret_cast<PyNeuralModel *>(self)->record;
  type->tp_free(self);
  Py_DECREF(type);
}

// Binds the arguments, converts `word` (bound[0]) into the model's
// grapheme ids, then runs `body`.
template <class Body>
PyObject *run_method(PyObject *self, const Signature &signature,
                     PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, Body &&body) {
  return guarded([&]() -> PyObject * {
    PyObject *bound[kMaxParams];
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string word;
    if (!convert_text(bound[0], "word", word)) return nullptr;
    return body(record_of(self), word_graphemes(record_of(self), word), bound);
  });
}

PyObject *new_str(const std::string &text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

// nbest and beam: small positive counts (a beam's cost grows with it).
constexpr std::uint64_t kMaxBeam = 1000;

// nbest (bound[0]) and beam (bound[1]), either absent, into `options`.
bool convert_beam(PyObject *const *bound, BeamOptions &options) {
  std::uint64_t nbest = 1, beam = 5;
  if ((bound[0] && !convert_u64(bound[0], "nbest", nbest)) ||
      (bound[1] && !convert_u64(bound[1], "beam", beam))) {
    return false;
  }
  if (nbest < 1 || nbest > kMaxBeam || beam < 1 || beam > kMaxBeam) {
    PyErr_Format(PyExc_ValueError, "nbest and beam must be between 1 and %llu",
                 static_cast<unsigned long long>(kMaxBeam));
    return false;
  }
  options = {beam, nbest};
  return true;
}

// Paths as a list of (phonemes, log_probability) tuples.
PyObject *paths_list(const NeuralModel &model,
                     const std::vector<NeuralPath> &paths) {
  return new_list(paths.size(), [&](std::size_t i) -> PyObject * {
    PyRef phonemes = PyRef::steal(
        new_list(paths[i].phonemes.size(), [&](std::size_t k) {
          return new_str(model.phonemes[paths[i].phonemes[k]]);
        }));
    if (!phonemes) return nullptr;
    return Py_BuildValue("(Od)", phonemes.get(), paths[i].log_probability);
  });
}

const char *const kPhoneticizeParams[] = {"word", "nbest", "beam"};
const Signature kPhoneticizeSignature = {"NeuralModel.phoneticize",
                                         kPhoneticizeParams, 3, 1};

PyObject *neural_model_phoneticize(PyObject *self, PyObject *const *args,
                                   Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPhoneticizeSignature, args, nargs, kwnames,
      [](const NeuralModel &model, const WordGraphemes &word,
         PyObject *const *bound) -> PyObject * {
        BeamOptions options;
        if (!convert_beam(bound + 1, options)) return nullptr;
        return paths_list(model, unlocked([&] {
                            return beam_search(model, word.ids, options);
                          }));
      });
}

// The grapheme ids of words.
std::vector<LabelList> word_ids(const NeuralModel &model,
                                const std::vector<std::string> &words) {
  std::vector<LabelList> ids;
  for (const std::string &word : words) {
    ids.push_back(word_graphemes(model, word).ids);
  }
  return ids;
}

const char *const kPhoneticizeBatchParams[] = {"words", "nbest", "beam",
                                               "threads"};
const Signature kPhoneticizeBatchSignature = {
    "NeuralModel.phoneticize_batch", kPhoneticizeBatchParams, 4, 1};

PyObject *neural_model_phoneticize_batch(PyObject *self, PyObject *const *args,
                                         Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    PyObject *bound[kMaxParams];
    const NeuralModel &model = record_of(self);
    std::vector<std::string> texts;
    BeamOptions options;
    std::size_t threads = 1;
    if (!bind_arguments(kPhoneticizeBatchSignature, args, nargs, kwnames,
                        args + nargs, bound) ||
        !convert_texts(bound[0], "words", texts) ||
        !convert_beam(bound + 1, options) ||
        (bound[3] && !convert_threads(bound[3], threads))) {
      return nullptr;
    }
    const std::vector<LabelList> words = word_ids(model, texts);
    auto found = run_unlocked(threads, [&](const ParallelRun &run) {
      return beam_search_parallel(model, words, options, run);
    });
    if (!found) return nullptr;
    return new_list(found->size(), [&](std::size_t i) {
      return paths_list(model, (*found)[i]);
    });
  });
}

PyObject *scores_list(const std::vector<double> &scores) {
  return new_list(scores.size(), [&](std::size_t i) {
    return PyFloat_FromDouble(scores[i]);
  });
}

const char *const kScoreParams[] = {"word", "candidates"};
const Signature kScoreSignature = {"NeuralModel.score", kScoreParams, 2, 2};

PyObject *neural_model_score(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kScoreSignature, args, nargs, kwnames,
      [](const NeuralModel &model, const WordGraphemes &word,
         PyObject *const *bound) -> PyObject * {
        Candidates candidates;
        if (!convert_text_lists(bound[1], "candidates", candidates)) {
          return nullptr;
        }
        return scores_list(unlocked(
            [&] { return score_candidates(model, word.ids, candidates); }));
      });
}

const char *const kScoreBatchParams[] = {"words", "candidates", "threads"};
const Signature kScoreBatchSignature = {"NeuralModel.score_batch",
                                        kScoreBatchParams, 3, 2};

PyObject *neural_model_score_batch(PyObject *self, PyObject *const *args,
                                   Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    ScoringArguments a;
    if (!bind_scoring(kScoreBatchSignature, args, nargs, kwnames, a)) {
      return nullptr;
    }
    const NeuralModel &model = record_of(self);
    const std::vector<LabelList> words = word_ids(model, a.words);
    auto scores = run_unlocked(a.threads, [&](const ParallelRun &run) {
      return score_candidates_parallel(model, words, a.candidates, run);
    });
    if (!scores) return nullptr;
    return new_list(scores->size(),
                    [&](std::size_t i) { return scores_list((*scores)[i]); });
  });
}

const char *const kWordParams[] = {"word"};
const Signature kUnknownSignature = {"NeuralModel.unknown_graphemes",
                                     kWordParams, 1, 1};

PyObject *neural_model_unknown_graphemes(PyObject *self, PyObject *const *args,
                                         Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kUnknownSignature, args, nargs, kwnames,
                    [](const NeuralModel &, const WordGraphemes &word,
                       PyObject *const *) -> PyObject * {
                      return new_list(word.unknown.size(), [&](std::size_t i) {
                        return new_str(word.unknown[i]);
                      });
                    });
}

// The symbols of a table after its `specials`, as a tuple of str.
PyObject *symbols_tuple(const std::vector<std::string> &table,
                        std::size_t specials) {
  PyRef list = PyRef::steal(new_list(
      table.size() - specials,
      [&](std::size_t i) { return new_str(table[specials + i]); }));
  return list ? PyList_AsTuple(list.get()) : nullptr;
}

PyObject *neural_model_get_graphemes(PyObject *self, void *) {
  return guarded([&] { return symbols_tuple(record_of(self).graphemes, 1); });
}

PyObject *neural_model_get_phonemes(PyObject *self, void *) {
  return guarded(
      [&] { return symbols_tuple(record_of(self).phonemes, kFirstPhoneme); });
}

PyObject *neural_model_get_grapheme_form(PyObject *self, void *) {
  switch (record_of(self).form) {
    case GraphemeForm::kNfc: return PyUnicode_FromString("nfc");
    case GraphemeForm::kNfd: return PyUnicode_FromString("nfd");
    case GraphemeForm::kAsGiven: break;
  }
  Py_RETURN_NONE;
}

PyObject *neural_model_get_reversed(PyObject *self, void *) {
  return PyBool_FromLong(record_of(self).direction == Direction::kRightToLeft);
}

PyObject *neural_model_get_hyper_parameters(PyObject *self, void *) {
  const NeuralHyperParameters &h = record_of(self).hyper;
  return Py_BuildValue("{s:s,s:I,s:I,s:I,s:I,s:I}", "architecture",
                       "transformer", "d_model", h.d_model, "heads", h.heads,
                       "d_ff", h.d_ff, "encoder_layers", h.encoder_layers,
                       "decoder_layers", h.decoder_layers);
}

PyMethodDef neural_model_methods[] = {
    {"phoneticize", fastcall(neural_model_phoneticize),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize($self, word, nbest=1, beam=5)\n--\n\n"
     "The nbest best pronunciations of word by beam search, best first, as\n"
     "(phonemes, log_probability) tuples. Characters the model does not\n"
     "know are left out (unknown_graphemes lists them); an empty word\n"
     "gives []."},
    {"score", fastcall(neural_model_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, word, candidates)\n--\n\n"
     "The model's log-probability of each candidate pronunciation (a\n"
     "sequence of phoneme str) of word; -inf for one with a phoneme the\n"
     "model does not know."},
    {"phoneticize_batch", fastcall(neural_model_phoneticize_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize_batch($self, words, nbest=1, beam=5, threads=1)\n--\n\n"
     "phoneticize of each word, in order, the words searched side by side\n"
     "on `threads` native threads without the interpreter lock; Ctrl-C\n"
     "stops it."},
    {"score_batch", fastcall(neural_model_score_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "score_batch($self, words, candidates, threads=1)\n--\n\n"
     "score of each word and its list of candidates (one list per word),\n"
     "in order, on `threads` native threads; Ctrl-C stops it."},
    {"unknown_graphemes", fastcall(neural_model_unknown_graphemes),
     METH_FASTCALL | METH_KEYWORDS,
     "unknown_graphemes($self, word)\n--\n\n"
     "The characters of word that the model does not know, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef neural_model_getset[] = {
    {"graphemes", neural_model_get_graphemes, nullptr,
     "The model's graphemes (without its padding symbol).", nullptr},
    {"phonemes", neural_model_get_phonemes, nullptr,
     "The model's phonemes (without its special symbols).", nullptr},
    {"grapheme_form", neural_model_get_grapheme_form, nullptr,
     "'nfc' or 'nfd': how the training words were written; None: as given.",
     nullptr},
    {"reversed", neural_model_get_reversed, nullptr,
     "Whether the model reads words right to left (decoding turns them "
     "round).",
     nullptr},
    {"hyper_parameters", neural_model_get_hyper_parameters, nullptr,
     "The network's architecture and sizes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot neural_model_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "NeuralModel(path)\n--\n\n"
                    "A neural pronunciation model file, loaded and checked.")},
    {Py_tp_new, reinterpret_cast<void *>(neural_model_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(neural_model_dealloc)},
    {Py_tp_methods, neural_model_methods},
    {Py_tp_getset, neural_model_getset},
    {0, nullptr},
};

PyType_Spec neural_model_spec = {
    "tamsu._neural.NeuralModel",
    sizeof(PyNeuralModel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    neural_model_slots,
};

ModuleState *state_of(PyObject *module) {
  return static_cast<ModuleState *>(PyModule_GetState(module));
}

int module_exec(PyObject *module) {
  ModuleState *state = state_of(module);
  state->neural_model_type = reinterpret_cast<PyTypeObject *>(
      PyType_FromModuleAndSpec(module, &neural_model_spec, nullptr));
  if (!state->neural_model_type) return -1;
  if (PyModule_AddObjectRef(
          module, "NeuralModel",
          reinterpret_cast<PyObject *>(state->neural_model_type)) < 0) {
    return -1;
  }
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "NeuralModel"));
  if (!all) return -1;
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
  Py_VISIT(state_of(module)->neural_model_type);
  return 0;
}

int module_clear(PyObject *module) {
  Py_CLEAR(state_of(module)->neural_model_type);
  return 0;
}

void module_free(void *module) { module_clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_neural",
    "Neural pronunciation models decoded by tamsu's C++ core.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__neural(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

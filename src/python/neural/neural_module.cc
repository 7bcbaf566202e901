// The extension module tamsu._neural: the NeuralModel class over the core's
// neural unit (src/neural). A loaded model is immutable, so one object may
// serve any number of threads; decoding runs without the interpreter lock.

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "neural/neural_model.h"
#include "neural/search.h"
#include "python/binder.h"
#include "python/extension.h"
#include "python/guard.h"
#include "python/py_ref.h"
#include "python/unlocked.h"

namespace tamsu::python {
namespace {

struct NeuralState {
  PyTypeObject *neural_model_type;
  auto references() { return std::array{object_slot(neural_model_type)}; }
};

struct PyNeuralModel {
  PyObject_HEAD
  RecordPtr<NeuralModel> record;
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

const char *const kNewParams[] = {"path"};
constexpr Signature kNewSignature =
    make_signature("NeuralModel.__new__", kNewParams, 1);

PyObject *neural_model_new(PyTypeObject *type, PyObject *args,
                           PyObject *kwargs) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    PathArgument path;
    if (!bind_new_arguments(kNewSignature, args, kwargs, bound) ||
        !convert_path(bound[0], "path", path)) {
      return nullptr;
    }
    auto loaded = unlocked([&] { return load_neural_model(path.bytes); });
    if (!loaded) {
      const NeuralLoadError &error = loaded.error();
      if (error.os_error != 0) {
        set_os_error(error.os_error, path.given.get());
      } else {
        set_error_text(PyExc_ValueError, "failed to read neural model " +
                                             path.bytes + ": " +
                                             describe(error));
      }
      return nullptr;
    }
    return reinterpret_cast<PyObject *>(new_record_object(
        type, &PyNeuralModel::record,
        std::make_unique<const NeuralModel>(std::move(loaded).value())));
  });
}

void neural_model_dealloc(PyObject *self) {
  free_record_object(self, &PyNeuralModel::record);
}

// A word's graphemes; a word that is not text (see convert_word) has none
// to decode, its characters all listed as unknown.
WordGraphemes graphemes_of(const NeuralModel &model, const std::string &word,
                           bool text) {
  WordGraphemes graphemes = word_graphemes(model, word);
  if (!text) graphemes.ids.clear();
  return graphemes;
}

// Binds the arguments, converts `word` (bound[0]) into the model's
// grapheme ids, then runs `body`.
template <class Body>
PyObject *run_method(PyObject *self, const Signature &signature,
                     PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, Body &&body) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    if (!bind_arguments(signature, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string word;
    bool text = true;
    if (!convert_word(bound[0], "word", word, text)) return nullptr;
    return body(record_of(self), graphemes_of(record_of(self), word, text),
                bound);
  });
}

// nbest and beam: small positive counts (a beam's cost grows with it).
constexpr std::uint64_t kMaxBeam = 1000;

// nbest (bound[first]) and beam (bound[first + 1]), either absent, into
// `options`, converted as the n-gram classes convert theirs.
bool convert_beam(const BoundArguments &bound, std::size_t first,
                  BeamOptions &options) {
  std::uint64_t nbest = 1, beam = 5;
  if ((bound[first] && !convert_u64(bound[first], "nbest", nbest)) ||
      (bound[first + 1] && !convert_u64(bound[first + 1], "beam", beam))) {
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
          return str_from_utf8(model.phonemes[paths[i].phonemes[k]]);
        }));
    if (!phonemes) return nullptr;
    return Py_BuildValue("(Od)", phonemes.get(), paths[i].log_probability);
  });
}

const char *const kPhoneticizeParams[] = {"word", "nbest", "beam"};
constexpr Signature kPhoneticizeSignature =
    make_signature("NeuralModel.phoneticize", kPhoneticizeParams, 1);

PyObject *neural_model_phoneticize(PyObject *self, PyObject *const *args,
                                   Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kPhoneticizeSignature, args, nargs, kwnames,
      [](const NeuralModel &model, const WordGraphemes &word,
         const BoundArguments &bound) -> PyObject * {
        BeamOptions options;
        if (!convert_beam(bound, 1, options)) return nullptr;
        return paths_list(model, unlocked([&] {
                            return beam_search(model, word.ids, options);
                          }));
      });
}

// The grapheme ids of words (as convert_words gives them).
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
constexpr Signature kPhoneticizeBatchSignature = make_signature(
    "NeuralModel.phoneticize_batch", kPhoneticizeBatchParams, 1);

PyObject *neural_model_phoneticize_batch(PyObject *self, PyObject *const *args,
                                         Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    const NeuralModel &model = record_of(self);
    std::vector<std::string> texts;
    BeamOptions options;
    std::size_t threads = 1;
    if (!bind_arguments(kPhoneticizeBatchSignature, args, nargs, kwnames,
                        args + nargs, bound) ||
        !convert_words(bound[0], "words", texts) ||
        !convert_beam(bound, 1, options) ||
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
constexpr Signature kScoreSignature =
    make_signature("NeuralModel.score", kScoreParams, 2);

PyObject *neural_model_score(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(
      self, kScoreSignature, args, nargs, kwnames,
      [](const NeuralModel &model, const WordGraphemes &word,
         const BoundArguments &bound) -> PyObject * {
        Candidates candidates;
        if (!convert_text_lists(bound[1], "candidates", candidates)) {
          return nullptr;
        }
        return scores_list(unlocked(
            [&] { return score_candidates(model, word.ids, candidates); }));
      });
}

const char *const kScoreBatchParams[] = {"words", "candidates", "threads"};
constexpr Signature kScoreBatchSignature =
    make_signature("NeuralModel.score_batch", kScoreBatchParams, 2);

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

// Each word's candidate list of `value` (a sequence of them).
bool convert_candidate_lists(PyObject *value,
                             std::vector<Candidates> &out) {
  PyRef lists = PyRef::steal(PySequence_Fast(
      value, "candidates must be a sequence of candidate lists"));
  if (!lists) return false;
  out.resize(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(lists.get())));
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!convert_text_lists(
            PySequence_Fast_GET_ITEM(lists.get(), static_cast<Py_ssize_t>(i)),
            "candidates", out[i])) {
      return false;
    }
  }
  return true;
}

// Each word's float list of `value` (one sequence of float per word, each
// as long as its candidate list).
bool convert_priors(PyObject *value, const std::vector<Candidates> &candidates,
                    std::vector<std::vector<double>> &out) {
  PyRef lists = PyRef::steal(
      PySequence_Fast(value, "priors must be a sequence of float lists"));
  if (!lists) return false;
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(lists.get())) !=
      candidates.size()) {
    PyErr_SetString(PyExc_ValueError, "priors must have one list per word");
    return false;
  }
  out.resize(candidates.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    PyRef list = PyRef::steal(PySequence_Fast(
        PySequence_Fast_GET_ITEM(lists.get(), static_cast<Py_ssize_t>(i)),
        "priors must be a sequence of float lists"));
    if (!list) return false;
    const auto size =
        static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get()));
    if (size != candidates[i].size()) {
      PyErr_SetString(PyExc_ValueError,
                      "priors must have one float per candidate");
      return false;
    }
    out[i].resize(size);
    for (std::size_t c = 0; c < size; ++c) {
      if (!convert_double(
              PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(c)),
              "priors", out[i][c])) {
        return false;
      }
    }
  }
  return true;
}

const char *const kRescoreParams[] = {"models", "words",  "candidates",
                                      "priors", "weight", "keep",
                                      "threads"};
constexpr Signature kRescoreSignature =
    make_signature("rescore", kRescoreParams, 5);

PyObject *neural_rescore(PyObject *module, PyObject *const *args,
                         Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&]() -> PyObject * {
    BoundArguments bound;
    std::vector<Candidates> candidates;
    std::vector<std::vector<double>> priors;
    RescoreOptions options;
    std::uint64_t keep = 0;
    std::size_t threads = 1;
    if (!bind_arguments(kRescoreSignature, args, nargs, kwnames, args + nargs,
                        bound) ||
        !convert_candidate_lists(bound[2], candidates) ||
        !convert_priors(bound[3], candidates, priors) ||
        !convert_double(bound[4], "weight", options.weight) ||
        (bound[5] && !convert_u64(bound[5], "keep", keep)) ||
        (bound[6] && !convert_threads(bound[6], threads))) {
      return nullptr;
    }
    if (!(options.weight >= 0 && options.weight <= 1)) {
      PyErr_SetString(PyExc_ValueError, "weight must be from 0 to 1");
      return nullptr;
    }
    options.keep = static_cast<std::size_t>(keep);
    // The models stay referenced by `models` while the lock is released.
    PyRef models = PyRef::steal(PySequence_Fast(
        bound[0], "models must be a sequence of NeuralModel"));
    if (!models) return nullptr;
    PyRef spelled = PyRef::steal(PySequence_Fast(
        bound[1], "words must be a sequence of word lists, one per model"));
    if (!spelled) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(models.get());
    if (count < 1 || PySequence_Fast_GET_SIZE(spelled.get()) != count) {
      PyErr_SetString(PyExc_ValueError,
                      "rescore needs one or more models and one word list "
                      "per model");
      return nullptr;
    }
    PyTypeObject *type = state_of<NeuralState>(module)->neural_model_type;
    std::vector<const NeuralModel *> members;
    std::vector<std::vector<LabelList>> words;
    for (Py_ssize_t m = 0; m < count; ++m) {
      PyObject *model = PySequence_Fast_GET_ITEM(models.get(), m);
      if (!PyObject_TypeCheck(model, type)) {
        PyErr_SetString(PyExc_TypeError,
                        "models must be a sequence of NeuralModel");
        return nullptr;
      }
      std::vector<std::string> texts;
      if (!convert_words(PySequence_Fast_GET_ITEM(spelled.get(), m), "words",
                         texts)) {
        return nullptr;
      }
      if (texts.size() != candidates.size()) {
        PyErr_SetString(PyExc_ValueError,
                        "candidates must have one list per word");
        return nullptr;
      }
      members.push_back(&record_of(model));
      words.push_back(word_ids(record_of(model), texts));
    }
    auto scores = run_unlocked(threads, [&](const ParallelRun &run) {
      return rescore_parallel(members, words, candidates, priors, options,
                              run);
    });
    if (!scores) return nullptr;
    return new_list(scores->size(), [&](std::size_t i) {
      const std::vector<std::vector<double>> &word = (*scores)[i];
      return new_list(word.size(), [&](std::size_t m) {
        return new_list(word[m].size(), [&](std::size_t c) -> PyObject * {
          if (std::isnan(word[m][c])) return Py_NewRef(Py_None);
          return PyFloat_FromDouble(word[m][c]);
        });
      });
    });
  });
}

PyMethodDef module_methods[] = {
    {"rescore", fastcall(neural_rescore), METH_FASTCALL | METH_KEYWORDS,
     "rescore(models, words, candidates, priors, weight, keep=0, threads=1)\n"
     "--\n\n"
     "The log-probability under each of `models` (NeuralModel) of each\n"
     "candidate pronunciation of each word, as [word][model][candidate];\n"
     "words holds the words once per model, as that model spells them.\n"
     "With keep > 0 the candidates are scored best prior first and\n"
     "scoring stops once keep answers rank, by (1 - weight) * prior +\n"
     "weight * (the models' mean), above what any candidate left can\n"
     "reach (its prior's part, a log-probability being at most 0): those\n"
     "are None, and the keep best and their order are those of scoring\n"
     "all. Empty candidates are then None too. keep 0 scores every one.\n"
     "Runs on `threads` native threads; Ctrl-C stops it."},
    {nullptr, nullptr, 0, nullptr},
};

const char *const kWordParams[] = {"word"};
constexpr Signature kUnknownSignature =
    make_signature("NeuralModel.unknown_graphemes", kWordParams, 1);

PyObject *neural_model_unknown_graphemes(PyObject *self, PyObject *const *args,
                                         Py_ssize_t nargs, PyObject *kwnames) {
  return run_method(self, kUnknownSignature, args, nargs, kwnames,
                    [](const NeuralModel &, const WordGraphemes &word,
                       const BoundArguments &) -> PyObject * {
                      // A lone surrogate comes back as itself.
                      return new_list(word.unknown.size(), [&](std::size_t i) {
                        const std::string &text = word.unknown[i];
                        return PyUnicode_DecodeUTF8(
                            text.data(), static_cast<Py_ssize_t>(text.size()),
                            "surrogatepass");
                      });
                    });
}

// The symbols of a table after its `specials`, as a tuple of str.
PyObject *symbols_tuple(const std::vector<std::string> &table,
                        std::size_t specials) {
  PyRef list = PyRef::steal(new_list(
      table.size() - specials,
      [&](std::size_t i) { return str_from_utf8(table[specials + i]); }));
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
  if (h.architecture == kLstmArchitecture) {
    return Py_BuildValue("{s:s,s:I,s:I,s:I,s:I}", "architecture", "lstm",
                         "hidden", h.d_model, "embedding", h.d_ff,
                         "encoder_layers", h.encoder_layers,
                         "decoder_layers", h.decoder_layers);
  }
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
     "know are left out (unknown_graphemes lists them); an empty word,\n"
     "or one that is not text (a lone surrogate), gives []."},
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
     "The network's architecture and sizes: 'transformer' with d_model,\n"
     "heads, d_ff, or 'lstm' with hidden, embedding; and encoder_layers,\n"
     "decoder_layers.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot neural_model_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "NeuralModel(path)\n--\n\n"
                    "A neural pronunciation model file, loaded and checked.\n"
                    "path: str, bytes or os.PathLike. OSError (with errno and\n"
                    "filename) when the file cannot be opened or read;\n"
                    "ValueError naming the defect when it is not a sound\n"
                    "model, or not a regular file.")},
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

int module_exec(PyObject *module) {
  return add_types(
      module, {{&neural_model_spec, "NeuralModel",
                &state_of<NeuralState>(module)->neural_model_type}});
}

PyModuleDef module_def = module_definition<NeuralState, module_exec>(
    "_neural", "Neural pronunciation models decoded by tamsu's C++ core.",
    module_methods);

}  // namespace
}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__neural(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

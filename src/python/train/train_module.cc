// The extension module tamsu._train: converts Python arguments for one
// training call, runs it without the interpreter lock, and maps its
// errors. The work itself is in src/train.

#include <array>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "diag/cerr_router.h"
#include "python/binder.h"
#include "python/extension.h"
#include "python/guard.h"
#include "python/py_ref.h"
#include "python/unlocked.h"
#include "train/train.h"

namespace tamsu::python {
namespace {

// Appends the texts of a sequence of str to `out`; false with an exception
// set otherwise.
bool append_texts(PyObject *sequence, const char *what, std::size_t index,
                  std::vector<std::string> &out) {
  // A str is a sequence of str too, but "K AE T" as one is surely a
  // mistake.
  if (PyUnicode_Check(sequence)) {
    PyErr_Format(PyExc_TypeError,
                 "entry %zu: %s must be a sequence of str, not a str",
                 index + 1, what);
    return false;
  }
  PyRef fast = PyRef::steal(PySequence_Fast(sequence, ""));
  if (!fast) {
    PyErr_Format(PyExc_TypeError, "entry %zu: %s must be a sequence of str",
                 index + 1, what);
    return false;
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  PyObject **items = PySequence_Fast_ITEMS(fast.get());
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!PyUnicode_Check(items[i])) {
      PyErr_Format(PyExc_TypeError, "entry %zu: %s must be a sequence of str",
                   index + 1, what);
      return false;
    }
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(items[i], &length);
    if (!text) return false;
    out.emplace_back(text, static_cast<std::size_t>(length));
  }
  return true;
}

bool convert_entries(PyObject *object, std::vector<LexiconEntry> &entries) {
  PyRef fast = PyRef::steal(PySequence_Fast(
      object, "entries must be a sequence of (graphemes, phonemes) pairs"));
  if (!fast) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  PyObject **items = PySequence_Fast_ITEMS(fast.get());
  entries.resize(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto index = static_cast<std::size_t>(i);
    if (!PyTuple_Check(items[i]) || PyTuple_GET_SIZE(items[i]) != 2) {
      PyErr_Format(PyExc_TypeError,
                   "entry %zu: expected a (graphemes, phonemes) tuple",
                   index + 1);
      return false;
    }
    if (!append_texts(PyTuple_GET_ITEM(items[i], 0), "graphemes", index,
                      entries[index].graphemes) ||
        !append_texts(PyTuple_GET_ITEM(items[i], 1), "phonemes", index,
                      entries[index].phonemes)) {
      return false;
    }
  }
  return true;
}

// Stores an integer option into `field` when it fits; an option not given
// (null) keeps its default. OverflowError names the option and the range
// the field holds.
template <class Unsigned>
bool convert_unsigned(PyObject *object, const char *name, Unsigned &field) {
  if (!object) return true;
  PyRef number = PyRef::steal(PyNumber_Index(object));
  if (!number) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  const bool failed = value == static_cast<unsigned long long>(-1) &&
                      PyErr_Occurred();
  if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  constexpr auto kMax = std::numeric_limits<Unsigned>::max();
  if (failed || value > kMax) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s must be between 0 and %llu, not %S",
                 name, static_cast<unsigned long long>(kMax), number.get());
    return false;
  }
  field = static_cast<Unsigned>(value);
  return true;
}

const char *stage_name(TrainStage stage) {
  switch (stage) {
    case TrainStage::kAligning: return "aligning";
    case TrainStage::kCounting: return "counting";
    case TrainStage::kEstimating: return "estimating";
    case TrainStage::kPruning: return "pruning";
    case TrainStage::kWriting: return "writing";
  }
  return "training";
}

// Sets the Python exception for a training error, unless one is already
// set (a cancellation by the progress callback or a signal carries its
// own). A failed system call while writing is the OSError CPython's open
// would raise, naming `path`.
void set_train_error(const TrainError &error, PyObject *path) {
  if (PyErr_Occurred()) return;
  PyObject *type = PyExc_ValueError;
  switch (error.kind) {
    case TrainError::Kind::kWriteFailed:
      if (error.os_error != 0) {
        set_os_error(error.os_error, path);
        return;
      }
      type = PyExc_OSError;
      break;
    case TrainError::Kind::kFstFailed: type = PyExc_RuntimeError; break;
    case TrainError::Kind::kCancelled: type = PyExc_KeyboardInterrupt; break;
    default: break;
  }
  set_error_text(type, error.detail);
}

// Report values as a dict; null with an exception set on failure.
PyObject *report_to_dict(const TrainReport &report) {
  PyRef unaligned = PyRef::steal(PyList_New(0));
  if (!unaligned) return nullptr;
  for (std::size_t index : report.unaligned_entries) {
    PyRef value = PyRef::steal(PyLong_FromSize_t(index));
    if (!value || PyList_Append(unaligned.get(), value.get()) < 0) return nullptr;
  }
  PyRef ngrams = PyRef::steal(PyList_New(0));
  if (!ngrams) return nullptr;
  for (std::uint64_t count : report.ngrams_per_order) {
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyList_Append(ngrams.get(), value.get()) < 0) return nullptr;
  }
  return Py_BuildValue(
      "{s:n,s:n,s:n,s:O,s:n,s:n,s:d,s:O,s:K,s:K,s:K}",
      "entries", static_cast<Py_ssize_t>(report.entries),
      "floor_tokens", static_cast<Py_ssize_t>(report.floor_tokens),
      "aligned", static_cast<Py_ssize_t>(report.aligned),
      "unaligned", unaligned.get(),
      "chunk_types", static_cast<Py_ssize_t>(report.chunk_types),
      "em_iterations", static_cast<Py_ssize_t>(report.em_iterations),
      "log_likelihood", report.log_likelihood,
      "ngrams", ngrams.get(),
      "states", static_cast<unsigned long long>(report.states),
      "arcs", static_cast<unsigned long long>(report.arcs),
      "file_size", static_cast<unsigned long long>(report.file_size));
}

// Runs one training without the interpreter lock; each progress report
// takes it back to run `callback` (Py_None: none) and to notice Ctrl-C.
// Either one's exception cancels the training and is raised afterwards.
// The report as a dict, or null with an exception set.
PyObject *run_training(const std::vector<LexiconEntry> &entries,
                       const TrainOptions &options, const PathArgument &path,
                       PyObject *callback) {
  std::optional<decltype(train_model(entries, options, path.bytes, {}))> report;
  {
    Unlocked unlocked;
    const ProgressFn progress = [&](const Progress &p) {
      return unlocked.locked([&] {
        if (PyErr_CheckSignals() != 0) return false;
        if (callback == Py_None) return true;
        PyRef result = PyRef::steal(PyObject_CallFunction(
            callback, "sKK", stage_name(p.stage),
            static_cast<unsigned long long>(p.done),
            static_cast<unsigned long long>(p.total)));
        return static_cast<bool>(result);
      });
    };
    report.emplace(train_model(entries, options, path.bytes, progress));
  }
  if (!*report) {
    set_train_error(report->error(), path.given.get());
    return nullptr;
  }
  return report_to_dict(**report);
}

PyObject *train_model_impl(PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {
      "entries", "path", "max_graphemes", "max_phonemes", "max_deleted",
      "many_to_many", "iterations", "tolerance", "threads", "order",
      "max_ngrams", "prune_threshold", "progress", "max_unaligned",
      "input_markers", nullptr};
  PyObject *entries_object = nullptr;
  PathArgument path;
  TrainOptions options;
  int many_to_many = options.align.many_to_many;
  // Integer options come as objects: the "I" and "K" formats would wrap
  // 2**32 + 7 around to 7 instead of refusing it.
  PyObject *max_graphemes = nullptr;
  PyObject *max_phonemes = nullptr;
  PyObject *max_deleted = nullptr;
  PyObject *iterations = nullptr;
  PyObject *threads = nullptr;
  PyObject *order = nullptr;
  PyObject *max_ngrams = nullptr;
  PyObject *callback = Py_None;
  PyObject *markers = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OO&|$OOOpOdOOOdOdO:train_model",
          const_cast<char **>(keywords), &entries_object,
          path_converter, &path, &max_graphemes, &max_phonemes,
          &max_deleted, &many_to_many, &iterations, &options.align.tolerance,
          &threads, &order, &max_ngrams, &options.ngram.prune_threshold,
          &callback, &options.max_unaligned, &markers)) {
    return nullptr;
  }
  if (markers != nullptr &&
      !append_texts(markers, "input_markers", 0, options.input_markers)) {
    return nullptr;
  }
  options.align.many_to_many = many_to_many != 0;
  if (!convert_unsigned(max_graphemes, "max_graphemes",
                        options.align.max_graphemes) ||
      !convert_unsigned(max_phonemes, "max_phonemes",
                        options.align.max_phonemes) ||
      !convert_unsigned(max_deleted, "max_deleted",
                        options.align.max_deleted) ||
      !convert_unsigned(iterations, "iterations", options.align.iterations) ||
      !convert_unsigned(threads, "threads", options.align.threads) ||
      !convert_unsigned(order, "order", options.ngram.order) ||
      !convert_unsigned(max_ngrams, "max_ngrams", options.ngram.max_ngrams)) {
    return nullptr;
  }
  if (callback != Py_None && !PyCallable_Check(callback)) {
    PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
    return nullptr;
  }
  std::vector<LexiconEntry> entries;
  if (!convert_entries(entries_object, entries)) return nullptr;

  return run_training(entries, options, path, callback);
}

PyObject *module_train_model(PyObject *, PyObject *args, PyObject *kwargs) {
  return guarded([&] { return train_model_impl(args, kwargs); });
}

// The default of every option train_model takes by keyword, as
// TrainOptions{} holds it: the one place the training defaults are set.
PyObject *module_defaults(PyObject *, PyObject *) {
  return guarded([] {
    const TrainOptions options;
    return Py_BuildValue(
        "{s:I,s:I,s:I,s:O,s:I,s:d,s:I,s:I,s:K,s:d,s:d}",
        "max_graphemes", options.align.max_graphemes,
        "max_phonemes", options.align.max_phonemes,
        "max_deleted", options.align.max_deleted,
        "many_to_many", options.align.many_to_many ? Py_True : Py_False,
        "iterations", options.align.iterations,
        "tolerance", options.align.tolerance,
        "threads", options.align.threads,
        "order", options.ngram.order,
        "max_ngrams", static_cast<unsigned long long>(options.ngram.max_ngrams),
        "prune_threshold", options.ngram.prune_threshold,
        "max_unaligned", options.max_unaligned);
  });
}

PyMethodDef module_methods[] = {
    // METH_KEYWORDS functions take three arguments; CPython calls them
    // through PyCFunction, hence the detour through a generic pointer.
    {"train_model",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(module_train_model)),
     METH_VARARGS | METH_KEYWORDS,
     "train_model(entries, path, *, max_graphemes=..., max_phonemes=..., "
     "max_deleted=..., many_to_many=..., iterations=..., tolerance=..., "
     "threads=..., order=..., max_ngrams=..., prune_threshold=..., "
     "progress=None, max_unaligned=..., input_markers=())\n"
     "--\n\n"
     "Trains a joint-sequence model on entries, a sequence of (graphemes,\n"
     "phonemes) tuples of str sequences, and writes it to path. progress,\n"
     "if given, is called as progress(stage, done, total) from the calling\n"
     "thread; an exception it raises stops the training and propagates.\n"
     "A lexicon of which more than max_unaligned (a share) of entries fit\n"
     "no chunk is refused. input_markers are extra input symbols telling\n"
     "the front end how the words were written (\"<tamsu:nfd>\").\n"
     "Options not given take their values from defaults(). Returns a dict\n"
     "describing the run. Raises ValueError for bad input or options and\n"
     "OSError when the file cannot be written."},
    {"defaults", module_defaults, METH_NOARGS,
     "defaults()\n--\n\n"
     "The default of every option train_model takes by keyword, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *) {
  // Once per process: OpenFst errors non-fatal, std::cerr routed per thread.
  configure_openfst();
  return 0;
}

// The trainer keeps no Python objects of its own.
struct TrainState {
  std::array<PyObject **, 0> references() { return {}; }
};

PyModuleDef module_def = module_definition<TrainState, module_exec>(
    "_train", "Training of tamsu pronunciation models.", module_methods);

}  // namespace
}  // namespace tamsu::python

PyMODINIT_FUNC PyInit__train(void) {
  return PyModuleDef_Init(&tamsu::python::module_def);
}

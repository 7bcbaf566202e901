// Binds fast-call arguments to parameter names from a table, with the
// interpreter's own error wording, and converts them with the
// "argument 'NAME': " wrapping shared by every method.
#ifndef TAMSU_PYTHON_BINDER_H_
#define TAMSU_PYTHON_BINDER_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "python/py_ref.h"

namespace tamsu::python {

// A callable's parameters: all positional-or-keyword, the first
// `num_required` required. Made by make_signature, which checks the count
// against kMaxParams when it compiles.
struct Signature {
  const char *function;  // "Model.phoneticize"
  const char *const *names;
  Py_ssize_t num_params;
  Py_ssize_t num_required;
};

constexpr Py_ssize_t kMaxParams = 8;

// What bind_arguments fills: one borrowed reference per parameter.
using BoundArguments = std::array<PyObject *, kMaxParams>;

template <std::size_t N>
constexpr Signature make_signature(const char *function,
                                   const char *const (&names)[N],
                                   Py_ssize_t num_required) {
  static_assert(N <= static_cast<std::size_t>(kMaxParams),
                "BoundArguments has no room for this many parameters");
  return {function, names, static_cast<Py_ssize_t>(N), num_required};
}

// Fills `bound[0 .. num_params)` with borrowed references to the passed
// arguments (null for an omitted optional one). `kwvalues` holds the values
// of `kwnames` in order. Returns false with TypeError set on a binding error.
bool bind_arguments(const Signature &signature, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *const *kwvalues, BoundArguments &bound);

// The same for a tuple-and-dict call (a type's __new__).
bool bind_new_arguments(const Signature &signature, PyObject *args,
                        PyObject *kwargs, BoundArguments &bound);

// Re-raises a pending exact TypeError as "argument 'NAME': " + its
// message, keeping its __cause__. Other exceptions stay as they are.
void wrap_conversion_error(const char *name);

// Conversions of one argument; each returns false with an exception set,
// already wrapped with the parameter name.
bool convert_text(PyObject *value, const char *name, std::string &out);
bool convert_u64(PyObject *value, const char *name, std::uint64_t &out);
bool convert_double(PyObject *value, const char *name, double &out);
// A sequence of str (but not a str itself) into `out`.
bool convert_texts(PyObject *value, const char *name,
                   std::vector<std::string> &out);

// A word to decode, as the decoders that take many words read it: its
// UTF-8 bytes, `text` true. A str holding a lone surrogate is no text at
// all: its bytes are then those of the "surrogatepass" encoding (which are
// not UTF-8) and `text` is false, so that such a word gets the answer of a
// word the model cannot spell instead of an exception in mid-batch.
bool convert_word(PyObject *value, const char *name, std::string &out,
                  bool &text);
// A sequence of words (as convert_texts); a word that is not text becomes
// the empty word, which every decoder answers with nothing.
bool convert_words(PyObject *value, const char *name,
                   std::vector<std::string> &out);

// A file-system path: str, bytes or os.PathLike, through
// PyUnicode_FSConverter as CPython's own functions take them.
// `bytes` is what the core opens; `given` the argument, which an OSError
// names. A str that no file name decodes to (a lone surrogate that
// surrogateescape did not make) names no file: FileNotFoundError.
struct PathArgument {
  std::string bytes;
  PyRef given;
};
bool convert_path(PyObject *value, const char *name, PathArgument &out);
// convert_path as a PyArg "O&" converter into a PathArgument.
int path_converter(PyObject *value, void *out);

// Sets OSError (or its subclass for `os_error`, FileNotFoundError for
// ENOENT) with errno `os_error` and `filename`, as CPython's open does.
void set_os_error(int os_error, PyObject *filename);
// A sequence of sequences of str (each as convert_texts) into `out`.
bool convert_text_lists(PyObject *value, const char *name,
                        std::vector<std::vector<std::string>> &out);

// A thread count, from 1 to 1024 (ValueError otherwise).
bool convert_threads(PyObject *value, std::size_t &out);
// Exactly True or False, or a numpy boolean scalar.
bool convert_bool(PyObject *value, const char *name, bool &out);

// A fast-call function as a method table's PyCFunction: CPython calls it
// through that type, hence the detour through a generic function pointer.
template <class F>
PyCFunction fastcall(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The UTF-8 text of a str, or null with an exception set.
const char *utf8_of(PyObject *text, Py_ssize_t &size);

// The arguments of a method scoring given pronunciations, (words,
// candidates, threads=1): candidates holds one list of pronunciations
// (sequences of phoneme str) per word.
struct ScoringArguments {
  std::vector<std::string> words;
  std::vector<std::vector<std::vector<std::string>>> candidates;
  std::size_t threads = 1;
};
// `words` as convert_words reads them.
bool bind_scoring(const Signature &signature, PyObject *const *args,
                  Py_ssize_t nargs, PyObject *kwnames, ScoringArguments &out);

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_BINDER_H_

// Native work with the interpreter lock released: the lock is taken back
// only to check for signals, so that Ctrl-C stops a long batch promptly,
// or for a callback into Python (training's progress).
#ifndef TAMSU_PYTHON_UNLOCKED_H_
#define TAMSU_PYTHON_UNLOCKED_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include <Python.h>

#include "base/parallel.h"

namespace tamsu::python {

// The interpreter lock released for the scope; check_signals() takes it
// back just for PyErr_CheckSignals.
class Unlocked {
 public:
  Unlocked() : saved_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(saved_); }
  Unlocked(const Unlocked &) = delete;
  Unlocked &operator=(const Unlocked &) = delete;

  // Runs `work` with the lock taken back, and returns its result; the
  // one way code in this scope touches Python objects.
  template <class Work>
  auto locked(Work &&work) {
    struct Release {  // released again even if `work` throws
      PyThreadState *&saved;
      ~Release() { saved = PyEval_SaveThread(); }
    };
    PyEval_RestoreThread(saved_);
    const Release release{saved_};
    return work();
  }

  // True once a signal handler has raised (its exception stays set).
  bool check_signals() {
    if (!raised_) raised_ = locked([] { return PyErr_CheckSignals() != 0; });
    return raised_;
  }
  bool raised() const { return raised_; }

 private:
  PyThreadState *saved_;
  bool raised_ = false;
};

// How often a batch checks for signals.
inline constexpr std::chrono::milliseconds kSignalCheck{10};

// Runs work(run) with the lock released, run.threads being `threads` and
// run.poll checking for signals about every kSignalCheck. Empty, with the
// signal handler's exception set, when one raised.
template <class Work>
auto run_unlocked(std::size_t threads, Work &&work)
    -> std::optional<decltype(work(std::declval<const ParallelRun &>()))> {
  std::atomic<bool> stop{false};
  Unlocked unlocked;
  auto last = std::chrono::steady_clock::now();
  ParallelRun run;
  run.threads = threads;
  run.stop = &stop;
  run.poll = [&] {
    const auto now = std::chrono::steady_clock::now();
    if (now - last < kSignalCheck) return unlocked.raised();
    last = now;
    return unlocked.check_signals();
  };
  auto result = work(static_cast<const ParallelRun &>(run));
  if (unlocked.raised()) return std::nullopt;
  return result;
}

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_UNLOCKED_H_

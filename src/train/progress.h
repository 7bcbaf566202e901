// Progress reports of long training work, and how a caller cancels it.
#ifndef TAMSU_TRAIN_PROGRESS_H_
#define TAMSU_TRAIN_PROGRESS_H_

#include <cstdint>
#include <functional>

namespace tamsu {

enum class TrainStage {
  kAligning,    // EM iterations over the lexicon; units are entries
  kCounting,    // n-gram counting; units are aligned entries
  kEstimating,  // smoothing; units are n-gram orders
  kPruning,     // units are pruning passes
  kWriting,     // building and writing the FST; units are n-grams
};

struct Progress {
  TrainStage stage;
  std::uint64_t done;
  std::uint64_t total;  // may grow or shrink between reports
};

// Called on the thread that started the work, never concurrently. Returns
// false to cancel: the operation then stops soon and reports kCancelled.
using ProgressFn = std::function<bool(const Progress &)>;

}  // namespace tamsu

#endif  // TAMSU_TRAIN_PROGRESS_H_

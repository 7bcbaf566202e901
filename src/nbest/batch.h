// Decoding a batch of words on several threads over one shared model: the
// model is only read, so any number of threads may decode with it at once.
#ifndef TAMSU_NBEST_BATCH_H_
#define TAMSU_NBEST_BATCH_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "model/model.h"
#include "nbest/path_data.h"

namespace tamsu {

// One word's answer: its paths, or why there are none.
struct WordResult {
  std::vector<PathData> paths;
  DecodeFailure failure = DecodeFailure::kInterrupted;
};

// How a batch is run: `threads` decoders in all, the calling thread being
// one of them. `stop`, once set (by any thread), makes every decoder give
// up its word at its next poll and take no further word: the words left
// have failure kInterrupted. The calling thread runs `poll` (which may be
// empty) between its words, inside them as options.interrupted, and every
// kWaitSlice while it waits for the others; true sets `stop`. The decoders
// write what phoneticize_word writes, except that options.write_fsts is
// ignored: the unknown-piece diagnostic, one write call each, so messages
// never interleave.
struct BatchRun {
  static constexpr std::chrono::milliseconds kWaitSlice{20};
  std::size_t threads = 1;
  std::atomic<bool> *stop = nullptr;
  std::function<bool()> poll;
};

// Decodes `words` with `options` (whose `interrupted` is replaced), each
// as phoneticize_word would, and returns their results in input order.
// An exception in any thread (std::bad_alloc) stops the others and is
// rethrown here once all have ended.
std::vector<WordResult> phoneticize_words(const Model &model,
                                          const std::vector<std::string> &words,
                                          const DecodeOptions &options,
                                          const BatchRun &run);

}  // namespace tamsu

#endif  // TAMSU_NBEST_BATCH_H_

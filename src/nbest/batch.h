// Decoding a batch of words on several threads over one shared model: the
// model is only read, so any number of threads may decode with it at once.
#ifndef TAMSU_NBEST_BATCH_H_
#define TAMSU_NBEST_BATCH_H_

#include <string>
#include <vector>

#include "base/parallel.h"
#include "model/model.h"
#include "nbest/path_data.h"

namespace tamsu {

// One word's answer: its paths, or why there are none.
struct WordResult {
  std::vector<PathData> paths;
  DecodeFailure failure = DecodeFailure::kInterrupted;
};

// How a batch is run (see ParallelRun): the calling thread polls inside
// its words too, as options.interrupted. The decoders write what
// phoneticize_word writes, except that options.write_fsts is ignored: the
// unknown-piece diagnostic, one write call each, so messages never
// interleave.
using BatchRun = ParallelRun;

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

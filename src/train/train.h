// Training a pronunciation model from a lexicon in one call: alignment,
// joint n-gram estimation, the model transducer, and the model file.
#ifndef TAMSU_TRAIN_TRAIN_H_
#define TAMSU_TRAIN_TRAIN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "model/expected.h"
#include "train/align.h"
#include "train/lexicon.h"
#include "train/ngram.h"
#include "train/progress.h"
#include "train/train_error.h"

namespace tamsu {

struct TrainOptions {
  AlignOptions align;
  NgramOptions ngram;
};

struct TrainReport {
  std::size_t entries = 0;
  std::size_t aligned = 0;
  // Indices of the entries that no segmentation within the chunk limits
  // covers; they take no part in the model.
  std::vector<std::size_t> unaligned_entries;
  std::size_t chunk_types = 0;     // distinct chunks in the best alignments
  std::size_t em_iterations = 0;
  double log_likelihood = 0.0;     // of the last EM iteration
  std::vector<std::uint64_t> ngrams_per_order;  // kept, index 0: unigrams
  std::uint64_t states = 0;
  std::uint64_t arcs = 0;
  std::uint64_t file_size = 0;     // bytes
};

// Trains on `entries` and writes the model to `path` (replacing it only
// once the new model is complete). Errors of every step pass through
// unchanged; on error no file is left at `path` by this call.
Expected<TrainReport, TrainError> train_model(
    const std::vector<LexiconEntry> &entries, const TrainOptions &options,
    const std::string &path, const ProgressFn &progress);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_TRAIN_H_

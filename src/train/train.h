// Training a pronunciation model from a lexicon in one call: alignment,
// joint n-gram estimation, the model transducer, and the model file.
#ifndef TAMSU_TRAIN_TRAIN_H_
#define TAMSU_TRAIN_TRAIN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/expected.h"
#include "train/align.h"
#include "train/lexicon.h"
#include "train/ngram.h"
#include "train/progress.h"
#include "train/train_error.h"

namespace tamsu {

struct TrainOptions {
  AlignOptions align;
  NgramOptions ngram;
  // Largest share of entries that may fail to align; above it the lexicon
  // is refused (kTooManyUnaligned) rather than trained on its remains.
  double max_unaligned = 0.05;
  // Extra input symbols that tell the decoder's front end how the training
  // words were written (for example "<tamsu:nfd>"). Each must be longer
  // than one character, so that no word piece ever reads as one, hold no
  // separator and differ from every grapheme.
  std::vector<std::string> input_markers;
};

struct TrainReport {
  std::size_t entries = 0;
  std::size_t aligned = 0;
  // Indices of the entries that no segmentation within the chunk limits
  // covers; they take no part in the model.
  std::vector<std::size_t> unaligned_entries;
  std::size_t chunk_types = 0;     // distinct chunks in the best alignments
  // Graphemes that no best alignment used as a chunk of their own; each got
  // a one-grapheme floor token so that every grapheme decodes.
  std::size_t floor_tokens = 0;
  std::size_t em_iterations = 0;
  double log_likelihood = 0.0;     // of the last EM iteration
  std::vector<std::uint64_t> ngrams_per_order;  // kept, index 0: unigrams
  std::uint64_t states = 0;
  std::uint64_t arcs = 0;
  std::uint64_t file_size = 0;     // bytes
};

// Trains on `entries` and writes the model to `path` (replacing it only
// once the new model is complete). Every grapheme of `entries` can be
// decoded by the model, whatever the alignment made of it. Errors of every
// step pass through unchanged; kTooManyUnaligned names the share and a few
// examples; kInvalidOptions for a bad marker or share. On error no file is
// left at `path` by this call.
Expected<TrainReport, TrainError> train_model(
    const std::vector<LexiconEntry> &entries, const TrainOptions &options,
    const std::string &path, const ProgressFn &progress);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_TRAIN_H_

// Many-to-many alignment of graphemes to phonemes: expectation-maximisation
// over every segmentation of each entry into chunks, then the best
// segmentation of every entry under the learnt chunk probabilities.
#ifndef TAMSU_TRAIN_ALIGN_H_
#define TAMSU_TRAIN_ALIGN_H_

#include <cstdint>
#include <vector>

#include "base/expected.h"
#include "base/labels.h"
#include "train/lexicon.h"
#include "train/progress.h"
#include "train/train_error.h"

namespace tamsu {

// The defaults are the product's: tamsu.training.TrainOptions reads them
// through the binding (_train.defaults()).
struct AlignOptions {
  // Longest grapheme side of a chunk, 1..8. Across the 15 SIGMORPHON 2020
  // languages neither one nor two wins everywhere (one is 2 to 5 points of
  // word error rate better on French and Hindi, two as much better on
  // Bulgarian and Icelandic; bench/multilingual.py), and choosing on a
  // held-out tenth picked wrongly too often to pay for its three
  // trainings. English does better with one: the shipped model uses it.
  unsigned max_graphemes = 2;
  unsigned max_phonemes = 2;   // longest phoneme side of a chunk, 1..8
  // Longest grapheme side of a chunk with no phonemes; 0 forbids such
  // chunks. At most max_graphemes.
  unsigned max_deleted = 1;
  // Whether a chunk may have two or more symbols on both sides.
  bool many_to_many = false;
  // Most EM iterations, at least 1; chosen by measurement on a
  // development split of the CMU dictionary, like the n-gram order.
  unsigned iterations = 40;
  double tolerance = 1e-5;    // stop when the per-entry log-likelihood
                              // gains less than this
  unsigned threads = 1;       // worker threads of the E-step, at least 1;
                              // the result does not depend on it
};

// One chunk type: a grapheme sequence and the phonemes it stands for
// (empty when the graphemes are silent).
struct Chunk {
  LabelList graphemes;
  LabelList phonemes;
};

struct AlignmentResult {
  std::vector<Chunk> chunks;  // every chunk type some entry could use
  std::vector<double> probabilities;  // per chunk type, after the last step
  // Per entry, the chunk ids of its best segmentation in order; empty for
  // an entry that no segmentation within the limits covers.
  std::vector<std::vector<std::uint32_t>> alignments;
  std::size_t unaligned = 0;
  // Total log-likelihood of the aligned entries before each M-step.
  std::vector<double> log_likelihoods;
};

// Aligns every entry of `lexicon`. Chunks have 1..max_graphemes graphemes
// and 0..max_phonemes phonemes, subject to max_deleted and many_to_many; a
// phoneme never appears without a grapheme. Ties between equally likely
// segmentations go to the one whose first differing chunk has phonemes,
// then is shorter, then has fewer graphemes. kInvalidOptions for options out of
// range; kNothingAligned when no entry can be aligned; kCancelled when
// `progress` returns false (reported in units of entries per iteration).
Expected<AlignmentResult, TrainError> align_lexicon(
    const EncodedLexicon &lexicon, const AlignOptions &options,
    const ProgressFn &progress);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_ALIGN_H_

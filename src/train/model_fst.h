// Turns a backoff n-gram model over alignment chunks into the decoder's
// model file: one state per history, epsilon backoff arcs, end-of-word
// probability as final weight, clusters in both symbol tables.
#ifndef TAMSU_TRAIN_MODEL_FST_H_
#define TAMSU_TRAIN_MODEL_FST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fst/symbol-table.h>
#include <fst/vector-fst.h>

#include "base/expected.h"
#include "base/labels.h"
#include "train/align.h"
#include "train/ngram.h"
#include "train/train_error.h"

namespace tamsu {

struct ModelSymbols {
  // Labels 0 "<eps>", 1 "|", 2 "_", then single symbols, then clusters
  // whose text joins their parts with "|"; texts sorted within each group.
  std::unique_ptr<fst::SymbolTable> isyms;
  std::unique_ptr<fst::SymbolTable> osyms;
  // Per token (an index into the chunk list): its input and output label.
  // A chunk without phonemes has output label 2.
  std::vector<std::pair<Label, Label>> token_labels;
};

// Symbol tables for `chunks`, whose symbols are ids into `grapheme_texts`
// and `phoneme_texts`. Only symbols that some chunk uses are entered; the
// grapheme "_" takes label 2 itself. `input_markers` are added to the input
// table after the clusters, on no arc. Cannot fail.
ModelSymbols build_model_symbols(
    const std::vector<Chunk> &chunks,
    const std::vector<std::string> &grapheme_texts,
    const std::vector<std::string> &phoneme_texts,
    const std::vector<std::string> &input_markers = {});

// The model transducer of `model`, whose tokens label arcs through
// `symbols.token_labels`; both tables are attached. The start state is the
// history "<s>" (or the shortest history that stands in for it after
// pruning). Arcs are sorted by input label. kFstFailed if OpenFst flags an
// error.
Expected<std::unique_ptr<fst::StdVectorFst>, TrainError> build_model_fst(
    const NgramModel &model, const ModelSymbols &symbols);

// Writes `fst` in OpenFst's binary format to `path`: to a temporary file
// of a new name in the same directory, then renamed over the target, so a
// failed write leaves no partial model and clobbers no other file. A
// symbolic link at `path` is followed (the file it leads to is replaced,
// the link stays); an existing target that is not a regular file (a FIFO,
// a device, a directory) is refused. Returns the size of the file.
// kWriteFailed with the reason.
Expected<std::uint64_t, TrainError> write_model_fst(
    const fst::StdVectorFst &fst, const std::string &path);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_MODEL_FST_H_

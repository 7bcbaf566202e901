// The decoding pipeline: word -> labels -> acceptor -> lattice -> n-best
// search attempts -> distinct, selected paths. Never fails: a word that
// cannot be decoded gives an empty list.
#ifndef TAMSU_NBEST_PIPELINE_H_
#define TAMSU_NBEST_PIPELINE_H_

#include <string>
#include <vector>

#include "model/model.h"
#include "nbest/path_data.h"

namespace tamsu {

// Decodes one word. Writes the unknown-piece diagnostic to file descriptor
// 2 and, with options.write_fsts, the dump files; nothing else. Takes the
// specialised lattice search when the model's search plan allows it and
// the word needs nothing it does not replay (dump files, ties within
// OpenFst's delta), OpenFst's composition and n-shortest search otherwise;
// both give the same list, and both stop a word at options.limits. An
// interrupted call returns an empty list. `report`, when given, tells which
// route answered, why the list is empty when it failed, and how large the
// lattice and the search grew.
std::vector<PathData> phoneticize_word(const Model &model,
                                       const std::string &word,
                                       const DecodeOptions &options,
                                       DecodeReport *report = nullptr);

}  // namespace tamsu

#endif  // TAMSU_NBEST_PIPELINE_H_

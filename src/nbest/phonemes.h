// Phoneme labels of a path: output clusters expanded into their parts,
// vetoed labels left out, and rendering them as symbol texts.
#ifndef TAMSU_NBEST_PHONEMES_H_
#define TAMSU_NBEST_PHONEMES_H_

#include <string>
#include <vector>

#include "model/model.h"

namespace tamsu {

// Appends the phoneme labels of one output label to `uniques`.
void expand_output_label(const Model &model, Label olabel,
                         LabelList &uniques);

// The texts of `uniques` in the model's output table; labels outside the
// table are skipped.
std::vector<std::string> render_phonemes(const Model &model,
                                         const LabelList &uniques);

}  // namespace tamsu

#endif  // TAMSU_NBEST_PHONEMES_H_

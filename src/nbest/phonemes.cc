#include "nbest/phonemes.h"

namespace tamsu {

void expand_output_label(const Model &model, Label olabel,
                         LabelList &uniques) {
  const auto &label_to_parts = model.output_clusters.label_to_parts;
  const auto found = label_to_parts.find(olabel);
  if (found == label_to_parts.end()) return;  // 0, 1 and unknown labels
  for (Label part : found->second) {
    if (model.veto_set.count(part) == 0) uniques.push_back(part);
  }
}

std::vector<std::string> render_phonemes(const Model &model,
                                         const LabelList &uniques) {
  std::vector<std::string> phonemes;
  phonemes.reserve(uniques.size());
  const auto size = model.osyms->NumSymbols();
  for (Label label : uniques) {
    if (label >= size) continue;
    phonemes.push_back(model.osyms->Find(static_cast<std::int64_t>(label)));
  }
  return phonemes;
}

}  // namespace tamsu

#include "nbest/phonemes.h"

namespace tamsu {

void expand_output_label(const Model &model, Label olabel,
                         LabelList &uniques) {
  const std::vector<std::uint32_t> &begin = model.phoneme_begin;
  if (olabel + std::size_t{1} >= begin.size()) return;  // unknown labels
  // One or two labels each: a loop, not a range insert's copy call.
  for (std::uint32_t i = begin[olabel]; i < begin[olabel + 1]; ++i) {
    uniques.push_back(model.phonemes[i]);
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

#include "train/lexicon.h"

#include <unordered_map>

namespace tamsu {
namespace {

class Interner {
 public:
  explicit Interner(std::vector<std::string> &texts) : texts_(texts) {}

  Label intern(const std::string &text) {
    auto [it, inserted] =
        ids_.emplace(text, static_cast<Label>(texts_.size()));
    if (inserted) texts_.push_back(text);
    return it->second;
  }

 private:
  std::vector<std::string> &texts_;
  std::unordered_map<std::string, Label> ids_;
};

std::string entry_position(std::size_t index) {
  return "entry " + std::to_string(index + 1);
}

}  // namespace

Expected<EncodedLexicon, TrainError> encode_lexicon(
    const std::vector<LexiconEntry> &entries) {
  if (entries.empty()) {
    return make_unexpected(make_train_error(TrainError::Kind::kNoEntries,
                                            "the lexicon has no entries"));
  }
  EncodedLexicon lexicon;
  Interner graphemes(lexicon.grapheme_texts);
  Interner phonemes(lexicon.phoneme_texts);
  lexicon.graphemes.reserve(entries.size());
  lexicon.phonemes.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const LexiconEntry &entry = entries[i];
    LabelList grapheme_ids, phoneme_ids;
    grapheme_ids.reserve(entry.graphemes.size());
    phoneme_ids.reserve(entry.phonemes.size());
    for (const std::string &text : entry.graphemes) {
      if (text.empty() || text == kEpsilonText ||
          text.find(kSeparatorText) != std::string::npos) {
        return make_unexpected(make_train_error(
            TrainError::Kind::kInvalidSymbol,
            entry_position(i) + ": the grapheme '" + text +
                "' is empty, reserved or contains the separator '|'"));
      }
      grapheme_ids.push_back(graphemes.intern(text));
    }
    for (const std::string &text : entry.phonemes) {
      if (text.empty() || text == kEpsilonText || text == kEmptyText ||
          text.find(kSeparatorText) != std::string::npos) {
        return make_unexpected(make_train_error(
            TrainError::Kind::kInvalidSymbol,
            entry_position(i) + ": the phoneme '" + text +
                "' is empty, reserved or contains the separator '|'"));
      }
      phoneme_ids.push_back(phonemes.intern(text));
    }
    lexicon.graphemes.push_back(std::move(grapheme_ids));
    lexicon.phonemes.push_back(std::move(phoneme_ids));
  }
  return lexicon;
}

}  // namespace tamsu

// A pronunciation lexicon as training reads it: entries of grapheme and
// phoneme texts, and their encoding into dense integer ids.
#ifndef TAMSU_TRAIN_LEXICON_H_
#define TAMSU_TRAIN_LEXICON_H_

#include <string>
#include <vector>

#include "base/expected.h"
#include "base/labels.h"
#include "train/train_error.h"

namespace tamsu {

// Texts that a model's symbol tables reserve: epsilon, the cluster
// separator, and the empty side of a grapheme that maps to nothing.
inline constexpr const char *kEpsilonText = "<eps>";
inline constexpr const char *kSeparatorText = "|";
inline constexpr const char *kEmptyText = "_";

// One pronunciation of one word; a word with variants has one entry each.
struct LexiconEntry {
  std::vector<std::string> graphemes;
  std::vector<std::string> phonemes;
};

struct EncodedLexicon {
  std::vector<std::string> grapheme_texts;  // indexed by grapheme id
  std::vector<std::string> phoneme_texts;   // indexed by phoneme id
  std::vector<LabelList> graphemes;         // per entry, grapheme ids
  std::vector<LabelList> phonemes;          // per entry, phoneme ids
};

// Gives every distinct text an id in order of first appearance.
// kInvalidSymbol when a text is empty or contains the separator, when a
// grapheme is the epsilon text, or when a phoneme is a reserved text (a
// phoneme "_" would vanish from every decoded pronunciation). kNoEntries
// for an empty lexicon. An entry without graphemes or phonemes is kept:
// alignment counts it as unaligned.
Expected<EncodedLexicon, TrainError> encode_lexicon(
    const std::vector<LexiconEntry> &entries);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_LEXICON_H_

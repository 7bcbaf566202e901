// Lexicon entries for the training suites, written as ("word", "P H").
#ifndef TAMSU_TESTS_CPP_TRAIN_TRAIN_TEST_UTIL_H_
#define TAMSU_TESTS_CPP_TRAIN_TRAIN_TEST_UTIL_H_

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "train/lexicon.h"

namespace tamsu::test {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One grapheme per character of the word; phonemes split on spaces.
inline std::vector<LexiconEntry> entries_of(const Pairs &pairs) {
  std::vector<LexiconEntry> entries;
  for (const auto &[word, phonemes] : pairs) {
    LexiconEntry entry;
    for (char c : word) entry.graphemes.emplace_back(1, c);
    std::istringstream in(phonemes);
    for (std::string phoneme; in >> phoneme;) entry.phonemes.push_back(phoneme);
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace tamsu::test

#endif  // TAMSU_TESTS_CPP_TRAIN_TRAIN_TEST_UTIL_H_

// Processor time of the neural core's beam search, or of its scoring of
// given pronunciations, without Python:
//   neural_decode MODEL WORDS [BEAM [BATCH [portable] [score]]]
// WORDS has one word per line; BATCH words go to the search in one call
// (default all); "portable" takes the forward pass built for any
// processor. Text after a tab is ignored, except with "score": then the
// line's further tab-separated fields are candidate pronunciations
// (phonemes separated by spaces), and the time is that of scoring them
// (BEAM unused). Prints ms/word.
#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "neural/neural_model.h"
#include "neural/passes.h"
#include "neural/search.h"

namespace {

// The tab-separated fields of `line` after the first, each split at
// spaces.
tamsu::Candidates candidates_of(const std::string &line) {
  tamsu::Candidates candidates;
  std::istringstream fields(line);
  std::string field;
  std::getline(fields, field, '\t');
  while (std::getline(fields, field, '\t')) {
    std::istringstream phonemes(field);
    candidates.emplace_back();
    for (std::string phoneme; phonemes >> phoneme;) {
      candidates.back().push_back(phoneme);
    }
  }
  return candidates;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::cerr << "usage: neural_decode MODEL WORDS [BEAM [BATCH [portable] "
                 "[score]]]\n";
    return 2;
  }
  auto model = tamsu::load_neural_model(argv[1]);
  if (!model) {
    std::cerr << argv[1] << ": " << tamsu::describe(model.error()) << "\n";
    return 1;
  }
  bool portable = false, score = false;
  for (int i = 5; i < argc; ++i) {
    portable = portable || std::string(argv[i]) == "portable";
    score = score || std::string(argv[i]) == "score";
  }
  std::vector<tamsu::LabelList> words;
  std::vector<tamsu::Candidates> candidates;
  std::ifstream file(argv[2]);
  for (std::string line; std::getline(file, line);) {
    words.push_back(tamsu::word_graphemes(*model, line.substr(0, line.find('\t'))).ids);
    if (score) candidates.push_back(candidates_of(line));
  }
  tamsu::BeamOptions options;
  options.beam = argc > 3 ? std::stoul(argv[3]) : 5;
  options.portable = portable;
  const std::size_t batch = argc > 4 ? std::stoul(argv[4]) : words.size();
  std::size_t phonemes = 0, scored = 0;
  const std::clock_t started = std::clock();
  for (std::size_t first = 0; first < words.size(); first += batch) {
    const std::size_t last = std::min(first + batch, words.size());
    const std::vector<tamsu::LabelList> some(words.begin() + first,
                                             words.begin() + last);
    if (score) {
      const std::vector<tamsu::Candidates> lists(
          candidates.begin() + first, candidates.begin() + last);
      for (const auto &scores : tamsu::score_candidates_batch(
               *model, some, lists, options.portable)) {
        scored += scores.size();
      }
      continue;
    }
    for (const auto &paths : tamsu::beam_search_batch(*model, some, options)) {
      for (const auto &path : paths) phonemes += path.phonemes.size();
    }
  }
  const double seconds = double(std::clock() - started) / CLOCKS_PER_SEC;
  std::cout << words.size() << " words, ";
  if (score) {
    std::cout << scored << " candidates scored";
  } else {
    std::cout << "beam " << options.beam;
  }
  std::cout << ", batches of " << batch << ", "
            << tamsu::passes_for(options.portable).name << ": "
            << 1000 * seconds / words.size() << " ms per word";
  if (!score) std::cout << " (" << phonemes << " phonemes)";
  std::cout << "\n";
  return 0;
}

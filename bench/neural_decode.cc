// Processor time of the neural core's beam search, without Python:
//   neural_decode MODEL WORDS [BEAM [BATCH [portable]]]
// WORDS has one word per line (text after a tab ignored); BATCH words go
// to the search in one call (default all); "portable" takes the forward
// pass built for any processor. Prints ms/word.
#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "neural/neural_model.h"
#include "neural/passes.h"
#include "neural/search.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::cerr << "usage: neural_decode MODEL WORDS [BEAM [BATCH]]\n";
    return 2;
  }
  auto model = tamsu::load_neural_model(argv[1]);
  if (!model) {
    std::cerr << argv[1] << ": " << tamsu::describe(model.error()) << "\n";
    return 1;
  }
  std::vector<tamsu::LabelList> words;
  std::ifstream file(argv[2]);
  for (std::string line; std::getline(file, line);) {
    words.push_back(tamsu::word_graphemes(*model, line.substr(0, line.find('\t'))).ids);
  }
  tamsu::BeamOptions options;
  options.beam = argc > 3 ? std::stoul(argv[3]) : 5;
  options.portable = argc > 5 && std::string(argv[5]) == "portable";
  const std::size_t batch = argc > 4 ? std::stoul(argv[4]) : words.size();
  std::size_t phonemes = 0;
  const std::clock_t started = std::clock();
  for (std::size_t first = 0; first < words.size(); first += batch) {
    const std::vector<tamsu::LabelList> some(
        words.begin() + first,
        words.begin() + std::min(first + batch, words.size()));
    for (const auto &paths : tamsu::beam_search_batch(*model, some, options)) {
      for (const auto &path : paths) phonemes += path.phonemes.size();
    }
  }
  const double seconds = double(std::clock() - started) / CLOCKS_PER_SEC;
  std::cout << words.size() << " words, beam " << options.beam
            << ", batches of " << batch << ", "
            << tamsu::passes_for(options.portable).name << ": "
            << 1000 * seconds / words.size() << " ms per word (" << phonemes
            << " phonemes)\n";
  return 0;
}

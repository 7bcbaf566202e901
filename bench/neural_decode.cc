// Processor time of the neural core's beam search, without Python:
//   neural_decode MODEL WORDS [BEAM]
// WORDS has one word per line (text after a tab ignored); prints ms/word.
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "neural/neural_model.h"
#include "neural/search.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::cerr << "usage: neural_decode MODEL WORDS [BEAM]\n";
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
  std::size_t phonemes = 0;
  const std::clock_t started = std::clock();
  for (const auto &word : words) {
    for (const auto &path : tamsu::beam_search(*model, word, options)) {
      phonemes += path.phonemes.size();
    }
  }
  const double seconds = double(std::clock() - started) / CLOCKS_PER_SEC;
  std::cout << words.size() << " words, beam " << options.beam << ": "
            << 1000 * seconds / words.size() << " ms per word (" << phonemes
            << " phonemes)\n";
  return 0;
}

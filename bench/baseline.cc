// The yardstick for tamsu's decoding speed: the bare OpenFst work of
// decoding a word, with nothing of tamsu's core in it. Per word: split it
// into characters and look each up, build the word acceptor (a chain of
// grapheme arcs plus a shortcut arc for every run that spells an input
// cluster), compose it with the arc-sorted model (fst::Compose with default
// options), ask ShortestPath for 16 paths, and walk the best path collecting
// its phoneme labels. Prints the words per second of each repetition, by
// processor time.
//
//   baseline MODEL WORDS [--reps N] [--nshortest N] [--symbols] [--print]
//
// --symbols attaches the model's input table to each acceptor, as tamsu
// does (composition then compares the tables' checksums); --print writes
// each word's best phonemes, for a check against tamsu's answers.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <fst/fstlib.h>

namespace {

using Arc = fst::StdArc;
using Labels = std::vector<Arc::Label>;

struct LabelsHash {
  std::size_t operator()(const Labels &labels) const {
    std::size_t hash = labels.size();
    for (const Arc::Label label : labels) {
      hash = hash * 1000003u ^ static_cast<std::size_t>(label);
    }
    return hash;
  }
};

// The cluster symbols of one table: parts by label, label by parts.
struct Clusters {
  std::vector<Labels> parts;  // indexed by label
  std::unordered_map<Labels, Arc::Label, LabelsHash> label_of;
  std::size_t max_parts = 1;
};

Clusters read_clusters(const fst::SymbolTable &symbols) {
  Clusters clusters;
  const auto size = static_cast<Arc::Label>(symbols.NumSymbols());
  clusters.parts.resize(static_cast<std::size_t>(size));
  if (size < 2) return clusters;
  const std::string separator = symbols.Find(1);
  for (Arc::Label label = 2; label < size; ++label) {
    const std::string text = symbols.Find(label);
    Labels parts;
    if (!separator.empty() && text.find(separator) != std::string::npos) {
      std::size_t begin = 0;
      while (begin <= text.size()) {
        std::size_t end = text.find(separator, begin);
        if (end == std::string::npos) end = text.size();
        if (end > begin) {
          const auto part = symbols.Find(text.substr(begin, end - begin));
          if (part != fst::kNoSymbol) parts.push_back(part);
        }
        begin = end + separator.size();
      }
    } else {
      parts.push_back(label);
    }
    clusters.max_parts = std::max(clusters.max_parts, parts.size());
    clusters.label_of[parts] = label;
    clusters.parts[static_cast<std::size_t>(label)] = std::move(parts);
  }
  return clusters;
}

std::size_t utf8_length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

Labels tokenize(const std::string &word, const fst::SymbolTable &isyms) {
  Labels labels;
  labels.reserve(word.size());
  for (std::size_t pos = 0; pos < word.size();) {
    const std::size_t length = std::min(
        utf8_length(static_cast<unsigned char>(word[pos])), word.size() - pos);
    const auto label = isyms.Find(word.substr(pos, length));
    if (label != fst::kNoSymbol) labels.push_back(label);
    pos += length;
  }
  return labels;
}

fst::StdVectorFst build_acceptor(const Labels &labels,
                                 const Clusters &inputs) {
  const auto n = static_cast<Arc::StateId>(labels.size());
  fst::StdVectorFst acceptor;
  acceptor.ReserveStates(n + 1);
  acceptor.SetStart(acceptor.AddState());
  for (Arc::StateId s = 0; s < n; ++s) acceptor.AddState();
  Labels run;
  for (Arc::StateId s = 0; s < n; ++s) {
    const Arc::Label label = labels[static_cast<std::size_t>(s)];
    acceptor.AddArc(s, Arc(label, label, Arc::Weight::One(), s + 1));
    for (std::size_t k = 2;
         k <= inputs.max_parts && static_cast<Arc::StateId>(k) <= n - s; ++k) {
      run.assign(labels.begin() + s, labels.begin() + s + k);
      const auto found = inputs.label_of.find(run);
      if (found == inputs.label_of.end()) continue;
      acceptor.AddArc(s, Arc(found->second, found->second, Arc::Weight::One(),
                             s + static_cast<Arc::StateId>(k)));
    }
  }
  acceptor.SetFinal(n, Arc::Weight::One());
  return acceptor;
}

// The phoneme labels of the best path: start arcs come best first, and
// every later state of the result has the path's next arc as its only one.
Labels best_phonemes(const fst::StdVectorFst &paths, const Clusters &outputs) {
  Labels phonemes;
  const Arc::StateId start = paths.Start();
  if (start == fst::kNoStateId || paths.NumArcs(start) == 0) return phonemes;
  const Arc *arc = &fst::ArcIterator<fst::StdVectorFst>(paths, start).Value();
  for (;;) {
    const auto olabel = static_cast<std::size_t>(arc->olabel);
    if (olabel > 1 && olabel < outputs.parts.size()) {
      for (const Arc::Label part : outputs.parts[olabel]) {
        if (part > 2) phonemes.push_back(part);
      }
    }
    const Arc::StateId next = arc->nextstate;
    if (paths.Final(next) != Arc::Weight::Zero() || paths.NumArcs(next) == 0) {
      break;
    }
    arc = &fst::ArcIterator<fst::StdVectorFst>(paths, next).Value();
  }
  return phonemes;
}

// Processor time of this process: less disturbed than wall time when other
// jobs share the cores.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) +
         1e-9 * static_cast<double>(now.tv_nsec);
}

int usage() {
  std::cerr << "usage: baseline MODEL WORDS [--reps N] [--nshortest N] "
               "[--symbols] [--print]\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  int reps = 5;
  int nshortest = 16;
  bool attach_symbols = false;
  bool print = false;
  for (int i = 3; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--reps" && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (flag == "--nshortest" && i + 1 < argc) {
      nshortest = std::atoi(argv[++i]);
    } else if (flag == "--symbols") {
      attach_symbols = true;
    } else if (flag == "--print") {
      print = true;
    } else {
      return usage();
    }
  }

  std::unique_ptr<fst::StdVectorFst> model(fst::StdVectorFst::Read(argv[1]));
  if (!model || !model->InputSymbols() || !model->OutputSymbols()) {
    std::cerr << "baseline: cannot read " << argv[1]
              << " with both symbol tables\n";
    return 1;
  }
  fst::ArcSort(model.get(), fst::ILabelCompare<Arc>());
  const fst::SymbolTable &isyms = *model->InputSymbols();
  const fst::SymbolTable &osyms = *model->OutputSymbols();
  const Clusters inputs = read_clusters(isyms);
  const Clusters outputs = read_clusters(osyms);

  std::vector<std::string> words;
  std::ifstream in(argv[2]);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) words.push_back(line);
  }
  if (words.empty()) {
    std::cerr << "baseline: no words in " << argv[2] << "\n";
    return 1;
  }

  std::size_t checksum = 0;  // keeps the work observable
  auto decode = [&](const std::string &word) {
    Labels phonemes;
    const Labels labels = tokenize(word, isyms);
    if (labels.empty()) return phonemes;
    fst::StdVectorFst acceptor = build_acceptor(labels, inputs);
    if (attach_symbols) {
      acceptor.SetInputSymbols(&isyms);
      acceptor.SetOutputSymbols(&isyms);
    }
    fst::StdVectorFst lattice;
    fst::Compose(acceptor, *model, &lattice);
    fst::StdVectorFst paths;
    fst::ShortestPath(lattice, &paths, nshortest);
    phonemes = best_phonemes(paths, outputs);
    checksum += phonemes.size();
    return phonemes;
  };

  if (print) {
    for (const std::string &word : words) {
      const Labels phonemes = decode(word);
      std::cout << word << '\t';
      for (std::size_t i = 0; i < phonemes.size(); ++i) {
        std::cout << (i ? " " : "") << osyms.Find(phonemes[i]);
      }
      std::cout << '\n';
    }
    return 0;
  }
  for (int rep = 0; rep < reps; ++rep) {
    const double cpu_begin = cpu_seconds();
    const auto begin = std::chrono::steady_clock::now();
    for (const std::string &word : words) decode(word);
    const std::chrono::duration<double> wall =
        std::chrono::steady_clock::now() - begin;
    const double cpu = cpu_seconds() - cpu_begin;
    std::printf("rep %d: %zu words, wall %.4f s, cpu %.4f s, %.1f words/s "
                "(cpu)\n", rep, words.size(), wall.count(), cpu,
                static_cast<double>(words.size()) / cpu);
    std::fflush(stdout);
  }
  std::fprintf(stderr, "baseline: checksum %zu\n", checksum);
  return 0;
}

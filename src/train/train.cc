#include "train/train.h"

#include <limits>

#include "train/model_fst.h"

namespace tamsu {

Expected<TrainReport, TrainError> train_model(
    const std::vector<LexiconEntry> &entries, const TrainOptions &options,
    const std::string &path, const ProgressFn &progress) {
  auto lexicon = encode_lexicon(entries);
  if (!lexicon) return make_unexpected(lexicon.error());
  auto alignment = align_lexicon(*lexicon, options.align, progress);
  if (!alignment) return make_unexpected(alignment.error());

  TrainReport report;
  report.entries = entries.size();
  report.em_iterations = alignment->log_likelihoods.size();
  report.log_likelihood = alignment->log_likelihoods.back();

  // Tokens are the chunk types that some best alignment uses, numbered in
  // order of first use.
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> token_of(alignment->chunks.size(), kUnused);
  std::vector<Chunk> token_chunks;
  std::vector<Sentence> per_entry(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    auto &chunks = alignment->alignments[e];
    if (chunks.empty()) {
      report.unaligned_entries.push_back(e);
      continue;
    }
    Sentence &sentence = per_entry[e];
    sentence.reserve(chunks.size());
    for (std::uint32_t chunk : chunks) {
      if (token_of[chunk] == kUnused) {
        token_of[chunk] = static_cast<std::uint32_t>(token_chunks.size());
        token_chunks.push_back(std::move(alignment->chunks[chunk]));
      }
      sentence.push_back(token_of[chunk]);
    }
    std::vector<std::uint32_t>().swap(chunks);
  }
  alignment = AlignmentResult{};

  std::vector<Sentence> sentences;
  sentences.reserve(entries.size());
  for (Sentence &s : per_entry) {
    if (!s.empty()) sentences.push_back(std::move(s));
  }
  std::vector<Sentence>().swap(per_entry);
  report.aligned = sentences.size();
  report.chunk_types = token_chunks.size();

  auto ngrams = estimate_ngrams(sentences, static_cast<Token>(token_chunks.size()),
                                options.ngram, progress);
  if (!ngrams) return make_unexpected(ngrams.error());
  std::vector<Sentence>().swap(sentences);
  report.ngrams_per_order = ngrams->kept_per_order;

  if (progress && !progress({TrainStage::kWriting, 0, 2})) {
    return make_unexpected(make_train_error(TrainError::Kind::kCancelled,
                                            "training was cancelled"));
  }
  const ModelSymbols symbols = build_model_symbols(
      token_chunks, lexicon->grapheme_texts, lexicon->phoneme_texts);
  auto fst = build_model_fst(*ngrams, symbols);
  if (!fst) return make_unexpected(fst.error());
  ngrams = NgramModel{};
  report.states = static_cast<std::uint64_t>((*fst)->NumStates());
  for (fst::StdArc::StateId s = 0; s < (*fst)->NumStates(); ++s) {
    report.arcs += (*fst)->NumArcs(s);
  }
  if (progress && !progress({TrainStage::kWriting, 1, 2})) {
    return make_unexpected(make_train_error(TrainError::Kind::kCancelled,
                                            "training was cancelled"));
  }
  auto size = write_model_fst(**fst, path);
  if (!size) return make_unexpected(size.error());
  report.file_size = *size;
  if (progress) progress({TrainStage::kWriting, 2, 2});
  return report;
}

}  // namespace tamsu

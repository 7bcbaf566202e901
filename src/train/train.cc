#include "train/train.h"

#include <cstdio>
#include <limits>

#include "train/model_fst.h"

namespace tamsu {
namespace {

std::string join_texts(const std::vector<std::string> &texts) {
  std::string out;
  for (const std::string &text : texts) {
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

std::string check_markers(const TrainOptions &options,
                          const EncodedLexicon &lexicon) {
  for (const std::string &marker : options.input_markers) {
    std::size_t characters = 0;
    for (unsigned char c : marker) characters += (c & 0xC0) != 0x80;
    if (characters < 2 || marker.find(kSeparatorText) != std::string::npos) {
      return "the input marker '" + marker +
             "' must be two or more characters without '|'";
    }
    for (const std::string &grapheme : lexicon.grapheme_texts) {
      if (grapheme == marker) {
        return "the input marker '" + marker + "' is also a grapheme";
      }
    }
  }
  if (!(options.max_unaligned >= 0.0 && options.max_unaligned <= 1.0)) {
    return "max_unaligned must be between 0 and 1";
  }
  return {};
}

// The refusal of a lexicon that too many entries of fail to align: the
// share, a few examples, and the limit that most often stands in the way.
TrainError too_many_unaligned(const std::vector<LexiconEntry> &entries,
                              const std::vector<std::size_t> &unaligned,
                              const TrainOptions &options) {
  std::size_t too_many_phonemes = 0;
  for (std::size_t e : unaligned) {
    if (entries[e].phonemes.size() >
        entries[e].graphemes.size() * options.align.max_phonemes) {
      ++too_many_phonemes;
    }
  }
  const double share = static_cast<double>(unaligned.size()) /
                       static_cast<double>(entries.size());
  char percent[64];
  std::snprintf(percent, sizeof percent, "%.1f%%, more than the %.1f%%",
                100.0 * share, 100.0 * options.max_unaligned);
  std::string detail =
      std::to_string(unaligned.size()) + " of " +
      std::to_string(entries.size()) + " entries (" + percent +
      " allowed) cannot be aligned with chunks of at most " +
      std::to_string(options.align.max_graphemes) + " graphemes and " +
      std::to_string(options.align.max_phonemes) + " phonemes";
  detail += too_many_phonemes * 2 > unaligned.size()
                ? "; most have more phonemes than that allows: raise the "
                  "phoneme limit"
                : "; raise the chunk limits, or check that each line holds "
                  "one word and its own pronunciation";
  detail += ". For example:";
  for (std::size_t i = 0; i < unaligned.size() && i < 3; ++i) {
    const LexiconEntry &entry = entries[unaligned[i]];
    std::string word;
    for (const std::string &g : entry.graphemes) word += g;
    detail += "\n  entry " + std::to_string(unaligned[i] + 1) + ": " + word +
              "  " + join_texts(entry.phonemes);
  }
  return make_train_error(TrainError::Kind::kTooManyUnaligned, detail);
}

// The likeliest one-grapheme chunk of each grapheme (silent or with one
// phoneme; silent when it has no mass at all), should the best alignments
// never use one (its only chunks join it to a neighbour, or its entries
// failed to align).
std::vector<Chunk> floor_chunks(const AlignmentResult &alignment,
                                std::size_t grapheme_count) {
  std::vector<Chunk> floor(grapheme_count);
  std::vector<double> best(grapheme_count, 0.0);
  for (Label g = 0; g < grapheme_count; ++g) floor[g].graphemes = {g};
  for (std::size_t c = 0; c < alignment.chunks.size(); ++c) {
    const Chunk &chunk = alignment.chunks[c];
    // At most one phoneme: a floor arc should not add a cluster symbol.
    if (chunk.graphemes.size() != 1 || chunk.phonemes.size() > 1) continue;
    const Label g = chunk.graphemes[0];
    if (alignment.probabilities[c] > best[g]) {
      best[g] = alignment.probabilities[c];
      floor[g].phonemes = chunk.phonemes;
    }
  }
  return floor;
}

// The best alignments as sentences of tokens for the n-gram model.
struct TokenisedLexicon {
  std::vector<Chunk> token_chunks;        // indexed by token
  std::vector<Sentence> sentences;        // of the aligned entries, in order
  std::vector<std::size_t> unaligned;     // indices of the other entries
};

// Tokens are the chunk types that some best alignment uses, numbered in
// order of first use. Takes the chunks and alignments out of `alignment`.
TokenisedLexicon tokenise(AlignmentResult &alignment) {
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> token_of(alignment.chunks.size(), kUnused);
  TokenisedLexicon out;
  out.sentences.reserve(alignment.alignments.size());
  for (std::size_t e = 0; e < alignment.alignments.size(); ++e) {
    auto &chunks = alignment.alignments[e];
    if (chunks.empty()) {
      out.unaligned.push_back(e);
      continue;
    }
    Sentence &sentence = out.sentences.emplace_back();
    sentence.reserve(chunks.size());
    for (std::uint32_t chunk : chunks) {
      if (token_of[chunk] == kUnused) {
        token_of[chunk] = static_cast<std::uint32_t>(out.token_chunks.size());
        out.token_chunks.push_back(std::move(alignment.chunks[chunk]));
      }
      sentence.push_back(token_of[chunk]);
    }
    std::vector<std::uint32_t>().swap(chunks);
  }
  return out;
}

// Floor path: a grapheme without a one-grapheme token gets one, seen once
// as a word of its own. The unigram level then has an arc for it, which
// every history backs off to, so any word of known graphemes decodes.
// Returns the number of tokens added.
std::size_t add_floor_tokens(std::vector<Chunk> floor,
                             std::vector<Chunk> &token_chunks,
                             std::vector<Sentence> &sentences) {
  std::vector<char> has_single(floor.size(), 0);
  for (const Chunk &chunk : token_chunks) {
    if (chunk.graphemes.size() == 1) has_single[chunk.graphemes[0]] = 1;
  }
  std::size_t added = 0;
  for (Label g = 0; g < floor.size(); ++g) {
    if (has_single[g]) continue;
    sentences.push_back({static_cast<Token>(token_chunks.size())});
    token_chunks.push_back(std::move(floor[g]));
    ++added;
  }
  return added;
}

Unexpected<TrainError> cancelled() {
  return make_unexpected(
      make_train_error(TrainError::Kind::kCancelled, "training was cancelled"));
}

// Builds the model transducer from `ngrams` (freed once built) and writes
// it to `path`; returns `report` completed with the model's size.
Expected<TrainReport, TrainError> write_model(NgramModel ngrams,
                                              const ModelSymbols &symbols,
                                              const std::string &path,
                                              const ProgressFn &progress,
                                              TrainReport report) {
  if (progress && !progress({TrainStage::kWriting, 0, 2})) return cancelled();
  auto fst = build_model_fst(ngrams, symbols);
  if (!fst) return make_unexpected(fst.error());
  ngrams = NgramModel{};
  report.states = static_cast<std::uint64_t>((*fst)->NumStates());
  for (fst::StdArc::StateId s = 0; s < (*fst)->NumStates(); ++s) {
    report.arcs += (*fst)->NumArcs(s);
  }
  if (progress && !progress({TrainStage::kWriting, 1, 2})) return cancelled();
  auto size = write_model_fst(**fst, path);
  if (!size) return make_unexpected(size.error());
  report.file_size = *size;
  if (progress) progress({TrainStage::kWriting, 2, 2});
  return report;
}

}  // namespace

Expected<TrainReport, TrainError> train_model(
    const std::vector<LexiconEntry> &entries, const TrainOptions &options,
    const std::string &path, const ProgressFn &progress) {
  auto lexicon = encode_lexicon(entries);
  if (!lexicon) return make_unexpected(lexicon.error());
  if (std::string problem = check_markers(options, *lexicon);
      !problem.empty()) {
    return make_unexpected(
        make_train_error(TrainError::Kind::kInvalidOptions, problem));
  }
  auto alignment = align_lexicon(*lexicon, options.align, progress);
  if (!alignment) return make_unexpected(alignment.error());

  TrainReport report;
  report.entries = entries.size();
  report.em_iterations = alignment->log_likelihoods.size();
  report.log_likelihood = alignment->log_likelihoods.back();
  std::vector<Chunk> floor =
      floor_chunks(*alignment, lexicon->grapheme_texts.size());
  TokenisedLexicon tokens = tokenise(*alignment);
  alignment = AlignmentResult{};
  report.unaligned_entries = std::move(tokens.unaligned);
  if (static_cast<double>(report.unaligned_entries.size()) >
      options.max_unaligned * static_cast<double>(entries.size())) {
    return make_unexpected(
        too_many_unaligned(entries, report.unaligned_entries, options));
  }
  report.aligned = tokens.sentences.size();
  report.chunk_types = tokens.token_chunks.size();
  report.floor_tokens = add_floor_tokens(std::move(floor), tokens.token_chunks,
                                         tokens.sentences);

  auto ngrams = estimate_ngrams(
      tokens.sentences, static_cast<Token>(tokens.token_chunks.size()),
      options.ngram, progress);
  if (!ngrams) return make_unexpected(ngrams.error());
  std::vector<Sentence>().swap(tokens.sentences);
  report.ngrams_per_order = ngrams->kept_per_order;
  const ModelSymbols symbols =
      build_model_symbols(tokens.token_chunks, lexicon->grapheme_texts,
                          lexicon->phoneme_texts, options.input_markers);
  return write_model(std::move(*ngrams), symbols, path, progress,
                     std::move(report));
}

}  // namespace tamsu

#include "nbest/constrained.h"

#include <algorithm>
#include <utility>

#include <fst/arcsort.h>
#include <fst/shortest-distance.h>

#include "diag/cerr_router.h"
#include "fsa/fsa.h"
#include "nbest/lattice.h"
#include "nbest/phonemes.h"
#include "tokenize/tokenize.h"

namespace tamsu {
namespace {

using Arc = fst::StdArc;
using Weight = Arc::Weight;

// Every output label but epsilon with the phonemes it stands for.
std::vector<std::pair<Label, LabelList>> expansions(const Model &model) {
  std::vector<std::pair<Label, LabelList>> out;
  for (std::size_t label = 1; label < model.osyms->NumSymbols(); ++label) {
    LabelList parts;
    expand_output_label(model, static_cast<Label>(label), parts);
    out.emplace_back(static_cast<Label>(label), std::move(parts));
  }
  return out;
}

// The acceptor of the output-label sequences that spell `phonemes`: in
// state i the first i phonemes are spelled; a label standing for the next
// k of them leads to i + k, one standing for none loops.
fst::StdVectorFst spelling_acceptor(
    const LabelList &phonemes,
    const std::vector<std::pair<Label, LabelList>> &labels) {
  const std::size_t n = phonemes.size();
  fst::StdVectorFst out;
  for (std::size_t i = 0; i <= n; ++i) out.AddState();
  out.SetStart(0);
  out.SetFinal(static_cast<int>(n), Weight::One());
  for (std::size_t i = 0; i <= n; ++i) {
    const auto state = static_cast<int>(i);
    for (const auto &[label, parts] : labels) {
      if (parts.empty()) {
        out.AddArc(state, Arc(label, label, Weight::One(), state));
      } else if (parts.size() <= n - i &&
                 std::equal(parts.begin(), parts.end(),
                            phonemes.begin() + static_cast<long>(i))) {
        out.AddArc(state, Arc(label, label, Weight::One(),
                              static_cast<int>(i + parts.size())));
      }
    }
  }
  sort_arcs_by_input_label(out);
  return out;
}

// The best path's weight of an FST, or empty when it has none.
std::optional<float> best_weight(const fst::StdVectorFst &paths) {
  if (paths.Start() == fst::kNoStateId) return std::nullopt;
  std::vector<Weight> distance;
  fst::ShortestDistance(paths, &distance);
  Weight best = Weight::Zero();
  for (int s = 0; s < static_cast<int>(distance.size()); ++s) {
    best = fst::Plus(best, fst::Times(distance[s], paths.Final(s)));
  }
  if (best == Weight::Zero() || !best.Member()) return std::nullopt;
  return best.Value();
}

DecodeFailure failure_of(const DecodeError &error) {
  switch (error.kind) {
    case DecodeError::Kind::kInterrupted: return DecodeFailure::kInterrupted;
    case DecodeError::Kind::kWorkLimit: return DecodeFailure::kWorkLimit;
    default: return DecodeFailure::kCompositionFailed;
  }
}

}  // namespace

Expected<std::vector<std::optional<float>>, DecodeFailure>
constrained_weights(const Model &model, const std::string &word,
                    const std::vector<std::vector<std::string>> &candidates,
                    const DecodeOptions &options) {
  const LabelList labels = tokenize(word, model.delim, *model.isyms);
  if (labels.empty()) return make_unexpected(DecodeFailure::kNoKnownGraphemes);
  fst::StdVectorFst acceptor =
      build_fsa(labels, model.input_clusters.parts_to_label,
                model.input_clusters.max_parts);
  acceptor.SetInputSymbols(model.isyms.get());
  acceptor.SetOutputSymbols(model.isyms.get());
  const std::uint64_t limit =
      options.limits.max_lattice_size(acceptor.NumStates());
  // OpenFst reports failures on std::cerr as well as in the result; only
  // the result counts here.
  const CerrSilencer silence_openfst;
  auto lattice = build_lattice(std::move(acceptor), model.fst,
                               options.interrupted, limit);
  if (!lattice) return make_unexpected(failure_of(lattice.error()));
  fst::ArcSort(&*lattice, fst::OLabelCompare<Arc>());
  const auto spellings = expansions(model);
  std::vector<std::optional<float>> weights;
  for (const std::vector<std::string> &candidate : candidates) {
    LabelList phonemes;
    for (const std::string &text : candidate) {
      const std::int64_t label = model.osyms->Find(text);
      if (label <= 0) break;
      phonemes.push_back(static_cast<Label>(label));
    }
    if (phonemes.size() != candidate.size() || lattice->NumStates() == 0) {
      weights.emplace_back();
      continue;
    }
    auto joint = build_lattice(*lattice,
                               spelling_acceptor(phonemes, spellings),
                               options.interrupted, limit);
    if (!joint) return make_unexpected(failure_of(joint.error()));
    weights.push_back(best_weight(*joint));
  }
  return weights;
}

std::vector<std::vector<std::optional<float>>> constrained_weights_batch(
    const Model &model, const std::vector<std::string> &words,
    const std::vector<TextCandidates> &candidates, const ParallelRun &run) {
  std::vector<std::vector<std::optional<float>>> results(words.size());
  run_parallel(words.size(), run,
               [&](std::size_t i, const std::function<bool()> &interrupted) {
                 DecodeOptions options;
                 options.interrupted = interrupted;
                 auto weights = constrained_weights(model, words[i],
                                                    candidates[i], options);
                 results[i] = weights
                                  ? std::move(weights).value()
                                  : std::vector<std::optional<float>>(
                                        candidates[i].size());
               });
  for (std::size_t i = 0; i < words.size(); ++i) {  // those not reached
    results[i].resize(candidates[i].size());
  }
  return results;
}

}  // namespace tamsu

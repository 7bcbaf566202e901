#include "nbest/paths.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "nbest/phonemes.h"

namespace tamsu {
namespace {

// The n-shortest result frames every path with 0:0 arcs of weight 0 (and
// closes it with one carrying the lattice's final weight); those within
// this band of 0 are no part of the pronunciation.
constexpr float kEpsilonWeightBand = 0.0009765625f;  // 2^-10

bool is_framing_arc(const fst::StdArc &arc) {
  const float w = arc.weight.Value();
  return arc.ilabel == 0 && arc.olabel == 0 && w <= kEpsilonWeightBand &&
         w + kEpsilonWeightBand >= 0.0f;
}

DecodeError missing_state(std::int64_t state) {
  return DecodeError{DecodeError::Kind::kMissingState, state};
}

}  // namespace

float log_add(float a, float b) {
  if (std::isinf(a)) return b;
  if (std::isinf(b)) return a;
  const float low = std::min(a, b);
  const float high = std::max(a, b);
  return low - std::log1p(std::exp(-(high - low)));
}

void extend_path(PathData &path, const fst::StdArc &arc, const Model &model) {
  if (is_framing_arc(arc)) return;
  expand_output_label(model, static_cast<Label>(arc.olabel), path.uniques);
  path.ilabels.push_back(static_cast<Label>(arc.ilabel));
  path.olabels.push_back(static_cast<Label>(arc.olabel));
  path.path_weights.push_back(arc.weight.Value());
  path.path_weight = arc.weight.Value() + path.path_weight;
}

void insert_path(UniquePaths &collection, PathData path, bool accumulate) {
  const auto found = collection.position.find(path.uniques);
  if (found != collection.position.end()) {
    if (accumulate) {
      float &kept = collection.paths[found->second].path_weight;
      kept = log_add(kept, path.path_weight);
    }
    return;
  }
  collection.position.emplace(path.uniques, collection.paths.size());
  collection.paths.push_back(std::move(path));
}

Expected<UniquePaths, DecodeError> collect_paths(
    const fst::StdVectorFst &result, const Model &model, std::uint64_t nbest,
    bool accumulate) {
  using StateId = fst::StdArc::StateId;
  const StateId num_states = result.NumStates();
  const auto exists = [num_states](StateId s) {
    return s >= 0 && s < num_states;
  };
  const StateId start = result.Start();
  if (!exists(start)) return make_unexpected(missing_state(start));

  UniquePaths collection;
  const std::size_t start_arcs = result.NumArcs(start);
  collection.paths.reserve(
      static_cast<std::size_t>(std::min<std::uint64_t>(nbest, start_arcs)));
  std::size_t length_hint = 0;  // paths of one word have similar lengths
  for (fst::ArcIterator<fst::StdVectorFst> start_arc(result, start);
       !start_arc.Done(); start_arc.Next()) {
    PathData path;
    path.path_weights.reserve(length_hint);
    path.ilabels.reserve(length_hint);
    path.olabels.reserve(length_hint);
    extend_path(path, start_arc.Value(), model);
    StateId s = start_arc.Value().nextstate;
    for (StateId steps = 0;; ++steps) {
      if (!exists(s)) return make_unexpected(missing_state(s));
      if (result.Final(s) != fst::StdArc::Weight::Zero()) break;
      if (result.NumArcs(s) == 0) break;
      if (steps >= num_states) {
        return make_unexpected(
            DecodeError{DecodeError::Kind::kCyclicPath, s});
      }
      const fst::StdArc &arc =
          fst::ArcIterator<fst::StdVectorFst>(result, s).Value();
      extend_path(path, arc, model);
      s = arc.nextstate;
    }
    length_hint = std::max(length_hint, path.ilabels.size());
    insert_path(collection, std::move(path), accumulate);
    if (collection.paths.size() >= nbest) break;
  }
  return collection;
}

std::vector<PathData> select_paths(UniquePaths collection, std::uint64_t beam,
                                   float threshold, double pmass) {
  const bool use_pmass = 99.0 > pmass;
  const bool use_threshold = 99.0f > threshold;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();

  float total = kInfinity;
  if (use_pmass) {
    for (const PathData &path : collection.paths) {
      total = log_add(total, path.path_weight);
    }
  }

  std::vector<PathData> selected;
  selected.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
      collection.paths.size(), std::max<std::uint64_t>(beam, 1))));
  float cum = kInfinity;
  for (PathData &path : collection.paths) {
    float weight = path.path_weight;
    if (use_pmass) {
      weight = weight - total;
      // Before the threshold test: a record left out still counts.
      cum = log_add(cum, weight);
    }
    if (use_threshold && weight > threshold) continue;
    path.path_weight = weight;
    selected.push_back(std::move(path));
    if (use_pmass && pmass > static_cast<double>(cum)) break;
    if (selected.size() >= beam) break;
  }
  return selected;
}

}  // namespace tamsu

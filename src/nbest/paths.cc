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

void extend_phonemes(PathData &path, const fst::StdArc &arc,
                     const Model &model) {
  if (is_framing_arc(arc)) return;
  expand_output_label(model, static_cast<Label>(arc.olabel), path.uniques);
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
  for (fst::ArcIterator<fst::StdVectorFst> start_arc(result, start);
       !start_arc.Done(); start_arc.Next()) {
    // A first pass finds the path's end and length, so that the record's
    // lists are allocated once; the second pass fills them.
    std::size_t length = 1;
    StateId s = start_arc.Value().nextstate;
    for (;; ++length) {
      if (!exists(s)) return make_unexpected(missing_state(s));
      if (result.Final(s) != fst::StdArc::Weight::Zero()) break;
      if (result.NumArcs(s) == 0) break;
      if (static_cast<StateId>(length) > num_states) {
        return make_unexpected(
            DecodeError{DecodeError::Kind::kCyclicPath, s});
      }
      s = fst::ArcIterator<fst::StdVectorFst>(result, s).Value().nextstate;
    }

    PathData path;
    path.path_weights.reserve(length);
    path.ilabels.reserve(length);
    path.olabels.reserve(length);
    path.uniques.reserve(length);
    const fst::StdArc *arc = &start_arc.Value();
    for (std::size_t i = 0; i < length; ++i) {
      extend_path(path, *arc, model);
      if (i + 1 < length) {
        arc = &fst::ArcIterator<fst::StdVectorFst>(result, arc->nextstate)
                   .Value();
      }
    }
    insert_path(collection, std::move(path), accumulate);
    if (collection.paths.size() >= nbest) break;
  }
  return collection;
}

std::vector<PathData> select_paths(UniquePaths collection, std::uint64_t beam,
                                   std::optional<float> threshold,
                                   std::optional<double> pmass) {
  const bool use_pmass = pmass.has_value();
  const bool use_threshold = threshold.has_value();
  constexpr float kInfinity = std::numeric_limits<float>::infinity();

  float total = kInfinity;
  if (use_pmass) {
    for (const PathData &path : collection.paths) {
      total = log_add(total, path.path_weight);
    }
  }

  // Selection keeps records in order, so the kept ones are compacted to
  // the front of the collection's own list, which is then returned.
  std::vector<PathData> &paths = collection.paths;
  std::size_t kept = 0;
  float cum = kInfinity;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    float weight = paths[i].path_weight;
    if (use_pmass) {
      weight = weight - total;
      // Before the threshold test: a record left out still counts.
      cum = log_add(cum, weight);
    }
    if (use_threshold && weight > *threshold) continue;
    if (kept != i) paths[kept] = std::move(paths[i]);
    paths[kept].path_weight = weight;
    ++kept;
    if (use_pmass && *pmass > static_cast<double>(cum)) break;
    if (kept >= beam) break;
  }
  paths.erase(paths.begin() + static_cast<std::ptrdiff_t>(kept), paths.end());
  return std::move(paths);
}

}  // namespace tamsu

#include "model/search_plan.h"

#include <cmath>
#include <limits>

namespace tamsu {
namespace {

using StateId = fst::StdArc::StateId;

bool usable_arc_weight(float w) { return std::isfinite(w); }

// +inf is the tropical zero (not final); a NaN or -inf final weight has no
// meaning either route could agree on.
bool usable_final_weight(float w) {
  return !std::isnan(w) && w != -std::numeric_limits<float>::infinity();
}

}  // namespace

SearchPlan plan_search(const fst::StdVectorFst &fst) {
  SearchPlan plan;
  const StateId num_states = fst.NumStates();
  if (fst.Start() == fst::kNoStateId) {
    plan.refusal = SearchPlan::Refusal::kNoStartState;
    return plan;
  }
  if (fst.Properties(fst::kILabelSorted, false) == 0) {
    plan.refusal = SearchPlan::Refusal::kNotInputSorted;
    return plan;
  }
  // One pass over the FST checks every arc and copies the input-epsilon
  // graph (about one backoff arc per state) into flat arrays, so that the
  // topological sort below never touches the FST's scattered states again.
  const auto states = static_cast<std::size_t>(num_states);
  std::vector<std::uint32_t> epsilon_begin;
  std::vector<StateId> epsilon_target;
  std::vector<std::uint32_t> pending(states, 0);  // epsilon in-degrees
  epsilon_begin.reserve(states + 1);
  epsilon_target.reserve(states);
  for (StateId s = 0; s < num_states; ++s) {
    epsilon_begin.push_back(static_cast<std::uint32_t>(epsilon_target.size()));
    if (!usable_final_weight(fst.Final(s).Value())) {
      plan.refusal = SearchPlan::Refusal::kUnusableWeight;
      return plan;
    }
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next()) {
      const fst::StdArc &arc = it.Value();
      if (arc.ilabel < 0 || arc.olabel < 0) {
        plan.refusal = SearchPlan::Refusal::kNegativeLabel;
        return plan;
      }
      if (!usable_arc_weight(arc.weight.Value())) {
        plan.refusal = SearchPlan::Refusal::kUnusableWeight;
        return plan;
      }
      if (arc.ilabel == 0) {
        epsilon_target.push_back(arc.nextstate);
        ++pending[static_cast<std::size_t>(arc.nextstate)];
      }
    }
  }
  epsilon_begin.push_back(static_cast<std::uint32_t>(epsilon_target.size()));

  // Kahn's algorithm over the epsilon graph.
  std::vector<std::uint32_t> rank(states, 0);
  std::vector<StateId> ready;
  for (StateId s = 0; s < num_states; ++s) {
    if (pending[static_cast<std::size_t>(s)] == 0) ready.push_back(s);
  }
  std::uint32_t next_rank = 0;
  while (!ready.empty()) {
    const auto s = static_cast<std::size_t>(ready.back());
    ready.pop_back();
    rank[s] = next_rank++;
    for (std::uint32_t e = epsilon_begin[s]; e < epsilon_begin[s + 1]; ++e) {
      const StateId t = epsilon_target[e];
      if (--pending[static_cast<std::size_t>(t)] == 0) ready.push_back(t);
    }
  }
  if (next_rank != static_cast<std::uint32_t>(num_states)) {
    plan.refusal = SearchPlan::Refusal::kEpsilonCycle;
    return plan;
  }
  plan.refusal = SearchPlan::Refusal::kNone;
  plan.epsilon_rank = std::move(rank);
  return plan;
}

const char *describe(SearchPlan::Refusal refusal) {
  switch (refusal) {
    case SearchPlan::Refusal::kNone: return "none";
    case SearchPlan::Refusal::kNotPlanned: return "not planned";
    case SearchPlan::Refusal::kNoStartState: return "no start state";
    case SearchPlan::Refusal::kNotInputSorted: return "not input-sorted";
    case SearchPlan::Refusal::kNegativeLabel: return "negative label";
    case SearchPlan::Refusal::kUnusableWeight: return "unusable weight";
    case SearchPlan::Refusal::kEpsilonCycle: return "epsilon cycle";
  }
  return "unknown";
}

}  // namespace tamsu

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

// The input labels `root` reads, when it is the one state without
// input-epsilon arcs (in an acyclic epsilon graph every state then reaches
// it) and final; otherwise nothing.
std::vector<bool> labels_of_root(const SearchPlan &plan) {
  const SearchPlan::State *root = nullptr;
  for (const SearchPlan::State &state : plan.states) {
    const bool has_epsilon =
        state.num_arcs > 0 && plan.arcs[state.arc_begin].ilabel == 0;
    if (has_epsilon) continue;
    if (root) return {};
    root = &state;
  }
  if (!root || root->final_weight == fst::StdArc::Weight::Zero().Value()) {
    return {};
  }
  std::vector<bool> reads(1, false);  // epsilons read nothing
  for (std::uint32_t a = root->arc_begin; a < root->arc_begin + root->num_arcs;
       ++a) {
    const auto label = static_cast<std::size_t>(plan.arcs[a].ilabel);
    if (label >= reads.size()) reads.resize(label + 1, false);
    if (label > 0) reads[label] = true;
  }
  return reads;
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
  const auto states = static_cast<std::size_t>(num_states);
  std::size_t num_arcs = 0;
  for (StateId s = 0; s < num_states; ++s) num_arcs += fst.NumArcs(s);
  if (num_arcs > std::numeric_limits<std::uint32_t>::max()) {
    plan.refusal = SearchPlan::Refusal::kTooLarge;
    return plan;
  }
  // One pass over the FST checks every arc and copies it into the flat
  // layout; the topological sort below then reads only that.
  plan.states.resize(states);
  plan.arcs.reserve(num_arcs);
  std::vector<std::uint32_t> pending(states, 0);  // epsilon in-degrees
  for (StateId s = 0; s < num_states; ++s) {
    const float final_weight = fst.Final(s).Value();
    if (!usable_final_weight(final_weight)) {
      return SearchPlan{SearchPlan::Refusal::kUnusableWeight, {}, {}, {}};
    }
    plan.states[static_cast<std::size_t>(s)] = {
        static_cast<std::uint32_t>(plan.arcs.size()),
        static_cast<std::uint32_t>(fst.NumArcs(s)), final_weight, 0};
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next()) {
      const fst::StdArc &arc = it.Value();
      if (arc.ilabel < 0 || arc.olabel < 0) {
        return SearchPlan{SearchPlan::Refusal::kNegativeLabel, {}, {}, {}};
      }
      if (!usable_arc_weight(arc.weight.Value())) {
        return SearchPlan{SearchPlan::Refusal::kUnusableWeight, {}, {}, {}};
      }
      if (arc.ilabel == 0) ++pending[static_cast<std::size_t>(arc.nextstate)];
      plan.arcs.push_back(arc);
    }
  }

  // Kahn's algorithm over the epsilon graph (epsilons come first among a
  // state's sorted arcs).
  std::vector<StateId> ready;
  for (StateId s = 0; s < num_states; ++s) {
    if (pending[static_cast<std::size_t>(s)] == 0) ready.push_back(s);
  }
  std::uint32_t next_rank = 0;
  while (!ready.empty()) {
    SearchPlan::State &state = plan.states[static_cast<std::size_t>(ready.back())];
    ready.pop_back();
    state.epsilon_rank = next_rank++;
    for (std::uint32_t a = state.arc_begin;
         a < state.arc_begin + state.num_arcs && plan.arcs[a].ilabel == 0; ++a) {
      const StateId t = plan.arcs[a].nextstate;
      if (--pending[static_cast<std::size_t>(t)] == 0) ready.push_back(t);
    }
  }
  if (next_rank != static_cast<std::uint32_t>(num_states)) {
    return SearchPlan{SearchPlan::Refusal::kEpsilonCycle, {}, {}, {}};
  }
  plan.refusal = SearchPlan::Refusal::kNone;
  plan.root_reads = labels_of_root(plan);
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
    case SearchPlan::Refusal::kTooLarge: return "too large";
  }
  return "unknown";
}

}  // namespace tamsu

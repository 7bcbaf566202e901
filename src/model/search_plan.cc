#include "model/search_plan.h"

#include <cmath>
#include <limits>

namespace tamsu {
namespace {

using StateId = fst::StdArc::StateId;

constexpr std::size_t kMaxRootLabel = std::size_t{1} << 20;

bool usable_arc_weight(float w) { return std::isfinite(w); }

// +inf is the tropical zero (not final); a NaN or -inf final weight has no
// meaning either route could agree on.
bool usable_final_weight(float w) {
  return !std::isnan(w) && w != -std::numeric_limits<float>::infinity();
}

// The input labels of the one state without input-epsilon arcs (in an
// acyclic epsilon graph every state then reaches it) if it is final;
// otherwise nothing.
std::vector<bool> labels_of_root(const SearchPlan &plan) {
  const auto &cells = plan.cells;
  std::size_t root = cells.size();
  for (std::size_t c = 0; c < cells.size(); c += 1 + cells[c].header.num_arcs) {
    const bool has_epsilon =
        cells[c].header.num_arcs > 0 && cells[c + 1].arc.ilabel == 0;
    if (has_epsilon) continue;
    if (root != cells.size()) return {};
    root = c;
  }
  if (root == cells.size() ||
      cells[root].header.final_weight == fst::StdArc::Weight::Zero().Value()) {
    return {};
  }
  std::vector<bool> reads(1, false);  // epsilons read nothing
  for (std::size_t c = root + 1; c <= root + cells[root].header.num_arcs; ++c) {
    const auto label = static_cast<std::size_t>(cells[c].arc.ilabel);
    // Words are spelled in labels of the symbol table; a label far beyond
    // any real one is left out (words never skip Connect for it) rather
    // than sizing the table by it.
    if (label >= kMaxRootLabel) continue;
    if (label >= reads.size()) reads.resize(label + 1, false);
    if (label > 0) reads[label] = true;
  }
  return reads;
}

SearchPlan refused(SearchPlan::Refusal refusal) {
  SearchPlan plan;
  plan.refusal = refusal;
  return plan;
}

}  // namespace

SearchPlan plan_search(const fst::StdVectorFst &fst) {
  const StateId num_states = fst.NumStates();
  if (fst.Start() == fst::kNoStateId) {
    return refused(SearchPlan::Refusal::kNoStartState);
  }
  if (fst.Properties(fst::kILabelSorted, false) == 0) {
    return refused(SearchPlan::Refusal::kNotInputSorted);
  }
  const auto states = static_cast<std::size_t>(num_states);
  std::size_t num_cells = states;
  for (StateId s = 0; s < num_states; ++s) num_cells += fst.NumArcs(s);
  if (num_cells > std::numeric_limits<std::uint32_t>::max()) {
    return refused(SearchPlan::Refusal::kTooLarge);
  }
  // One pass over the FST checks every arc and copies it into the flat
  // layout; the rest reads only that.
  SearchPlan plan;
  plan.cells.reserve(num_cells);
  std::vector<std::uint32_t> cell_of(states);
  std::vector<std::uint32_t> pending(states, 0);  // epsilon in-degrees
  for (StateId s = 0; s < num_states; ++s) {
    const float final_weight = fst.Final(s).Value();
    if (!usable_final_weight(final_weight)) {
      return refused(SearchPlan::Refusal::kUnusableWeight);
    }
    cell_of[static_cast<std::size_t>(s)] =
        static_cast<std::uint32_t>(plan.cells.size());
    SearchPlan::Cell header;
    header.header = {static_cast<std::uint32_t>(fst.NumArcs(s)), 0,
                     final_weight, s};
    plan.cells.push_back(header);
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next()) {
      const fst::StdArc &arc = it.Value();
      if (arc.ilabel < 0 || arc.olabel < 0) {
        return refused(SearchPlan::Refusal::kNegativeLabel);
      }
      if (!usable_arc_weight(arc.weight.Value())) {
        return refused(SearchPlan::Refusal::kUnusableWeight);
      }
      if (arc.ilabel == 0) ++pending[static_cast<std::size_t>(arc.nextstate)];
      SearchPlan::Cell cell;
      cell.arc = {arc.ilabel, arc.olabel, arc.weight.Value(),
                  static_cast<std::uint32_t>(arc.nextstate)};
      plan.cells.push_back(cell);
    }
  }
  for (std::size_t c = 0; c < plan.cells.size();) {
    const std::size_t end = c + 1 + plan.cells[c].header.num_arcs;
    for (++c; c < end; ++c) plan.cells[c].arc.next = cell_of[plan.cells[c].arc.next];
  }
  plan.start_cell = cell_of[static_cast<std::size_t>(fst.Start())];

  // Kahn's algorithm over the epsilon graph (epsilons come first among a
  // state's sorted arcs).
  std::vector<StateId> ready;
  for (StateId s = 0; s < num_states; ++s) {
    if (pending[static_cast<std::size_t>(s)] == 0) ready.push_back(s);
  }
  std::uint32_t next_rank = 0;
  while (!ready.empty()) {
    const std::uint32_t c = cell_of[static_cast<std::size_t>(ready.back())];
    ready.pop_back();
    SearchPlan::Header &header = plan.cells[c].header;
    header.epsilon_rank = next_rank++;
    for (std::uint32_t a = c + 1;
         a <= c + header.num_arcs && plan.cells[a].arc.ilabel == 0; ++a) {
      const StateId t = plan.cells[plan.cells[a].arc.next].header.state;
      if (--pending[static_cast<std::size_t>(t)] == 0) ready.push_back(t);
    }
  }
  if (next_rank != static_cast<std::uint32_t>(num_states)) {
    return refused(SearchPlan::Refusal::kEpsilonCycle);
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

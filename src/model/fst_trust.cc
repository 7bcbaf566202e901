#include "model/fst_trust.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include <fst/properties.h>

namespace tamsu {
namespace {

using StateId = fst::StdArc::StateId;

// Bellman-Ford rounds times arcs, over all cycles: about a second's work.
// Real models have no epsilon cycles at all; only a hostile file gets near.
constexpr std::uint64_t kMaxRelaxations = std::uint64_t{1} << 27;

struct EpsilonArc {
  StateId from;
  StateId to;
  double weight;
};

// The input-epsilon arcs that can be followed, by source state (CSR).
struct EpsilonGraph {
  std::vector<std::size_t> first;  // arcs of s: [first[s], first[s + 1])
  std::vector<EpsilonArc> arcs;
};

bool followable(float weight) {
  return !std::isnan(weight) && weight != fst::StdArc::Weight::Zero().Value();
}

EpsilonGraph epsilon_graph(const fst::StdVectorFst &fst) {
  EpsilonGraph graph;
  const StateId num_states = fst.NumStates();
  graph.first.assign(static_cast<std::size_t>(num_states) + 1, 0);
  std::size_t count = 0;
  for (StateId s = 0; s < num_states; ++s) count += fst.NumInputEpsilons(s);
  graph.arcs.reserve(count);
  for (StateId s = 0; s < num_states; ++s) {
    graph.first[s] = graph.arcs.size();
    // Files are usually sorted by input label: epsilons come first.
    std::size_t epsilons = fst.NumInputEpsilons(s);
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s);
         epsilons > 0 && !it.Done(); it.Next()) {
      const auto &arc = it.Value();
      if (arc.ilabel != 0) continue;
      --epsilons;
      if (followable(arc.weight.Value())) {
        graph.arcs.push_back({s, arc.nextstate, arc.weight.Value()});
      }
    }
  }
  graph.first[num_states] = graph.arcs.size();
  return graph;
}

// Strongly connected components of the epsilon graph (Tarjan's algorithm
// without recursion: epsilon chains can be as long as the FST).
std::vector<std::vector<StateId>> cyclic_components(const EpsilonGraph &graph) {
  const std::size_t n = graph.first.size() - 1;
  constexpr std::size_t kUnvisited = static_cast<std::size_t>(-1);
  std::vector<std::size_t> index(n, kUnvisited);
  std::vector<std::size_t> low(n, 0);
  std::vector<bool> on_stack(n, false);
  std::vector<StateId> stack;
  std::vector<std::pair<StateId, std::size_t>> calls;  // state, next arc
  std::vector<std::vector<StateId>> components;
  std::size_t counter = 0;
  for (std::size_t root = 0; root < n; ++root) {
    if (index[root] != kUnvisited || graph.first[root] == graph.first[root + 1]) {
      continue;
    }
    calls.emplace_back(static_cast<StateId>(root), graph.first[root]);
    index[root] = low[root] = counter++;
    stack.push_back(static_cast<StateId>(root));
    on_stack[root] = true;
    while (!calls.empty()) {
      auto &[s, next] = calls.back();
      if (next < graph.first[s + 1]) {
        const StateId t = graph.arcs[next++].to;
        if (index[t] == kUnvisited) {
          index[t] = low[t] = counter++;
          stack.push_back(t);
          on_stack[t] = true;
          calls.emplace_back(t, graph.first[t]);
        } else if (on_stack[t]) {
          low[s] = std::min(low[s], index[t]);
        }
        continue;
      }
      const StateId done = s;
      calls.pop_back();
      if (!calls.empty()) {
        const StateId parent = calls.back().first;
        low[parent] = std::min(low[parent], low[done]);
      }
      if (low[done] != index[done]) continue;
      auto members = stack.end();
      do {
        --members;
        on_stack[*members] = false;
      } while (*members != done);
      bool self_loop = false;
      for (std::size_t a = graph.first[done]; a < graph.first[done + 1]; ++a) {
        self_loop = self_loop || graph.arcs[a].to == done;
      }
      // Most components are single states without a loop: no copy for them.
      if (stack.end() - members > 1 || self_loop) {
        components.emplace_back(members, stack.end());
      }
      stack.erase(members, stack.end());
    }
  }
  return components;
}

struct TooEntangled {};
using CycleSearch = std::variant<std::monostate, StateId, TooEntangled>;

// Whether a cycle's total lies below zero by more than rounding (minus
// infinity included).
bool negative_total(double total, double magnitude) {
  return total == -HUGE_VAL ||
         (std::isfinite(magnitude) && total < -1e-9 * (1.0 + magnitude));
}

// When no state has two epsilon arcs, as in a backoff model (one arc to the
// shorter history per state), the epsilon arcs form chains that each end in
// at most one cycle: following them finds every cycle in linear time, with
// no graph to build. Nothing when some state has two epsilon arcs.
std::optional<CycleSearch> single_arc_cycle(const fst::StdVectorFst &fst) {
  const StateId num_states = fst.NumStates();
  std::vector<StateId> next(static_cast<std::size_t>(num_states),
                            fst::kNoStateId);
  std::vector<float> weight(static_cast<std::size_t>(num_states), 0.0f);
  for (StateId s = 0; s < num_states; ++s) {
    const std::size_t epsilons = fst.NumInputEpsilons(s);
    if (epsilons == 0) continue;
    if (epsilons > 1) return std::nullopt;
    // Files are usually sorted by input label: the epsilon comes first.
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next()) {
      const auto &arc = it.Value();
      if (arc.ilabel != 0) continue;
      if (followable(arc.weight.Value())) {
        next[s] = arc.nextstate;
        weight[s] = arc.weight.Value();
      }
      break;
    }
  }
  enum : std::uint8_t { kNew, kOnWalk, kDone };
  std::vector<std::uint8_t> mark(static_cast<std::size_t>(num_states), kNew);
  for (StateId s = 0; s < num_states; ++s) {
    StateId t = s;
    while (t != fst::kNoStateId && mark[t] == kNew) {
      mark[t] = kOnWalk;
      t = next[t];
    }
    if (t != fst::kNoStateId && mark[t] == kOnWalk) {
      double total = 0.0;
      double magnitude = 0.0;
      StateId u = t;
      do {
        total += weight[u];
        magnitude += std::fabs(weight[u]);
        u = next[u];
      } while (u != t);
      if (negative_total(total, magnitude)) return CycleSearch(t);
    }
    for (t = s; t != fst::kNoStateId && mark[t] == kOnWalk; t = next[t]) {
      mark[t] = kDone;
    }
  }
  return CycleSearch();
}

// Bellman-Ford within one component: a distance that still drops after as
// many rounds as the component has states lies behind a negative cycle;
// walking back that many predecessors lands on the cycle. `local` maps
// states to their index in the component (or -1 outside it).
CycleSearch negative_cycle_in(const EpsilonGraph &graph,
                              const std::vector<StateId> &component,
                              std::vector<std::int64_t> &local,
                              std::uint64_t &relaxations) {
  const std::size_t size = component.size();
  for (std::size_t i = 0; i < size; ++i) local[component[i]] = i;
  struct Arc {
    std::size_t from;
    std::size_t to;
    double weight;
  };
  std::vector<Arc> arcs;
  CycleSearch found;
  for (StateId s : component) {
    for (std::size_t a = graph.first[s]; a < graph.first[s + 1]; ++a) {
      const EpsilonArc &arc = graph.arcs[a];
      if (local[arc.to] < 0) continue;
      // Minus infinity on a cycle: no finite weight can tell it apart.
      if (std::isinf(arc.weight)) found = arc.from;
      arcs.push_back({static_cast<std::size_t>(local[s]),
                      static_cast<std::size_t>(local[arc.to]), arc.weight});
    }
  }
  std::vector<double> distance(size, 0.0);
  std::vector<std::size_t> predecessor(size, 0);
  for (std::size_t round = 0;
       std::holds_alternative<std::monostate>(found) && round < size;
       ++round) {
    relaxations += arcs.size();
    if (relaxations > kMaxRelaxations) {
      found = TooEntangled{};
      break;
    }
    std::size_t lowered = size;
    for (const Arc &arc : arcs) {
      const double through = distance[arc.from] + arc.weight;
      double &to = distance[arc.to];
      // Rounding of a zero-weight cycle must not count as a drop.
      if (negative_total(through - to, std::fabs(to))) {
        to = through;
        predecessor[arc.to] = arc.from;
        lowered = arc.to;
      }
    }
    if (lowered == size) break;
    if (round + 1 == size) {
      for (std::size_t step = 0; step < size; ++step) {
        lowered = predecessor[lowered];
      }
      found = component[lowered];
    }
  }
  for (StateId s : component) local[s] = -1;
  return found;
}

// A state on a negative cycle of epsilon arcs, or why none can be named.
CycleSearch negative_epsilon_cycle(const fst::StdVectorFst &fst) {
  if (auto found = single_arc_cycle(fst)) return *found;
  const EpsilonGraph graph = epsilon_graph(fst);
  std::vector<std::int64_t> local(graph.first.size() - 1, -1);
  std::uint64_t relaxations = 0;
  for (const auto &component : cyclic_components(graph)) {
    CycleSearch found = negative_cycle_in(graph, component, local, relaxations);
    if (!std::holds_alternative<std::monostate>(found)) return found;
  }
  return {};
}

}  // namespace

std::optional<std::string> find_nan_weight(const fst::StdVectorFst &fst,
                                           const std::string &path) {
  for (StateId s = 0; s < fst.NumStates(); ++s) {
    if (std::isnan(fst.Final(s).Value())) {
      return path + ": the final weight of state " + std::to_string(s) +
             " is NaN (not a number)";
    }
    std::size_t position = 0;
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next(), ++position) {
      if (std::isnan(it.Value().weight.Value())) {
        return path + ": arc " + std::to_string(position) + " of state " +
               std::to_string(s) + " has a NaN weight (not a number)";
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> make_fst_safe_to_decode(fst::StdVectorFst &fst,
                                                   const std::string &path) {
  if (fst.Properties(fst::kError, false) != 0) {
    return path + ": the file marks the FST as failed (error property set)";
  }
  bool acceptor = true;
  for (StateId s = 0; s < fst.NumStates() && acceptor; ++s) {
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      if (it.Value().ilabel != it.Value().olabel) {
        acceptor = false;
        break;
      }
    }
  }
  fst.SetProperties(fst::kExpanded | fst::kMutable |
                        (acceptor ? fst::kAcceptor : fst::kNotAcceptor),
                    fst::kFstProperties);

  const CycleSearch found = negative_epsilon_cycle(fst);
  if (std::holds_alternative<TooEntangled>(found)) {
    return path + ": cycles of epsilon arcs too entangled to check for "
                  "negative weight";
  }
  if (const auto *state = std::get_if<StateId>(&found)) {
    return path + ": epsilon arcs form a cycle of negative weight through "
                  "state " + std::to_string(*state) +
           " (a search reaching it would never end)";
  }
  return std::nullopt;
}

}  // namespace tamsu

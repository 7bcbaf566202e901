#include "nbest/lattice_search.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include <fst/float-weight.h>

#include "nbest/interrupt_poll.h"
#include "nbest/pair_table.h"
#include "nbest/search.h"

namespace tamsu {
namespace {

using Weight = fst::TropicalWeight;
using StateId = std::int32_t;

// The word acceptor as flat arrays: position i's arcs are
// arcs[begin[i], begin[i + 1]).
struct Acceptor {
  struct Arc {
    std::int32_t label;
    std::int32_t next;
  };
  std::vector<std::uint32_t> begin;
  std::vector<Arc> arcs;
  bool sorted = false;  // arcs recorded as sorted by label

  // The last position, the acceptor's final state.
  std::int32_t last() const { return static_cast<std::int32_t>(begin.size()) - 2; }
};

// The composition before Connect: states in the order OpenFst's expansion
// numbers them (breadth first, each state's arcs in OrderedExpand's order).
struct RawLattice {
  std::vector<std::int32_t> position;
  std::vector<std::uint32_t> model_state;  // its header cell
  std::vector<std::uint32_t> arc_begin;
  std::vector<WordLattice::Arc> arcs;
  std::vector<float> final_weight;
};

// How many states ahead of the one being expanded the composition
// prefetches the model state's arcs beyond the first few (its header and
// first arcs are prefetched as soon as the state is found): about the
// latency of a miss to memory in states' worth of work.
constexpr std::size_t kPrefetchAhead = 8;

// ComposeFst with sorted matchers and the sequence filter, expanded state by
// state. The acceptor has no epsilons, so every model epsilon move is
// allowed (filter state 0) and only (position, model state) tells states
// apart. The model is read from the plan's flat layout; a model state is
// named by its header cell.
class Composer {
 public:
  Composer(const Model &model, const Acceptor &acceptor, RawLattice &raw)
      : cells_(model.search_plan.cells.data()),
        num_cells_(model.search_plan.cells.size()),
        start_cell_(model.search_plan.start_cell),
        acceptor_(acceptor),
        last_(acceptor.last()),
        // Backoff lattices hold some dozens of states per letter.
        table_(acceptor.begin.size() * 64),
        raw_(raw) {
    const std::size_t positions = acceptor.begin.size();
    raw.position.reserve(positions * 32);
    raw.model_state.reserve(positions * 32);
    raw.arc_begin.reserve(positions * 32 + 1);
    raw.final_weight.reserve(positions * 32);
    raw.arcs.reserve(positions * 64);
  }

  // Expands every state; counts states plus arcs expanded in `size`, as
  // build_lattice does, and stops once they exceed `max_size`.
  std::optional<LatticeRefusal> expand(InterruptPoll &poll,
                                       std::uint64_t max_size,
                                       std::uint64_t &size) {
    find_state(0, start_cell_);
    for (std::size_t s = 0; s < raw_.position.size(); ++s) {
      if (poll.tick()) return LatticeRefusal::kInterrupted;
      prefetch(s);
      const std::size_t arcs_before = raw_.arcs.size();
      expand_state(s);
      size += 1 + (raw_.arcs.size() - arcs_before);
      if (size > max_size) return LatticeRefusal::kWorkLimit;
    }
    raw_.arc_begin.push_back(static_cast<std::uint32_t>(raw_.arcs.size()));
    return std::nullopt;
  }

 private:
  // The states waiting in the queue are known: their arcs beyond the
  // first cache line are fetched before they are needed.
  void prefetch(std::size_t s) const {
    if (s + kPrefetchAhead < raw_.model_state.size()) {
      const std::uint32_t c = raw_.model_state[s + kPrefetchAhead];
      if (cells_[c].header.num_arcs > 3) __builtin_prefetch(&cells_[c + 4]);
    }
  }

  StateId find_state(std::int32_t i, std::uint32_t c) {
    const auto key =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(i)) << 32) | c;
    const auto fresh = static_cast<StateId>(raw_.position.size());
    const StateId s = table_.find_or_add(key, fresh);
    if (s == fresh) {
      raw_.position.push_back(i);
      raw_.model_state.push_back(c);
      // Read when the state is expanded: its header and first arcs.
      __builtin_prefetch(&cells_[c]);
      if (c + 3 < num_cells_) __builtin_prefetch(&cells_[c + 3]);
    }
    return s;
  }

  void add_arc(std::int32_t ilabel, const SearchPlan::Arc &arc,
               std::int32_t i) {
    raw_.arcs.push_back(WordLattice::Arc{
        ilabel, arc.olabel,
        fst::Times(Weight::One(), Weight(arc.weight)).Value(),
        find_state(i, arc.next)});
  }

  // Per state, OpenFst matches on the model (MatchInput) unless both sides
  // are sorted and the acceptor state has more arcs than the model state;
  // the side it iterates decides the arc order.
  void expand_state(std::size_t s) {
    const std::int32_t i = raw_.position[s];
    const std::uint32_t c = raw_.model_state[s];
    const SearchPlan::Header &header = cells_[c].header;
    raw_.arc_begin.push_back(static_cast<std::uint32_t>(raw_.arcs.size()));
    raw_.final_weight.push_back(
        i == last_
            ? fst::Times(Weight::One(), Weight(header.final_weight)).Value()
            : Weight::Zero().Value());

    const SearchPlan::Cell *begin = cells_ + c + 1;
    const SearchPlan::Cell *end = begin + header.num_arcs;
    const Acceptor::Arc *here = acceptor_.arcs.data() + acceptor_.begin[i];
    const Acceptor::Arc *here_end =
        acceptor_.arcs.data() + acceptor_.begin[static_cast<std::size_t>(i) + 1];
    if (!acceptor_.sorted ||
        here_end - here <= static_cast<std::ptrdiff_t>(header.num_arcs)) {
      // The model's epsilon arcs first, then each acceptor arc's matches.
      for (const SearchPlan::Cell *a = begin; a != end && a->arc.ilabel == 0;
           ++a) {
        add_arc(0, a->arc, i);
      }
      for (const Acceptor::Arc *arc1 = here; arc1 != here_end; ++arc1) {
        const SearchPlan::Cell *a = std::lower_bound(
            begin, end, arc1->label,
            [](const SearchPlan::Cell &cell, std::int32_t label) {
              return cell.arc.ilabel < label;
            });
        for (; a != end && a->arc.ilabel == arc1->label; ++a) {
          add_arc(arc1->label, a->arc, arc1->next);
        }
      }
      return;
    }
    // Each model arc in order, with the acceptor arcs it matches; an
    // epsilon arc matches the acceptor's implicit self-loop.
    for (const SearchPlan::Cell *a = begin; a != end; ++a) {
      if (a->arc.ilabel == 0) {
        add_arc(0, a->arc, i);
        continue;
      }
      for (const Acceptor::Arc *arc1 = here; arc1 != here_end; ++arc1) {
        if (arc1->label == a->arc.ilabel) add_arc(arc1->label, a->arc, arc1->next);
      }
    }
  }

  const SearchPlan::Cell *const cells_;
  const std::size_t num_cells_;
  const std::uint32_t start_cell_;
  const Acceptor &acceptor_;
  const std::int32_t last_;  // the acceptor's final position
  PairTable table_;
  RawLattice &raw_;
};

// Whether Connect would keep every state of the word's raw lattice: the
// model has a final root that every state reaches over epsilons, and every
// position but the last has an arc forward whose label the root reads.
// From any state, the root's arcs then lead on position by position to
// the last, where the root is final.
bool connect_keeps_all(const Acceptor &acceptor, const SearchPlan &plan) {
  const std::vector<bool> &reads = plan.root_reads;
  if (reads.empty()) return false;
  for (std::int32_t i = 0; i < acceptor.last(); ++i) {
    bool onward = false;
    const auto position = static_cast<std::size_t>(i);
    for (std::uint32_t a = acceptor.begin[position];
         !onward && a < acceptor.begin[position + 1]; ++a) {
      const Acceptor::Arc &arc = acceptor.arcs[a];
      onward = static_cast<std::size_t>(arc.label) < reads.size() &&
               reads[static_cast<std::size_t>(arc.label)] &&
               arc.next > i;
    }
    if (!onward) return false;
  }
  return true;
}

// Connect: keeps the states from which a final state can be reached (all
// are reachable from the start), renumbered in their old order, with the
// arcs between them in their old order. Coaccessibility is settled in a
// topological order: by position, then by the model state's epsilon rank.
void connect(const RawLattice &raw, const SearchPlan &plan,
             WordLattice &lattice) {
  const std::size_t num_raw = raw.position.size();
  // Sorting (position, rank) keys with the state alongside keeps the sort
  // within one contiguous array.
  std::vector<std::pair<std::uint64_t, std::int32_t>> keyed(num_raw);
  for (std::size_t s = 0; s < num_raw; ++s) {
    const std::uint32_t rank =
        plan.cells[raw.model_state[s]].header.epsilon_rank;
    keyed[s] = {(static_cast<std::uint64_t>(raw.position[s]) << 32) | rank,
                static_cast<std::int32_t>(s)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::int32_t> order(num_raw);
  for (std::size_t s = 0; s < num_raw; ++s) order[s] = keyed[s].second;
  std::vector<char> keep(num_raw, 0);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const auto s = static_cast<std::size_t>(*it);
    bool coaccessible = raw.final_weight[s] != Weight::Zero().Value();
    for (std::uint32_t a = raw.arc_begin[s];
         !coaccessible && a < raw.arc_begin[s + 1]; ++a) {
      coaccessible = keep[static_cast<std::size_t>(raw.arcs[a].next)] != 0;
    }
    keep[s] = coaccessible ? 1 : 0;
  }
  if (num_raw == 0 || !keep[0]) return;  // no successful path

  std::vector<std::int32_t> renumber(num_raw, -1);
  std::int32_t kept = 0;
  for (std::size_t s = 0; s < num_raw; ++s) {
    if (keep[s]) renumber[s] = kept++;
  }
  lattice.arc_begin.reserve(static_cast<std::size_t>(kept) + 1);
  lattice.final_weight.reserve(static_cast<std::size_t>(kept));
  for (std::size_t s = 0; s < num_raw; ++s) {
    if (!keep[s]) continue;
    lattice.arc_begin.push_back(static_cast<std::uint32_t>(lattice.arcs.size()));
    lattice.final_weight.push_back(raw.final_weight[s]);
    for (std::uint32_t a = raw.arc_begin[s]; a < raw.arc_begin[s + 1]; ++a) {
      WordLattice::Arc arc = raw.arcs[a];
      if (!keep[static_cast<std::size_t>(arc.next)]) continue;
      arc.next = renumber[static_cast<std::size_t>(arc.next)];
      lattice.arcs.push_back(arc);
    }
  }
  lattice.arc_begin.push_back(static_cast<std::uint32_t>(lattice.arcs.size()));
}

// OpenFst's ShortestDistance with its automatic queue, as ShortestPath
// runs it on the lattice. The lattice's stored properties leave acyclicity
// unknown, so the queue orders states by the strongly connected components
// a depth-first search from the start finds (arcs in stored order): for an
// acyclic lattice, reverse postorder. An arc improves a state's distance
// only by more than delta, so near-equal ways into a state keep whichever
// that order offers first; the replay below offers them in the same order.
// (A lattice whose arcs all weigh 0 gets a LIFO queue instead; every
// distance is then 0 in any order.) Fails when a distance overflows.
bool compute_distance(WordLattice &lattice) {
  const auto num_states = static_cast<std::size_t>(lattice.num_states());
  const std::vector<std::int32_t> postorder = depth_first_postorder(lattice);

  std::vector<Weight> distance(num_states, Weight::Zero());
  distance[0] = Weight::One();
  for (auto it = postorder.rbegin(); it != postorder.rend(); ++it) {
    const auto s = static_cast<std::size_t>(*it);
    const Weight here = distance[s];
    if (!std::isfinite(here.Value())) return false;
    for (std::uint32_t a = lattice.arc_begin[s]; a < lattice.arc_begin[s + 1];
         ++a) {
      const WordLattice::Arc &arc = lattice.arcs[a];
      Weight &best = distance[static_cast<std::size_t>(arc.next)];
      const Weight offer = fst::Times(here, Weight(arc.weight));
      if (!fst::ApproxEqual(best, fst::Plus(best, offer), kShortestPathDelta)) {
        best = fst::Plus(best, offer);
      }
    }
  }
  lattice.distance.resize(num_states);
  for (std::size_t s = 0; s < num_states; ++s) {
    lattice.distance[s] = distance[s].Value();
  }
  return true;
}

// The reversed lattice as OpenFst's Reverse builds it: state 0 is a new
// initial state with one arc per final state (in state order), and state
// t + 1 has one arc per lattice arc into t, ordered by source state and
// then by the arc's place among the source's arcs.
struct ReversedLattice {
  struct Arc {
    std::int32_t next;    // reversed state: lattice source + 1, or final + 1
    std::int32_t arc;     // lattice arc index, or -1 for a final-weight arc
    float weight;
  };
  std::vector<std::uint32_t> arc_begin;
  std::vector<Arc> arcs;
  std::vector<Weight> distance;  // by reversed state, as NShortestPath reads
};

ReversedLattice reverse(const WordLattice &lattice) {
  const std::size_t num_states = lattice.final_weight.size();
  ReversedLattice reversed;
  std::vector<std::uint32_t> count(num_states + 2, 0);
  for (std::size_t s = 0; s < num_states; ++s) {
    if (lattice.final_weight[s] != Weight::Zero().Value()) ++count[1];
  }
  for (const WordLattice::Arc &arc : lattice.arcs) {
    ++count[static_cast<std::size_t>(arc.next) + 2];
  }
  reversed.arc_begin.assign(num_states + 2, 0);
  for (std::size_t r = 1; r < num_states + 2; ++r) {
    reversed.arc_begin[r] = reversed.arc_begin[r - 1] + count[r];
  }
  reversed.arcs.resize(reversed.arc_begin[num_states + 1]);
  std::vector<std::uint32_t> fill(reversed.arc_begin.begin(),
                                  reversed.arc_begin.end() - 1);
  for (std::size_t s = 0; s < num_states; ++s) {
    const auto source = static_cast<std::int32_t>(s) + 1;
    const float final_weight = lattice.final_weight[s];
    if (final_weight != Weight::Zero().Value()) {
      reversed.arcs[fill[0]++] = {source, -1, final_weight};
    }
    for (std::uint32_t a = lattice.arc_begin[s]; a < lattice.arc_begin[s + 1];
         ++a) {
      const auto target = static_cast<std::size_t>(lattice.arcs[a].next) + 1;
      reversed.arcs[fill[target]++] = {source, static_cast<std::int32_t>(a),
                                       lattice.arcs[a].weight};
    }
  }
  // ShortestPath puts the distance of the whole lattice in front.
  reversed.distance.reserve(num_states + 1);
  Weight total = Weight::Zero();
  for (std::uint32_t a = reversed.arc_begin[0]; a < reversed.arc_begin[1];
       ++a) {
    const ReversedLattice::Arc &arc = reversed.arcs[a];
    total = fst::Plus(
        total, fst::Times(Weight(arc.weight),
                          Weight(lattice.distance[arc.next - 1])));
  }
  reversed.distance.push_back(total);
  for (float d : lattice.distance) reversed.distance.emplace_back(d);
  return reversed;
}

// One run of OpenFst's NShortestPath over the reversed lattice, step for
// step: the same pairs, the same heap operations with the same comparison,
// the same per-state pruning. Each completed path is handed out as soon as
// the heap yields it, in the order the result's start arcs would have.
class NShortestReplay {
 public:
  NShortestReplay(const WordLattice &lattice, const ReversedLattice &reversed,
                  std::int32_t nshortest, std::uint64_t max_pairs)
      : lattice_(lattice),
        reversed_(reversed),
        nshortest_(nshortest),
        max_pairs_(max_pairs) {
    // About as many pairs as the lattice has arcs for most words: grown
    // from there without copying a small start over and over.
    pairs_.reserve(reversed.arcs.size() + 2);
    heap_.reserve(reversed.arcs.size() + 2);
    // The result's start state and its one final state come first.
    pairs_.push_back({Weight::Zero().Value(), Weight::Zero().Value(),
                      fst::kNoStateId, -1, -1});
    pairs_.push_back({reversed.distance[0].Value(), Weight::One().Value(), 0,
                      -1, -1});
    heap_.push_back({reversed.distance[0].Value(), 1});
    counts_.assign(reversed.arc_begin.size(), 0);
  }

  // Raises the request and its pair limit (never lowered); only valid
  // while nothing has been pruned, since a run with the larger request
  // would have made the same steps so far.
  void raise_request(std::int32_t nshortest, std::uint64_t max_pairs) {
    nshortest_ = nshortest;
    max_pairs_ = max_pairs;
  }
  bool pruned() const { return pruned_; }
  std::int32_t found() const { return counts_[0]; }
  std::uint64_t pairs() const { return pairs_.size(); }

  // Advances to the next completed path; returns its result state, or -1
  // when the run is over (heap empty, or nshortest paths found) or was
  // stopped (`stop` then says why).
  std::int32_t next(InterruptPoll &poll, std::optional<LatticeRefusal> &stop) {
    const Compare compare{};
    while (!heap_.empty() && counts_[0] < nshortest_) {
      if (poll.tick()) {
        stop = LatticeRefusal::kInterrupted;
        return -1;
      }
      pop_heap(compare);
      const std::int32_t state = heap_.back().pair();
      const Pair p = pairs_[static_cast<std::size_t>(state)];
      heap_.pop_back();
      // OpenFst's state threshold: from here on it would skip every pop.
      if (pairs_.size() >= max_pairs_) {
        stop = LatticeRefusal::kWorkLimit;
        return -1;
      }
      const int count = ++counts_[static_cast<std::size_t>(p.reversed + 1)];
      if (p.reversed == fst::kNoStateId) return state;
      if (count > nshortest_) {
        pruned_ = true;
        continue;
      }
      for (std::uint32_t a = reversed_.arc_begin[p.reversed];
           a < reversed_.arc_begin[p.reversed + 1]; ++a) {
        const ReversedLattice::Arc &arc = reversed_.arcs[a];
        push(arc.next, p.weight + arc.weight, state,
             static_cast<std::int32_t>(a), compare);
      }
      // Only the lattice's start (reversed state 1) is final in the
      // reversed lattice, with weight one.
      if (p.reversed == 1) {
        push(fst::kNoStateId, p.weight, state, kStartLink, compare);
      }
    }
    return -1;
  }

  // Appends the arcs of the path ending in result state `state` to `path`
  // as collect_paths would walk them, with `extend` (extend_path, or
  // extend_phonemes for the phonemes alone).
  // Returns the number of steps walked.
  template <class Extend>
  std::size_t extend(PathData &path, std::int32_t state, const Model &model,
                     Extend &&extend) const {
    std::size_t steps = 0;
    for (std::int32_t s = state; s != 1; s = pairs_[s].parent, ++steps) {
      const Pair &pair = pairs_[static_cast<std::size_t>(s)];
      // The 0:0 arcs of weight one that frame a path are never recorded.
      if (pair.arc == kStartLink) continue;
      const ReversedLattice::Arc &arc = reversed_.arcs[pair.arc];
      if (arc.arc < 0) {
        extend(path, fst::StdArc(0, 0, arc.weight, 0), model);
      } else {
        const WordLattice::Arc &lattice_arc = lattice_.arcs[arc.arc];
        extend(path,
               fst::StdArc(lattice_arc.ilabel, lattice_arc.olabel,
                           lattice_arc.weight, 0),
               model);
      }
    }
    return steps;
  }

 private:
  static constexpr std::int32_t kStartLink = -2;
  // NShortestPath's (state, weight) pair, with what the result would hold
  // for it: the arc to its parent's result state.
  struct Pair {
    float key;     // Times(distance of `reversed`, weight): the heap order
    float weight;  // cost from the reversed start
    std::int32_t reversed;  // reversed state, kNoStateId once completed
    std::int32_t parent;    // result state this one's arc leads to
    std::int32_t arc;       // reversed arc index, or kStartLink
  };

  // A pair as the heap holds it: its key, and its index with the sign bit
  // set once completed, so that comparisons never read the pairs.
  struct Entry {
    float key;
    std::int32_t tagged;
    bool done() const { return tagged < 0; }
    std::int32_t pair() const { return tagged < 0 ? ~tagged : tagged; }
  };

  // OpenFst's ShortestPathCompare (delta 1e-6) on precomputed keys, for
  // weights that are never NaN: NaturalLess is then plain <, and a
  // completed path goes first among keys within delta of each other.
  struct Compare {
    bool operator()(const Entry &x, const Entry &y) const {
      const bool x_done = x.done();
      const bool y_done = y.done();
      const float wx = x.key;
      const float wy = y.key;
      if (x_done == y_done) return wy < wx;
      const bool near = wx <= wy + kShortestPathDelta && wy <= wx + kShortestPathDelta;
      return x_done ? (wy < wx || near) : (wy < wx && !near);
    }
  };

  // std::pop_heap's steps exactly (libstdc++: the hole goes down to a
  // leaf by the better child, then the last entry goes up from there), so
  // that ties come out as OpenFst's search has them, with the children two
  // levels down fetched while one level is compared: the heap outgrows the
  // first-level cache and each level would otherwise wait on the last.
  void pop_heap(const Compare &compare) {
    Entry *first = heap_.data();
    const std::ptrdiff_t len = static_cast<std::ptrdiff_t>(heap_.size()) - 1;
    if (len < 1) return;
    const Entry value = first[len];
    first[len] = first[0];
    std::ptrdiff_t hole = 0;
    std::ptrdiff_t child = 0;
    while (child < (len - 1) / 2) {
      child = 2 * (child + 1);
      // The grandchildren of both children: 4 * child - 1 onwards.
      if (4 * child + 6 < len) {
        __builtin_prefetch(first + 4 * child - 1);
        __builtin_prefetch(first + 4 * child + 6);
      }
      if (compare(first[child], first[child - 1])) --child;
      first[hole] = first[child];
      hole = child;
    }
    if ((len & 1) == 0 && child == (len - 2) / 2) {
      child = 2 * (child + 1);
      first[hole] = first[child - 1];
      hole = child - 1;
    }
    sift_up(hole, value, compare);
  }

  void push(std::int32_t reversed_state, float weight, std::int32_t parent,
            std::int32_t arc, const Compare &compare) {
    const auto next = static_cast<std::int32_t>(pairs_.size());
    const float key =
        reversed_state == fst::kNoStateId
            ? weight
            : reversed_.distance[static_cast<std::size_t>(reversed_state)]
                      .Value() +
                  weight;
    // Field by field into place: a record built aside and copied whole
    // would be read back before its parts reach the cache.
    Pair &pair = pairs_.emplace_back();
    pair.key = key;
    pair.weight = weight;
    pair.reversed = reversed_state;
    pair.parent = parent;
    pair.arc = arc;
    push_heap({key, reversed_state == fst::kNoStateId ? ~next : next},
              compare);
  }

  // std::push_heap's steps exactly, the entry kept in registers until its
  // place is found (written and read back whole, a fresh entry stalls on
  // its own two halves).
  void push_heap(const Entry value, const Compare &compare) {
    heap_.emplace_back();
    sift_up(static_cast<std::ptrdiff_t>(heap_.size()) - 1, value, compare);
  }

  // libstdc++'s __push_heap: `value` goes up from `hole` to its place.
  void sift_up(std::ptrdiff_t hole, const Entry value,
               const Compare &compare) {
    Entry *first = heap_.data();
    std::ptrdiff_t parent = (hole - 1) / 2;
    while (hole > 0 && compare(first[parent], value)) {
      first[hole] = first[parent];
      hole = parent;
      parent = (hole - 1) / 2;
    }
    first[hole] = value;
  }

  const WordLattice &lattice_;
  const ReversedLattice &reversed_;
  std::int32_t nshortest_;
  std::uint64_t max_pairs_;
  std::vector<Pair> pairs_;
  std::vector<Entry> heap_;
  std::vector<int> counts_;  // pops per reversed state + 1 (0: completed)
  bool pruned_ = false;
};

}  // namespace

std::vector<std::int32_t> depth_first_postorder(const WordLattice &lattice) {
  const auto num_states = static_cast<std::size_t>(lattice.num_states());
  std::vector<std::int32_t> postorder;
  postorder.reserve(num_states);
  std::vector<char> seen(num_states, 0);
  std::vector<std::pair<std::int32_t, std::uint32_t>> stack{
      {0, lattice.arc_begin[0]}};
  seen[0] = 1;
  while (!stack.empty()) {
    auto &[s, a] = stack.back();
    if (a == lattice.arc_begin[static_cast<std::size_t>(s) + 1]) {
      postorder.push_back(s);
      stack.pop_back();
      continue;
    }
    const std::int32_t t = lattice.arcs[a++].next;
    if (!seen[static_cast<std::size_t>(t)]) {
      seen[static_cast<std::size_t>(t)] = 1;
      stack.emplace_back(t, lattice.arc_begin[static_cast<std::size_t>(t)]);
    }
  }
  return postorder;
}

Expected<WordLattice, LatticeRefusal> build_word_lattice(
    const Model &model, const fst::StdVectorFst &acceptor,
    const std::function<bool()> &interrupted, std::uint64_t max_size,
    std::uint64_t *expanded) {
  Acceptor flat;
  flat.begin.reserve(static_cast<std::size_t>(acceptor.NumStates()) + 1);
  for (StateId s = 0; s < acceptor.NumStates(); ++s) {
    flat.begin.push_back(static_cast<std::uint32_t>(flat.arcs.size()));
    for (fst::ArcIterator<fst::StdVectorFst> it(acceptor, s); !it.Done();
         it.Next()) {
      if (it.Value().olabel == 0) {
        return make_unexpected(LatticeRefusal::kAcceptorEpsilon);
      }
      flat.arcs.push_back({it.Value().olabel, it.Value().nextstate});
    }
  }
  flat.begin.push_back(static_cast<std::uint32_t>(flat.arcs.size()));
  flat.sorted = acceptor.Properties(fst::kOLabelSorted, false) != 0;

  InterruptPoll poll(interrupted);
  RawLattice raw;
  Composer composer(model, flat, raw);
  std::uint64_t size = 0;
  const auto stop = composer.expand(poll, max_size, size);
  if (expanded) *expanded = size;
  if (stop) return make_unexpected(*stop);
  WordLattice lattice;
  if (connect_keeps_all(flat, model.search_plan)) {
    lattice.arc_begin = std::move(raw.arc_begin);
    lattice.arcs = std::move(raw.arcs);
    lattice.final_weight = std::move(raw.final_weight);
  } else {
    connect(raw, model.search_plan, lattice);
  }
  if (lattice.num_states() > 0 && !compute_distance(lattice)) {
    return make_unexpected(LatticeRefusal::kDistanceOverflow);
  }
  return lattice;
}

namespace {

// Files the path ending in result state `state` as insert_path would.
// Most paths repeat a pronunciation already held: only their phonemes are
// walked, into `probe`, a record reused from path to path. Returns the
// steps walked.
std::size_t file_path(const NShortestReplay &replay, std::int32_t state,
                      const Model &model, bool accumulate, PathData &probe,
                      UniquePaths &collection) {
  // The phonemes (and the weight, summed in the same order) first: a
  // repeat needs nothing more.
  probe.path_weight = 0.0f;
  probe.uniques.clear();
  const std::size_t steps =
      replay.extend(probe, state, model, extend_phonemes);
  const auto held = collection.position.find(probe.uniques);
  if (held != collection.position.end()) {
    if (accumulate) {  // as insert_path does for a repeat
      float &kept = collection.paths[held->second].path_weight;
      kept = log_add(kept, probe.path_weight);
    }
    return steps;
  }
  PathData path;
  path.path_weights.reserve(steps);
  path.ilabels.reserve(steps);
  path.olabels.reserve(steps);
  path.uniques.reserve(probe.uniques.size());
  replay.extend(path, state, model, extend_path);
  insert_path(collection, std::move(path), accumulate);
  return 2 * steps;
}

}  // namespace

Expected<DistinctPaths, LatticeRefusal> search_word_lattice(
    const WordLattice &lattice, const Model &model, std::uint64_t nbest,
    bool accumulate, const std::function<bool()> &interrupted,
    const WorkLimits &limits, std::uint64_t positions) {
  const ReversedLattice reversed = reverse(lattice);
  RequestSchedule schedule(nbest);
  const auto request = [&schedule] {
    return static_cast<std::int32_t>(
        std::min(schedule.size(), kMaxShortestPaths));
  };
  const auto max_pairs = [&] {
    return max_search_pairs(limits, positions, schedule.size());
  };

  InterruptPoll poll(interrupted);
  DistinctPaths result;
  PathData probe;
  auto replay = std::make_unique<NShortestReplay>(lattice, reversed, request(),
                                                  max_pairs());
  for (;;) {
    std::optional<LatticeRefusal> stop;
    const std::int32_t state = replay->next(poll, stop);
    result.pairs = std::max(result.pairs, replay->pairs());
    if (stop) {
      // As in the pipeline, the paths completed before the work limit are
      // kept; a search that completed none fails.
      if (*stop == LatticeRefusal::kWorkLimit &&
          !result.collection.paths.empty()) {
        result.exhausted = false;
        return result;
      }
      return make_unexpected(*stop);
    }
    if (state >= 0) {
      // Walking and filing a long path is work too.
      if (poll.tick(file_path(*replay, state, model, accumulate, probe,
                              result.collection))) {
        return make_unexpected(LatticeRefusal::kInterrupted);
      }
      if (result.collection.paths.size() >= nbest) return result;
      continue;
    }
    // The run is over: as in the pipeline, this attempt's paths are final
    // when the request reached its cap or the lattice ran out of paths.
    const auto found = static_cast<std::uint64_t>(replay->found());
    result.exhausted = schedule.exhausted(found);
    if (schedule.last(found)) return result;
    schedule.grow();
    if (replay->pruned()) {
      // A larger request would have kept what this one pruned: start over.
      result.collection = UniquePaths();
      replay = std::make_unique<NShortestReplay>(lattice, reversed, request(),
                                                 max_pairs());
    } else {
      replay->raise_request(request(), max_pairs());
    }
  }
}

}  // namespace tamsu

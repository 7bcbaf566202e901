#include "nbest/pronunciation_search.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "nbest/interrupt_poll.h"
#include "nbest/pair_table.h"
#include "nbest/phonemes.h"
#include "nbest/search.h"

// Why this gives the pronunciations the n-shortest route lists.
//
// That route takes the lattice's paths in order of weight and keeps the
// first path of each pronunciation: its pronunciations come in order of
// their best path's weight (the Viterbi weight), each with that path.
//
// Here a search state is a lattice state together with the phonemes
// written on the way to it. Two paths that reach the same state with the
// same phonemes have the same continuations, and each continuation spells
// the same pronunciation after either: only the cheaper of the two can be
// part of any pronunciation's best path, so a state keeps its cheapest way
// in and nothing is lost. Every lattice path maps to one path through the
// search states with the same weight, so the best completion of a
// pronunciation here is its Viterbi weight.
//
// States are expanded best first by cost so far plus the exact cost of the
// rest (each lattice state's distance to the end, computed before the
// search). That estimate never exceeds any continuation's cost and never
// drops along an arc, so the queue's keys never decrease along a search
// path: when a completed pronunciation leaves the queue, every cheaper way
// to complete it would have left before. The first completion of each
// pronunciation is its best, and they leave in order of weight. The search
// stops at the `nbest`th, having touched only states whose best
// continuation is no worse than it.
//
// Keys are summed in double; weights are reported as the float sums that
// extend_path makes along the chosen path, as the n-shortest route reports
// them. Should rounding ever offer a cheaper way into a state already
// expanded, the state is expanded again.

namespace tamsu {
namespace {

constexpr std::int32_t kNoRecord = -1;
constexpr std::int32_t kFinalArc = -1;  // a record that ends its path
constexpr std::int32_t kStartArc = -2;  // the start state's record

// Each state's lowest cost to the end (final weight included), in double.
// The lattice is acyclic (the search plan refuses epsilon cycles, and
// other arcs move on in the word), so a depth-first postorder from the
// start, which reaches every state, lists each state after its successors.
std::vector<double> distance_to_end(const WordLattice &lattice) {
  std::vector<double> distance(static_cast<std::size_t>(lattice.num_states()),
                               std::numeric_limits<double>::infinity());
  for (const std::int32_t s : depth_first_postorder(lattice)) {
    const auto state = static_cast<std::size_t>(s);
    double best = lattice.final_weight[state];
    for (std::uint32_t b = lattice.arc_begin[state];
         b < lattice.arc_begin[state + 1]; ++b) {
      const WordLattice::Arc &arc = lattice.arcs[b];
      best = std::min(best, static_cast<double>(arc.weight) +
                                distance[static_cast<std::size_t>(arc.next)]);
    }
    distance[state] = best;
  }
  return distance;
}

class PronunciationSearch {
 public:
  PronunciationSearch(const WordLattice &lattice, const Model &model,
                      std::uint64_t max_records)
      : lattice_(lattice),
        model_(model),
        to_end_(distance_to_end(lattice)),
        max_records_(max_records),
        states_(lattice.arcs.size()),
        prefixes_(lattice.arcs.size()) {
    prefix_done_.push_back(0);  // the empty prefix
    add_state(0, 0, 0.0, kNoRecord, kStartArc);
  }

  // Runs until `nbest` pronunciations are complete, the queue runs dry
  // (exhausted), or a stop (interrupt, work limit).
  std::optional<LatticeRefusal> run(std::uint64_t nbest,
                                    const std::function<bool()> &interrupted,
                                    DistinctPaths &found) {
    InterruptPoll poll(interrupted);
    while (!queue_.empty()) {
      std::pop_heap(queue_.begin(), queue_.end(), Later{});
      const Entry entry = queue_.back();
      queue_.pop_back();
      const Record record = records_[static_cast<std::size_t>(entry.record)];
      const State &state = search_states_[static_cast<std::size_t>(record.state)];
      if (record.arc == kFinalArc) {
        char &done = prefix_done_[static_cast<std::size_t>(state.prefix)];
        if (done) continue;  // a costlier path of a pronunciation held
        done = 1;
        insert_path(found.collection, path_of(entry.record), false);
        if (found.collection.paths.size() >= nbest) return std::nullopt;
        continue;
      }
      if (state.best_record != entry.record) continue;  // a cheaper way in
      const auto s = static_cast<std::size_t>(state.lattice_state);
      const std::uint32_t end = lattice_.arc_begin[s + 1];
      if (poll.tick(1 + end - lattice_.arc_begin[s])) {
        return LatticeRefusal::kInterrupted;
      }
      const double cost = state.cost;
      const std::int32_t prefix = state.prefix;
      if (lattice_.final_weight[s] != kNotFinal &&
          !prefix_done_[static_cast<std::size_t>(prefix)]) {
        push_record(entry.record, kFinalArc, record.state,
                    cost + lattice_.final_weight[s], true);
      }
      for (std::uint32_t a = lattice_.arc_begin[s]; a < end; ++a) {
        const WordLattice::Arc &arc = lattice_.arcs[a];
        add_state(arc.next, extend(prefix, arc.olabel), cost + arc.weight,
                  entry.record, static_cast<std::int32_t>(a));
      }
      if (records_.size() >= max_records_) return LatticeRefusal::kWorkLimit;
    }
    found.exhausted = true;
    return std::nullopt;
  }

  std::uint64_t records() const { return records_.size(); }

 private:
  static constexpr float kNotFinal = std::numeric_limits<float>::infinity();

  struct State {
    std::int32_t lattice_state;
    std::int32_t prefix;  // node of the phoneme prefix tree
    double cost;          // the cheapest way in found so far
    std::int32_t best_record;
  };
  // One way into a search state, or (kFinalArc) a completed path.
  struct Record {
    std::int32_t parent;
    std::int32_t arc;  // lattice arc index, kFinalArc or kStartArc
    std::int32_t state;
  };
  struct Entry {
    double key;  // cost so far + lattice distance to the end
    // Completed paths first among equal keys (the search can end sooner),
    // then first pushed: a deterministic order.
    std::uint64_t order;
    std::int32_t record;
  };
  struct Later {
    bool operator()(const Entry &x, const Entry &y) const {
      return x.key != y.key ? x.key > y.key : x.order > y.order;
    }
  };

  // The prefix tree node of `prefix` followed by `olabel`'s phonemes.
  std::int32_t extend(std::int32_t prefix, std::int32_t olabel) {
    phonemes_.clear();
    expand_output_label(model_, static_cast<Label>(olabel), phonemes_);
    for (Label phoneme : phonemes_) {
      const auto fresh = static_cast<std::int32_t>(prefix_done_.size());
      const std::int32_t next = prefixes_.find_or_add(
          (static_cast<std::uint64_t>(static_cast<std::uint32_t>(prefix))
           << 32) | phoneme,
          fresh);
      if (next == fresh) prefix_done_.push_back(0);
      prefix = next;
    }
    return prefix;
  }

  // Offers a way into (lattice_state, prefix) costing `cost`.
  void add_state(std::int32_t lattice_state, std::int32_t prefix, double cost,
                 std::int32_t parent, std::int32_t arc) {
    const auto fresh = static_cast<std::int32_t>(search_states_.size());
    const std::int32_t id = states_.find_or_add(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(lattice_state))
         << 32) | static_cast<std::uint32_t>(prefix),
        fresh);
    if (id == fresh) {
      search_states_.push_back({lattice_state, prefix, cost, kNoRecord});
    } else if (!(cost < search_states_[static_cast<std::size_t>(id)].cost)) {
      return;
    }
    State &state = search_states_[static_cast<std::size_t>(id)];
    state.cost = cost;
    state.best_record = static_cast<std::int32_t>(records_.size());
    push_record(parent, arc, id,
                cost + to_end_[static_cast<std::size_t>(lattice_state)], false);
  }

  void push_record(std::int32_t parent, std::int32_t arc, std::int32_t state,
                   double key, bool completed) {
    const auto record = static_cast<std::int32_t>(records_.size());
    records_.push_back({parent, arc, state});
    const std::uint64_t order =
        (completed ? 0 : std::uint64_t{1} << 32) |
        static_cast<std::uint32_t>(record);
    queue_.push_back({key, order, record});
    std::push_heap(queue_.begin(), queue_.end(), Later{});
  }

  // The record of the path ending in `record`, as collect_paths would make
  // it of the same path: arcs from the start, then the final weight.
  PathData path_of(std::int32_t record) const {
    std::vector<std::int32_t> arcs;
    for (std::int32_t r = record; r != kNoRecord;
         r = records_[static_cast<std::size_t>(r)].parent) {
      arcs.push_back(records_[static_cast<std::size_t>(r)].arc);
    }
    arcs.pop_back();  // the start state's record
    PathData path;
    path.path_weights.reserve(arcs.size());
    path.ilabels.reserve(arcs.size());
    path.olabels.reserve(arcs.size());
    const auto last = static_cast<std::size_t>(
        search_states_[static_cast<std::size_t>(
                           records_[static_cast<std::size_t>(record)].state)]
            .lattice_state);
    for (auto it = arcs.rbegin(); it != arcs.rend(); ++it) {
      if (*it == kFinalArc) {
        extend_path(path, fst::StdArc(0, 0, lattice_.final_weight[last], 0),
                    model_);
        continue;
      }
      const WordLattice::Arc &arc = lattice_.arcs[static_cast<std::size_t>(*it)];
      extend_path(path, fst::StdArc(arc.ilabel, arc.olabel, arc.weight, 0),
                  model_);
    }
    return path;
  }

  const WordLattice &lattice_;
  const Model &model_;
  const std::vector<double> to_end_;
  const std::uint64_t max_records_;
  PairTable states_;    // (lattice state, prefix) -> search state
  PairTable prefixes_;  // (prefix, phoneme) -> longer prefix
  std::vector<State> search_states_;
  std::vector<char> prefix_done_;  // by prefix: a pronunciation completed
  std::vector<Record> records_;
  std::vector<Entry> queue_;
  LabelList phonemes_;  // scratch
};

}  // namespace

Expected<DistinctPaths, LatticeRefusal> search_pronunciations(
    const WordLattice &lattice, const Model &model, std::uint64_t nbest,
    const std::function<bool()> &interrupted, const WorkLimits &limits,
    std::uint64_t positions) {
  PronunciationSearch search(
      lattice, model,
      max_search_pairs(limits, positions, saturating_multiply(8, nbest)));
  DistinctPaths found;
  const auto stop = search.run(nbest, interrupted, found);
  found.pairs = search.records();
  if (stop && (*stop == LatticeRefusal::kInterrupted ||
               found.collection.paths.empty())) {
    return make_unexpected(*stop);
  }
  return found;
}

}  // namespace tamsu

// One decoded pronunciation path, the options of one decoding call, and
// what the call reports about itself.
#ifndef TAMSU_NBEST_PATH_DATA_H_
#define TAMSU_NBEST_PATH_DATA_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/labels.h"
#include "base/saturating.h"

namespace tamsu {

struct PathData {
  float path_weight = 0.0f;         // tropical: smaller is better
  std::vector<float> path_weights;  // one per kept arc
  LabelList ilabels;                // one per kept arc
  LabelList olabels;                // one per kept arc
  LabelList uniques;                // phoneme labels, clusters expanded
};

// The most work one decoding call may do. Real words stay far below (see
// bench/README.md, "Work limits"); a hostile model file that would make a
// call grow without end fails that word instead (DecodeFailure::kWorkLimit).
// Both routes count the same units at the same steps, so they agree on
// which words reach a limit. A search can return no more paths than the
// lattice holds (a request is cut to that count) nor than it completes
// within its pair limit: so a huge nbest, with accumulate, pmass or a
// threshold, either runs the lattice out of paths or ends at the limit
// with the best paths completed by then (a search that completed none
// fails the word).
struct WorkLimits {
  // States plus arcs of the expanded composition, per acceptor state
  // (letters + 1), but never more than lattice_max in all (the lattice
  // search numbers states and arcs in 32 bits).
  std::uint64_t lattice_per_position = std::uint64_t{1} << 18;
  std::uint64_t lattice_max = std::uint64_t{1} << 26;
  // Partial paths one n-shortest search holds, per acceptor state and per
  // path requested, but never more than search_pairs_max in all.
  std::uint64_t search_pairs_per_position_and_path = 512;
  std::uint64_t search_pairs_max = std::uint64_t{1} << 22;

  // The lattice limit of a word of `positions` acceptor states.
  std::uint64_t max_lattice_size(std::uint64_t positions) const {
    return std::min(lattice_max,
                    saturating_multiply(lattice_per_position, positions));
  }
};

struct DecodeOptions {
  std::uint64_t nbest = 1;     // distinct pronunciations to collect
  std::uint64_t beam = 10000;  // most records returned
  // Leaves out records whose (normalised) weight exceeds it; none: keep all.
  std::optional<float> threshold;
  // Normalises weights to shares of the collected paths' probability and
  // stops once the share visited exceeds e^-pmass; none: neither.
  std::optional<double> pmass;
  bool write_fsts = false;     // dump "WORD.fst" and "WORD.lat.fst"
  bool accumulate = false;     // log-add weights of equal pronunciations
  // Searches the lattice for distinct pronunciations best first instead
  // of replaying OpenFst's n-shortest paths: the same list for less work,
  // but pronunciations of equal weight in no promised order. Taken by the
  // lattice search's route without accumulate; other calls ignore it.
  bool by_pronunciation = false;
  // Polled every so often during a decode; returning true abandons the
  // call, which then returns an empty list. Empty: never interrupted.
  std::function<bool()> interrupted;
  // Takes OpenFst's composition and n-shortest search even when the model
  // allows the specialised search (the reference, for tests and benchmarks).
  bool reference_route = false;
  WorkLimits limits;
};

// Which search answered a decoding call.
enum class DecodeRoute {
  kNone,           // nothing was searched (no labels, nbest 0, a failure)
  kLatticeSearch,  // the specialised search over (position, state) pairs
  kOpenFst,        // OpenFst's composition and n-shortest search
};

// Why a decoding call returned no list of its own making. kNone also when
// the list is empty because selection left every record out.
enum class DecodeFailure {
  kNone,
  kNoKnownGraphemes,   // no piece of the word is an input symbol
  kNothingRequested,   // nbest 0
  kNoPath,             // the lattice accepts nothing
  kCompositionFailed,  // OpenFst flagged the lattice as failed
  kSearchFailed,       // OpenFst flagged the search, or its result is broken
  kWorkLimit,          // the lattice or the search outgrew WorkLimits
  kInterrupted,        // the caller's interrupt check asked to stop
};

// A short description ("work limit reached"), for diagnostics.
const char *describe(DecodeFailure failure);

// What one decoding call did, for tests and benchmarks.
struct DecodeReport {
  DecodeRoute route = DecodeRoute::kNone;
  DecodeFailure failure = DecodeFailure::kNone;
  std::uint64_t lattice_size = 0;  // states + arcs of the expanded lattice
  std::uint64_t search_pairs = 0;  // partial paths of the largest search
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_PATH_DATA_H_

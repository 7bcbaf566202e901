// One decoded pronunciation path, and the options of one decoding call.
#ifndef TAMSU_NBEST_PATH_DATA_H_
#define TAMSU_NBEST_PATH_DATA_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "model/labels.h"

namespace tamsu {

struct PathData {
  float path_weight = 0.0f;         // tropical: smaller is better
  std::vector<float> path_weights;  // one per kept arc
  LabelList ilabels;                // one per kept arc
  LabelList olabels;                // one per kept arc
  LabelList uniques;                // phoneme labels, clusters expanded
};

struct DecodeOptions {
  std::uint64_t nbest = 1;     // distinct pronunciations to collect
  std::uint64_t beam = 10000;  // most records returned
  float threshold = 99.0f;     // active below 99
  double pmass = 99.0;         // active below 99
  bool write_fsts = false;     // dump "WORD.fst" and "WORD.lat.fst"
  bool accumulate = false;     // log-add weights of equal pronunciations
  // Polled every so often during a decode; returning true abandons the
  // call, which then returns an empty list. Empty: never interrupted.
  std::function<bool()> interrupted;
  // Takes OpenFst's composition and n-shortest search even when the model
  // allows the specialised search (the reference, for tests and benchmarks).
  bool reference_route = false;
};

// Which search answered a decoding call.
enum class DecodeRoute {
  kNone,           // nothing was searched (no labels, nbest 0, interrupted)
  kLatticeSearch,  // the specialised search over (position, state) pairs
  kOpenFst,        // OpenFst's composition and n-shortest search
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_PATH_DATA_H_

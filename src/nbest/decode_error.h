// The error value of the decoding stages. The pipeline turns every one of
// them into an empty result; none is ever shown to the user.
#ifndef TAMSU_NBEST_DECODE_ERROR_H_
#define TAMSU_NBEST_DECODE_ERROR_H_

#include <cstdint>

namespace tamsu {

struct DecodeError {
  enum class Kind {
    kCompositionFailed,  // OpenFst flagged the lattice with kError
    kSearchFailed,       // OpenFst flagged the n-shortest result with kError
    kMissingState,       // a search-result path leads to no existing state
    kCyclicPath,         // a search-result path loops
    kInterrupted,        // the caller's interrupt check asked to stop
    kWorkLimit,          // the lattice or the search outgrew WorkLimits
  };
  Kind kind;
  std::int64_t state = -1;  // kMissingState: the state number reached
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_DECODE_ERROR_H_

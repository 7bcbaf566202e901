// Composes a word acceptor with the model into the word's lattice.
// Composition lives in its own translation unit: instantiating it is the
// costliest compile in the project.
#ifndef TAMSU_NBEST_LATTICE_H_
#define TAMSU_NBEST_LATTICE_H_

#include <cstdint>
#include <functional>

#include <fst/vector-fst.h>

#include "base/expected.h"
#include "nbest/decode_error.h"

namespace tamsu {

// Returns acceptor ∘ model_fst, fully expanded and trimmed with Connect:
// sorted matchers on both sides (output labels of `acceptor`, input labels
// of `model_fst`) and OpenFst's default sequence filter. `model_fst` must
// carry the kILabelSorted property; it is only read and never copied. The
// lattice takes the acceptor's input symbols and the model's output
// symbols (shared, not copied). No successful path gives an empty lattice,
// which is no error. Fails with kCompositionFailed when OpenFst flags the
// result with kError (it then logs to std::cerr: callers capture that).
// `interrupted` (may be empty) is polled while the composition is expanded;
// when it returns true the call fails with kInterrupted. Fails with
// kWorkLimit as soon as the states and arcs expanded so far exceed
// `max_size`; `expanded` (may be null) receives their number.
Expected<fst::StdVectorFst, DecodeError> build_lattice(
    fst::StdVectorFst acceptor, const fst::StdVectorFst &model_fst,
    const std::function<bool()> &interrupted = {},
    std::uint64_t max_size = UINT64_MAX, std::uint64_t *expanded = nullptr);

}  // namespace tamsu

#endif  // TAMSU_NBEST_LATTICE_H_

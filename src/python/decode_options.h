// The decoding options of the n-gram classes (nbest, beam, threshold,
// pmass, write_fsts, accumulate), converted in one place for Model and
// BatchDecoder alike.
#ifndef TAMSU_PYTHON_DECODE_OPTIONS_H_
#define TAMSU_PYTHON_DECODE_OPTIONS_H_

#include "nbest/path_data.h"
#include "python/binder.h"

namespace tamsu::python {

// How a class says "no threshold" and "no pmass", the one way the classes
// differ:
// - kAtLeast99 (Model, as it always has): a threshold or pmass of 99 or
//   more (or NaN) switches it off, the threshold compared as a float; None
//   is a TypeError like any other non-number.
// - kNone (BatchDecoder): None leaves an option at its default (off for
//   threshold and pmass); every number is taken as given, so threshold=99
//   keeps only paths of normalised weight 99 or less.
enum class OffValue { kAtLeast99, kNone };

// Converts the options among the parameters after the first of
// `signature` present in `bound`, in parameter order, into `options`.
// Parameters of other names are left to the caller. False with the
// exception set (wrapped with the parameter name) on the first failure.
bool convert_decode_options(const Signature &signature,
                            const BoundArguments &bound, OffValue off,
                            DecodeOptions &options);

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_DECODE_OPTIONS_H_

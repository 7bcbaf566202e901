// Checks on an FST just read from a model file for what OpenFst's reader
// takes on trust: the property bits stored in the file, and cycles of
// epsilon arcs, on which a shortest-path search may never end.
#ifndef TAMSU_MODEL_FST_TRUST_H_
#define TAMSU_MODEL_FST_TRUST_H_

#include <optional>
#include <string>

#include <fst/vector-fst.h>

namespace tamsu {

// Replaces the stored property bits by proven ones and returns a
// description of the first defect that makes `fst` unsafe to decode, or
// nothing. OpenFst trusts stored bits: a file claiming "acyclic" for an FST
// with a cycle makes the search index past its state order. Afterwards the
// only known properties are the binary ones and whether the FST is an
// acceptor; OpenFst computes any other it needs. Defects: the file marks the
// FST as failed (OpenFst's error bit cannot be cleared); input-epsilon arcs
// form a cycle of negative weight (named by a state on it), the only kind
// of cycle a lattice can go round (the word acceptor has none), each turn
// lowering the path weight so that a search reaching it never settles; or
// such cycles are too entangled to check with bounded work.
std::optional<std::string> make_fst_safe_to_decode(fst::StdVectorFst &fst,
                                                   const std::string &path);

// A description of the first NaN weight of `fst` (a final weight, or an arc
// weight), or nothing. A NaN has no place in the tropical order: every
// comparison with it is false, so searches and sums over it print "nan"
// weights and probabilities instead of failing.
std::optional<std::string> find_nan_weight(const fst::StdVectorFst &fst,
                                           const std::string &path);

}  // namespace tamsu

#endif  // TAMSU_MODEL_FST_TRUST_H_

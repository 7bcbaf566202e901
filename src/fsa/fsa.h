// Builds the word acceptor: the chain of a word's input labels, plus a
// shortcut arc wherever a run of labels spells an input cluster symbol.
#ifndef TAMSU_FSA_FSA_H_
#define TAMSU_FSA_FSA_H_

#include <cstddef>
#include <unordered_map>

#include <fst/vector-fst.h>

#include "base/labels.h"

namespace tamsu {

// Returns an acceptor with states 0..n (n = labels.size()), start state 0
// and state n final with weight 0. State i has, in this order, the arc
// labels[i] to i + 1, then for each span k = 2..max_parts with i + k <= n
// whose run labels[i..i+k) is a key of `parts_to_label`, one arc with the
// mapped cluster label to i + k. Every arc is an acceptor arc of weight 0.
// The acceptor carries no symbol tables. Cannot fail; the caller owns the
// result.
fst::StdVectorFst build_fsa(
    const LabelList &labels,
    const std::unordered_map<LabelList, Label, LabelListHash> &parts_to_label,
    std::size_t max_parts);

}  // namespace tamsu

#endif  // TAMSU_FSA_FSA_H_

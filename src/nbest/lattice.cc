#include "nbest/lattice.h"

#include <fst/compose.h>
#include <fst/connect.h>
#include <fst/matcher.h>

#include "nbest/interrupt_poll.h"

namespace tamsu {

Expected<fst::StdVectorFst, DecodeError> build_lattice(
    fst::StdVectorFst acceptor, const fst::StdVectorFst &model_fst,
    const std::function<bool()> &interrupted, std::uint64_t max_size,
    std::uint64_t *expanded) {
  // Matchers typed on the concrete VectorFst give the same composition as
  // fst::Compose's generic Matcher<Fst<Arc>> (which falls back to sorted
  // matching for a VectorFst) without virtual calls per arc.
  using Matcher = fst::SortedMatcher<fst::StdVectorFst>;
  using Filter = fst::SequenceComposeFilter<Matcher>;
  fst::ComposeFstImplOptions<Matcher, Matcher, Filter> options{
      fst::CacheOptions()};
  // As fst::Compose does: the expansion below reads each state once, so the
  // cache need keep only the last one.
  options.gc_limit = 0;

  const fst::ComposeFst<fst::StdArc> composed(acceptor, model_fst, options);
  // The expansion VectorFst's converting constructor performs, call for
  // call (so the lattice is the same, state numbering and properties
  // included), with a poll of `interrupted` and the size check after each
  // state, as the lattice search's composition makes them.
  InterruptPoll poll(interrupted);
  std::uint64_t size = 0;
  fst::StdVectorFst lattice;
  lattice.SetInputSymbols(composed.InputSymbols());
  lattice.SetOutputSymbols(composed.OutputSymbols());
  lattice.SetStart(composed.Start());
  for (fst::StateIterator<fst::ComposeFst<fst::StdArc>> states(composed);
       !states.Done(); states.Next()) {
    const auto s = states.Value();
    if (poll.tick()) {
      return make_unexpected(DecodeError{DecodeError::Kind::kInterrupted});
    }
    lattice.AddState();
    lattice.SetFinal(s, composed.Final(s));
    lattice.ReserveArcs(s, composed.NumArcs(s));
    for (fst::ArcIterator<fst::ComposeFst<fst::StdArc>> arcs(composed, s);
         !arcs.Done(); arcs.Next()) {
      lattice.AddArc(s, arcs.Value());
    }
    size += 1 + lattice.NumArcs(s);
    if (expanded) *expanded = size;
    if (size > max_size) {
      return make_unexpected(DecodeError{DecodeError::Kind::kWorkLimit});
    }
  }
  lattice.SetProperties(
      composed.Properties(fst::kCopyProperties, false) |
          fst::internal::VectorFstImpl<fst::StdVectorFst::State>::kStaticProperties,
      fst::kFstProperties);
  fst::Connect(&lattice);
  if (lattice.Properties(fst::kError, false) != 0) {
    return make_unexpected(DecodeError{DecodeError::Kind::kCompositionFailed});
  }
  return lattice;
}

}  // namespace tamsu

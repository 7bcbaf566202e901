#include "nbest/lattice.h"

#include <fst/compose.h>
#include <fst/connect.h>
#include <fst/matcher.h>

namespace tamsu {

Expected<fst::StdVectorFst, DecodeError> build_lattice(
    fst::StdVectorFst acceptor, const fst::StdVectorFst &model_fst) {
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

  fst::StdVectorFst lattice(
      fst::ComposeFst<fst::StdArc>(acceptor, model_fst, options));
  fst::Connect(&lattice);
  if (lattice.Properties(fst::kError, false) != 0) {
    return make_unexpected(DecodeError{DecodeError::Kind::kCompositionFailed});
  }
  return lattice;
}

}  // namespace tamsu

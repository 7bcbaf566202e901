#include "fsa/fsa.h"

#include <algorithm>

namespace tamsu {

fst::StdVectorFst build_fsa(
    const LabelList &labels,
    const std::unordered_map<LabelList, Label, LabelListHash> &parts_to_label,
    std::size_t max_parts) {
  using Arc = fst::StdArc;
  const std::size_t n = labels.size();
  // Spans longer than 1 are cluster candidates; without clusters there is
  // nothing to look up.
  const std::size_t longest_span = parts_to_label.empty() ? 1 : max_parts;

  fst::StdVectorFst acceptor;
  acceptor.ReserveStates(static_cast<Arc::StateId>(n + 1));
  acceptor.SetStart(acceptor.AddState());
  for (std::size_t i = 0; i < n; ++i) acceptor.AddState();

  LabelList run;  // reused key buffer: no allocation per lookup
  run.reserve(std::min(longest_span, n));
  for (std::size_t i = 0; i < n; ++i) {
    const auto state = static_cast<Arc::StateId>(i);
    const std::size_t spans = std::min(longest_span, n - i);
    acceptor.ReserveArcs(state, spans);
    const auto label = static_cast<Arc::Label>(labels[i]);
    acceptor.AddArc(state, Arc(label, label, Arc::Weight::One(), state + 1));
    for (std::size_t k = 2; k <= spans; ++k) {
      run.assign(labels.begin() + i, labels.begin() + i + k);
      const auto found = parts_to_label.find(run);
      if (found == parts_to_label.end()) continue;
      const auto cluster = static_cast<Arc::Label>(found->second);
      acceptor.AddArc(state, Arc(cluster, cluster, Arc::Weight::One(),
                                 static_cast<Arc::StateId>(i + k)));
    }
  }
  acceptor.SetFinal(static_cast<Arc::StateId>(n), Arc::Weight::One());
  return acceptor;
}

}  // namespace tamsu

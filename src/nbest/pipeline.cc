#include "nbest/pipeline.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "diag/cerr_router.h"
#include "fsa/fsa.h"
#include "nbest/dump.h"
#include "nbest/lattice.h"
#include "nbest/paths.h"
#include "nbest/search.h"
#include "tokenize/tokenize.h"

namespace tamsu {
namespace {

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return product;
}

// Asks for more paths than `nbest`, since paths are made distinct by their
// phonemes only afterwards, and doubles the request until `nbest` distinct
// paths are held or the cap is reached.
Expected<UniquePaths, DecodeError> search_distinct_paths(
    const fst::StdVectorFst &lattice, const Model &model,
    const DecodeOptions &options) {
  const std::uint64_t cap =
      std::max<std::uint64_t>(saturating_multiply(256, options.nbest), 1024);
  UniquePaths collection;
  for (std::uint64_t k = std::max<std::uint64_t>(
           saturating_multiply(8, options.nbest), 16);
       ; k = std::min(cap, saturating_multiply(2, k))) {
    auto result = find_shortest_paths(lattice, k);
    if (!result) return make_unexpected(result.error());
    // A lattice that accepts nothing: keep the previous attempt's paths.
    if (result->Start() == fst::kNoStateId) return collection;
    auto collected =
        collect_paths(*result, model, options.nbest, options.accumulate);
    if (!collected) return make_unexpected(collected.error());
    collection = std::move(collected).value();
    if (k >= cap || collection.paths.size() >= options.nbest) break;
    // Fewer paths than asked for means the lattice has no more: OpenFst's
    // n-shortest search then pruned nothing, and any larger request would
    // repeat this one step for step and give the same result. The same
    // holds once the request no longer grows.
    const std::uint64_t found = result->NumArcs(result->Start());
    if (found < std::min(k, kMaxShortestPaths) || k >= kMaxShortestPaths) {
      break;
    }
  }
  return collection;
}

}  // namespace

std::vector<PathData> phoneticize_word(const Model &model,
                                       const std::string &word,
                                       const DecodeOptions &options) {
  const LabelList labels = tokenize(word, model.delim, *model.isyms);
  if (labels.empty()) return {};

  fst::StdVectorFst acceptor =
      build_fsa(labels, model.input_clusters.parts_to_label,
                model.input_clusters.max_parts);
  // Shares the table's data: no symbols are copied.
  acceptor.SetInputSymbols(model.isyms.get());
  acceptor.SetOutputSymbols(model.isyms.get());

  // OpenFst reports failures on std::cerr as well as in the result; only
  // the result counts here.
  const CerrSilencer silence_openfst;
  if (options.write_fsts) {
    // A dump is a side effect: a failed write changes nothing.
    static_cast<void>(write_fst(acceptor, word + ".fst"));
  }
  auto lattice = build_lattice(std::move(acceptor), model.fst);
  if (!lattice) return {};
  if (options.write_fsts) {
    static_cast<void>(write_fst(*lattice, word + ".lat.fst"));
  }
  if (options.nbest == 0 || lattice->Start() == fst::kNoStateId ||
      lattice->NumStates() == 0) {
    return {};
  }

  auto collection = search_distinct_paths(*lattice, model, options);
  if (!collection) return {};
  return select_paths(std::move(collection).value(), options.beam,
                      options.threshold, options.pmass);
}

}  // namespace tamsu

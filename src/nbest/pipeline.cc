#include "nbest/pipeline.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "diag/cerr_router.h"
#include "fsa/fsa.h"
#include "nbest/dump.h"
#include "nbest/lattice.h"
#include "nbest/lattice_search.h"
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

DecodeError interrupted_error() {
  return DecodeError{DecodeError::Kind::kInterrupted};
}

// Asks for more paths than `nbest`, since paths are made distinct by their
// phonemes only afterwards, and doubles the request until `nbest` distinct
// paths are held or the cap is reached.
Expected<DistinctPaths, DecodeError> search_distinct_paths(
    const fst::StdVectorFst &lattice, const Model &model, std::uint64_t nbest,
    bool accumulate, const std::function<bool()> &interrupted) {
  const std::uint64_t cap =
      std::max<std::uint64_t>(saturating_multiply(256, nbest), 1024);
  // Asking for more paths than the lattice holds changes nothing but the
  // cost (see count_paths). Never fewer than 2: a request for one path takes
  // OpenFst's single-path route, whose result is shaped differently.
  const std::uint64_t available =
      std::max<std::uint64_t>(count_paths(lattice), 2);
  DistinctPaths found;
  for (std::uint64_t k = std::max<std::uint64_t>(
           saturating_multiply(8, nbest), 16);
       ; k = std::min(cap, saturating_multiply(2, k))) {
    if (interrupted && interrupted()) {
      return make_unexpected(interrupted_error());
    }
    auto result = find_shortest_paths(lattice, std::min(k, available));
    if (!result) return make_unexpected(result.error());
    // A lattice that accepts nothing: keep the previous attempt's paths.
    if (result->Start() == fst::kNoStateId) return found;
    auto collected = collect_paths(*result, model, nbest, accumulate);
    if (!collected) return make_unexpected(collected.error());
    found.collection = std::move(collected).value();
    // Fewer paths than asked for means the lattice has no more: OpenFst's
    // n-shortest search then pruned nothing, and any larger request would
    // repeat this one step for step and give the same result. The same
    // holds once the request no longer grows.
    const std::uint64_t paths = result->NumArcs(result->Start());
    found.exhausted = paths < std::min(k, kMaxShortestPaths);
    if (k >= cap || found.collection.paths.size() >= nbest) break;
    if (found.exhausted || k >= kMaxShortestPaths) break;
  }
  return found;
}

// Selection returns the first max(beam, 1) records when neither pmass nor
// threshold is active, and without accumulate those records never change
// once collected: distinct paths beyond them cannot be returned, so there
// is no need to search for them.
std::uint64_t distinct_paths_needed(const DecodeOptions &options) {
  if (options.accumulate || 99.0 > options.pmass ||
      99.0f > options.threshold) {
    return options.nbest;
  }
  return std::min(options.nbest, std::max<std::uint64_t>(options.beam, 1));
}

// Runs `search(nbest)` for the paths selection can use; when that stops
// short of them only because of its request cap, runs it again for all
// `options.nbest`, as a search for them would have gone on.
template <class Search>
auto search_needed_paths(const DecodeOptions &options, Search search) {
  const std::uint64_t needed = distinct_paths_needed(options);
  auto found = search(needed);
  if (found && needed < options.nbest && !found->exhausted &&
      found->collection.paths.size() < needed) {
    found = search(options.nbest);
  }
  return found;
}

// The specialised search; nothing when the word must take the OpenFst route
// (or was interrupted, which `interrupted` then says again).
std::optional<std::vector<PathData>> decode_by_lattice_search(
    const Model &model, const fst::StdVectorFst &acceptor,
    const DecodeOptions &options, bool &interrupted) {
  auto lattice = build_word_lattice(model, acceptor, options.interrupted);
  if (!lattice) {
    interrupted = lattice.error() == LatticeRefusal::kInterrupted;
    return std::nullopt;
  }
  if (lattice->num_states() == 0) return std::vector<PathData>();
  auto found = search_needed_paths(options, [&](std::uint64_t nbest) {
    return search_word_lattice(*lattice, model, nbest, options.accumulate,
                               options.interrupted);
  });
  if (!found) {
    interrupted = found.error() == LatticeRefusal::kInterrupted;
    return std::nullopt;
  }
  return select_paths(std::move(found->collection), options.beam,
                      options.threshold, options.pmass);
}

}  // namespace

std::vector<PathData> phoneticize_word(const Model &model,
                                       const std::string &word,
                                       const DecodeOptions &options,
                                       DecodeRoute *route) {
  if (route) *route = DecodeRoute::kNone;
  const LabelList labels = tokenize(word, model.delim, *model.isyms);
  if (labels.empty()) return {};

  fst::StdVectorFst acceptor =
      build_fsa(labels, model.input_clusters.parts_to_label,
                model.input_clusters.max_parts);
  // Shares the table's data: no symbols are copied.
  acceptor.SetInputSymbols(model.isyms.get());
  acceptor.SetOutputSymbols(model.isyms.get());

  // The dumps need the real acceptor and lattice.
  if (model.search_plan.usable() && !options.write_fsts &&
      !options.reference_route) {
    if (options.nbest == 0) return {};
    bool interrupted = false;
    auto paths =
        decode_by_lattice_search(model, acceptor, options, interrupted);
    if (interrupted) return {};
    if (paths) {
      if (route) *route = DecodeRoute::kLatticeSearch;
      return std::move(paths).value();
    }
  }

  // OpenFst reports failures on std::cerr as well as in the result; only
  // the result counts here.
  const CerrSilencer silence_openfst;
  if (options.write_fsts) {
    // A dump is a side effect: a failed write changes nothing.
    static_cast<void>(write_fst(acceptor, word + ".fst"));
  }
  auto lattice =
      build_lattice(std::move(acceptor), model.fst, options.interrupted);
  if (!lattice) return {};
  if (options.write_fsts) {
    static_cast<void>(write_fst(*lattice, word + ".lat.fst"));
  }
  if (options.nbest == 0 || lattice->Start() == fst::kNoStateId ||
      lattice->NumStates() == 0) {
    return {};
  }

  auto found = search_needed_paths(options, [&](std::uint64_t nbest) {
    return search_distinct_paths(*lattice, model, nbest, options.accumulate,
                                 options.interrupted);
  });
  if (!found) return {};
  if (route) *route = DecodeRoute::kOpenFst;
  return select_paths(std::move(found->collection), options.beam,
                      options.threshold, options.pmass);
}

}  // namespace tamsu

#include "nbest/pipeline.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "diag/cerr_router.h"
#include "fsa/fsa.h"
#include "nbest/dump.h"
#include "nbest/lattice.h"
#include "nbest/lattice_search.h"
#include "nbest/paths.h"
#include "nbest/pronunciation_search.h"
#include "nbest/search.h"
#include "tokenize/tokenize.h"

namespace tamsu {
namespace {

DecodeFailure failure_of(const DecodeError &error) {
  switch (error.kind) {
    case DecodeError::Kind::kCompositionFailed:
      return DecodeFailure::kCompositionFailed;
    case DecodeError::Kind::kInterrupted: return DecodeFailure::kInterrupted;
    case DecodeError::Kind::kWorkLimit: return DecodeFailure::kWorkLimit;
    case DecodeError::Kind::kSearchFailed:
    case DecodeError::Kind::kMissingState:
    case DecodeError::Kind::kCyclicPath: break;
  }
  return DecodeFailure::kSearchFailed;
}

Unexpected<DecodeError> error_of(DecodeError::Kind kind) {
  return make_unexpected(DecodeError{kind});
}

// The OpenFst route's search attempts: RequestSchedule's requests, each
// collected until `nbest` distinct paths are held. Each request is bounded
// by max_search_pairs: a search stopped by it before completing `nbest`
// distinct paths ends the attempts with the paths it completed, and fails
// the word with kWorkLimit when it completed none.
Expected<DistinctPaths, DecodeError> search_distinct_paths(
    const fst::StdVectorFst &lattice, const Model &model, std::uint64_t nbest,
    const DecodeOptions &options, std::uint64_t positions) {
  // Asking for more paths than the lattice holds changes nothing but the
  // cost (see count_paths). Never fewer than 2: a request for one path takes
  // OpenFst's single-path route, whose result is shaped differently.
  const std::uint64_t available =
      std::max<std::uint64_t>(count_paths(lattice), 2);
  RequestSchedule schedule(nbest);
  DistinctPaths found;
  for (;; schedule.grow()) {
    if (options.interrupted && options.interrupted()) {
      return error_of(DecodeError::Kind::kInterrupted);
    }
    auto result = find_shortest_paths(
        lattice, std::min(schedule.size(), available),
        max_search_pairs(options.limits, positions, schedule.size()));
    if (!result) return make_unexpected(result.error());
    found.pairs = std::max(found.pairs, result->pairs);
    const fst::StdVectorFst &paths = result->fst;
    if (paths.Start() == fst::kNoStateId) {
      if (result->limit_reached) return error_of(DecodeError::Kind::kWorkLimit);
      return found;  // accepts nothing: keep the previous attempt's paths
    }
    auto collected = collect_paths(paths, model, nbest, options.accumulate);
    if (!collected) return make_unexpected(collected.error());
    found.collection = std::move(collected).value();
    if (found.collection.paths.size() >= nbest) break;
    // A search stopped by its work limit keeps the paths it completed: the
    // best ones in order, which any larger search starts with, as when the
    // request cap stops the attempts. Only one that completed none fails.
    if (result->limit_reached) {
      if (found.collection.paths.empty()) {
        return error_of(DecodeError::Kind::kWorkLimit);
      }
      found.exhausted = false;
      break;
    }
    const std::uint64_t completed = paths.NumArcs(paths.Start());
    found.exhausted = schedule.exhausted(completed);
    if (schedule.last(completed)) break;
  }
  return found;
}

// Selection returns the first max(beam, 1) records when neither pmass nor
// threshold is active, and without accumulate those records never change
// once collected: distinct paths beyond them cannot be returned, so there
// is no need to search for them.
std::uint64_t distinct_paths_needed(const DecodeOptions &options) {
  if (options.accumulate || options.pmass || options.threshold) {
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

std::vector<PathData> select(DistinctPaths found, const DecodeOptions &options) {
  return select_paths(std::move(found.collection), options.beam,
                      options.threshold, options.pmass);
}

std::vector<PathData> fail(DecodeReport &report, DecodeFailure failure) {
  report.failure = failure;
  return {};
}

// The specialised search; nothing when the word must take the OpenFst
// route instead (a failure that route would share ends the word here).
std::optional<std::vector<PathData>> decode_by_lattice_search(
    const Model &model, const fst::StdVectorFst &acceptor,
    const DecodeOptions &options, DecodeReport &report) {
  const std::uint64_t positions = acceptor.NumStates();
  const auto stop = [&](LatticeRefusal refusal)
      -> std::optional<std::vector<PathData>> {
    if (refusal == LatticeRefusal::kInterrupted) {
      return fail(report, DecodeFailure::kInterrupted);
    }
    if (refusal == LatticeRefusal::kWorkLimit) {
      return fail(report, DecodeFailure::kWorkLimit);
    }
    return std::nullopt;
  };
  auto lattice = build_word_lattice(
      model, acceptor, options.interrupted,
      options.limits.max_lattice_size(positions),
      &report.lattice_size);
  if (!lattice) return stop(lattice.error());
  if (lattice->num_states() == 0) return fail(report, DecodeFailure::kNoPath);
  // Without accumulate a pronunciation's weight is its best path's, which
  // the pronunciation search finds directly; with it, the weight depends
  // on which of its other paths the n-shortest search reaches in time.
  const bool by_pronunciation = options.by_pronunciation && !options.accumulate;
  auto found = search_needed_paths(options, [&](std::uint64_t nbest) {
    if (by_pronunciation) {
      return search_pronunciations(*lattice, model, nbest, options.interrupted,
                                   options.limits, positions);
    }
    return search_word_lattice(*lattice, model, nbest, options.accumulate,
                               options.interrupted, options.limits, positions);
  });
  if (!found) return stop(found.error());
  report.route = DecodeRoute::kLatticeSearch;
  report.search_pairs = found->pairs;
  return select(std::move(found).value(), options);
}

// OpenFst's composition and n-shortest search, and the dump files.
std::vector<PathData> decode_by_openfst(const Model &model,
                                        const std::string &word,
                                        fst::StdVectorFst acceptor,
                                        const DecodeOptions &options,
                                        DecodeReport &report) {
  const std::uint64_t positions = acceptor.NumStates();
  // OpenFst reports failures on std::cerr as well as in the result; only
  // the result counts here.
  const CerrSilencer silence_openfst;
  if (options.write_fsts) {
    // A dump is a side effect: a failed write changes nothing.
    static_cast<void>(write_fst(acceptor, word + ".fst"));
  }
  auto lattice = build_lattice(
      std::move(acceptor), model.fst, options.interrupted,
      options.limits.max_lattice_size(positions),
      &report.lattice_size);
  if (!lattice) return fail(report, failure_of(lattice.error()));
  if (options.write_fsts) {
    static_cast<void>(write_fst(*lattice, word + ".lat.fst"));
  }
  if (options.nbest == 0) return fail(report, DecodeFailure::kNothingRequested);
  if (lattice->Start() == fst::kNoStateId || lattice->NumStates() == 0) {
    return fail(report, DecodeFailure::kNoPath);
  }
  auto found = search_needed_paths(options, [&](std::uint64_t nbest) {
    return search_distinct_paths(*lattice, model, nbest, options, positions);
  });
  if (!found) return fail(report, failure_of(found.error()));
  report.route = DecodeRoute::kOpenFst;
  report.search_pairs = found->pairs;
  return select(std::move(found).value(), options);
}

}  // namespace

const char *describe(DecodeFailure failure) {
  switch (failure) {
    case DecodeFailure::kNone: return "none";
    case DecodeFailure::kNoKnownGraphemes: return "no known graphemes";
    case DecodeFailure::kNothingRequested: return "nothing requested";
    case DecodeFailure::kNoPath: return "no path";
    case DecodeFailure::kCompositionFailed: return "composition failed";
    case DecodeFailure::kSearchFailed: return "search failed";
    case DecodeFailure::kWorkLimit: return "work limit reached";
    case DecodeFailure::kInterrupted: return "interrupted";
  }
  return "unknown";
}

std::vector<PathData> phoneticize_word(const Model &model,
                                       const std::string &word,
                                       const DecodeOptions &options,
                                       DecodeReport *report) {
  DecodeReport unused;
  DecodeReport &out = report ? *report : unused;
  out = DecodeReport{};
  const LabelList labels = tokenize(word, model.delim, *model.isyms);
  if (labels.empty()) return fail(out, DecodeFailure::kNoKnownGraphemes);

  fst::StdVectorFst acceptor =
      build_fsa(labels, model.input_clusters.parts_to_label,
                model.input_clusters.max_parts);
  // Shares the table's data: no symbols are copied.
  acceptor.SetInputSymbols(model.isyms.get());
  acceptor.SetOutputSymbols(model.isyms.get());

  // The dumps need the real acceptor and lattice.
  if (model.search_plan.usable() && !options.write_fsts &&
      !options.reference_route) {
    if (options.nbest == 0) return fail(out, DecodeFailure::kNothingRequested);
    if (auto paths = decode_by_lattice_search(model, acceptor, options, out)) {
      return std::move(paths).value();
    }
    out = DecodeReport{};  // the OpenFst route starts over
  }
  return decode_by_openfst(model, word, std::move(acceptor), options, out);
}

}  // namespace tamsu

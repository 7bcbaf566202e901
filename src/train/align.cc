#include "train/align.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace tamsu {
namespace {

constexpr std::uint32_t kNoChunk = std::numeric_limits<std::uint32_t>::max();
constexpr double kNegInf = -std::numeric_limits<double>::infinity();
// Entries between two progress reports (and cancellation checks).
constexpr std::size_t kReportEvery = 2048;

// Posterior counts and log-likelihoods are summed in fixed point: integer
// addition is associative, so the sums, and with them every EM step and
// the model, come out the same whatever the number of threads that share
// the entries. Counts keep 2^-36 (and reach 2^63 only past 10^8
// occurrences of one chunk); log-likelihoods keep 2^-30 per entry.
constexpr double kCountScale = 68719476736.0;    // 2^36
constexpr double kLogScale = 1073741824.0;       // 2^30

std::int64_t to_fixed(double value, double scale) {
  return static_cast<std::int64_t>(std::llround(value * scale));
}

// One allowed chunk shape: `a` graphemes to `b` phonemes.
struct Shape {
  unsigned a;
  unsigned b;
};

// Shapes in the tie-breaking order: chunks with phonemes before silent
// ones, then shorter chunks, then fewer graphemes.
std::vector<Shape> allowed_shapes(const AlignOptions &options) {
  std::vector<Shape> shapes;
  for (unsigned a = 1; a <= options.max_graphemes; ++a) {
    for (unsigned b = 0; b <= options.max_phonemes; ++b) {
      if (b == 0 && a > options.max_deleted) continue;
      if (a > 1 && b > 1 && !options.many_to_many) continue;
      shapes.push_back({a, b});
    }
  }
  auto key = [](const Shape &s) {
    return std::make_tuple(s.b == 0, s.a + s.b, s.a);
  };
  std::stable_sort(shapes.begin(), shapes.end(),
                   [&](const Shape &x, const Shape &y) { return key(x) < key(y); });
  return shapes;
}

// The lattice of one entry: node (k, j) means k graphemes and j phonemes
// consumed; edge (node, shape) carries a chunk id or kNoChunk.
struct EntryLattice {
  unsigned n = 0;  // graphemes
  unsigned m = 0;  // phonemes
  std::vector<std::uint32_t> edges;  // [(k * (m + 1) + j) * shapes + s]
};

class ChunkInterner {
 public:
  explicit ChunkInterner(std::vector<Chunk> &chunks) : chunks_(chunks) {}

  std::uint32_t intern(const Label *g, unsigned a, const Label *p,
                       unsigned b) {
    key_.assign(g, g + a);
    key_.push_back(kSplit);
    key_.insert(key_.end(), p, p + b);
    auto [it, inserted] =
        ids_.emplace(key_, static_cast<std::uint32_t>(chunks_.size()));
    if (inserted) {
      chunks_.push_back(Chunk{LabelList(g, g + a), LabelList(p, p + b)});
    }
    return it->second;
  }

 private:
  // Symbol ids are dense and far below this value.
  static constexpr Label kSplit = std::numeric_limits<Label>::max();
  std::vector<Chunk> &chunks_;
  std::unordered_map<LabelList, std::uint32_t, LabelListHash> ids_;
  LabelList key_;
};

// Marks which nodes lie on a complete path; true when the end node does.
bool prune_dead_edges(EntryLattice &lattice, std::size_t shape_count,
                      const std::vector<Shape> &shapes) {
  const unsigned rows = lattice.m + 1;
  const std::size_t nodes = static_cast<std::size_t>(lattice.n + 1) * rows;
  std::vector<char> reaches_end(nodes, 0);
  reaches_end[nodes - 1] = 1;
  for (std::size_t node = nodes - 1; node-- > 0;) {
    const unsigned k = static_cast<unsigned>(node / rows);
    const unsigned j = static_cast<unsigned>(node % rows);
    for (std::size_t s = 0; s < shape_count; ++s) {
      std::uint32_t &edge = lattice.edges[node * shape_count + s];
      if (edge == kNoChunk) continue;
      const std::size_t next = (k + shapes[s].a) * rows + j + shapes[s].b;
      if (reaches_end[next]) {
        reaches_end[node] = 1;
      } else {
        edge = kNoChunk;  // a dead end: never part of a segmentation
      }
    }
  }
  return reaches_end[0] != 0;
}

// Forward-backward over one lattice with per-column scaling, so that long
// entries neither underflow nor overflow. Adds the posterior count of
// every edge to `counts` (in fixed point) and returns the entry's
// log-likelihood.
class ForwardBackward {
 public:
  explicit ForwardBackward(const std::vector<Shape> &shapes) : shapes_(shapes) {
    for (const Shape &shape : shapes) max_a_ = std::max(max_a_, shape.a);
  }

  double run(const EntryLattice &lattice,
             const std::vector<double> &probabilities,
             std::vector<std::int64_t> &counts) {
    const unsigned n = lattice.n, rows = lattice.m + 1;
    const std::size_t shape_count = shapes_.size();
    const std::size_t nodes = static_cast<std::size_t>(n + 1) * rows;
    alpha_.assign(nodes, 0.0);
    beta_.assign(nodes, 0.0);
    alpha_log_.assign(n + 1, 0.0);
    beta_log_.assign(n + 1, 0.0);

    // Forward: column k collects from columns k - a, each rescaled to the
    // largest scale among them (so no factor exceeds one), and is then
    // normalised to sum to one. An empty column has scale -infinity.
    alpha_[0] = 1.0;
    alpha_log_[0] = 0.0;
    for (unsigned k = 1; k <= n; ++k) {
      double reference = kNegInf;
      for (unsigned a = 1; a <= max_a_ && a <= k; ++a) {
        reference = std::max(reference, alpha_log_[k - a]);
      }
      double *column = &alpha_[static_cast<std::size_t>(k) * rows];
      if (reference == kNegInf) {
        alpha_log_[k] = kNegInf;
        continue;
      }
      for (std::size_t s = 0; s < shape_count; ++s) {
        const unsigned a = shapes_[s].a, b = shapes_[s].b;
        if (a > k || alpha_log_[k - a] == kNegInf) continue;
        const double factor = std::exp(alpha_log_[k - a] - reference);
        const std::size_t from_base = static_cast<std::size_t>(k - a) * rows;
        for (unsigned j = 0; j + b < rows; ++j) {
          const double from = alpha_[from_base + j];
          if (from == 0.0) continue;
          const std::uint32_t chunk =
              lattice.edges[(from_base + j) * shape_count + s];
          if (chunk == kNoChunk) continue;
          column[j + b] += from * probabilities[chunk] * factor;
        }
      }
      alpha_log_[k] = reference + normalise(column, rows);
    }
    const double end = alpha_[nodes - 1];
    if (!(end > 0.0) || alpha_log_[n] == kNegInf) return kNegInf;
    const double log_z = std::log(end) + alpha_log_[n];

    // Backward, scaled the same way from the end.
    beta_[nodes - 1] = 1.0;
    beta_log_[n] = 0.0;
    for (unsigned k = n; k-- > 0;) {
      double reference = kNegInf;
      for (unsigned a = 1; a <= max_a_ && k + a <= n; ++a) {
        reference = std::max(reference, beta_log_[k + a]);
      }
      double *column = &beta_[static_cast<std::size_t>(k) * rows];
      if (reference == kNegInf) {
        beta_log_[k] = kNegInf;
        continue;
      }
      for (std::size_t s = 0; s < shape_count; ++s) {
        const unsigned a = shapes_[s].a, b = shapes_[s].b;
        if (k + a > n || beta_log_[k + a] == kNegInf) continue;
        const double factor = std::exp(beta_log_[k + a] - reference);
        const std::size_t to_base = static_cast<std::size_t>(k + a) * rows;
        for (unsigned j = 0; j + b < rows; ++j) {
          const std::uint32_t chunk =
              lattice.edges[(static_cast<std::size_t>(k) * rows + j) *
                                shape_count + s];
          if (chunk == kNoChunk) continue;
          column[j] += probabilities[chunk] * beta_[to_base + j + b] * factor;
        }
      }
      beta_log_[k] = reference + normalise(column, rows);
    }

    // Posterior of edge (k, j) -> (k + a, j + b).
    for (unsigned k = 0; k < n; ++k) {
      for (std::size_t s = 0; s < shape_count; ++s) {
        const unsigned a = shapes_[s].a, b = shapes_[s].b;
        if (k + a > n || alpha_log_[k] == kNegInf ||
            beta_log_[k + a] == kNegInf) {
          continue;
        }
        // The column scales may be far apart when a column is dominated
        // by nodes off every complete path; the product then leaves the
        // range of a double, and the log domain takes over.
        const double scale_log = alpha_log_[k] + beta_log_[k + a] - log_z;
        const double scale = std::exp(scale_log);
        const std::size_t base = static_cast<std::size_t>(k) * rows;
        const std::size_t to_base = static_cast<std::size_t>(k + a) * rows;
        for (unsigned j = 0; j + b < rows; ++j) {
          const std::uint32_t chunk =
              lattice.edges[(base + j) * shape_count + s];
          if (chunk == kNoChunk) continue;
          const double product = alpha_[base + j] * probabilities[chunk] *
                                 beta_[to_base + j + b];
          if (product == 0.0) continue;
          const double posterior =
              std::isfinite(scale) && scale > 0.0
                  ? product * scale
                  : std::exp(std::log(product) + scale_log);
          counts[chunk] += to_fixed(posterior, kCountScale);
        }
      }
    }
    return log_z;
  }

 private:
  // Scales a column to sum one; returns the log of the removed factor
  // (-infinity for an all-zero column, which then stays zero).
  static double normalise(double *column, unsigned rows) {
    double sum = 0.0;
    for (unsigned j = 0; j < rows; ++j) sum += column[j];
    if (!(sum > 0.0)) return kNegInf;
    for (unsigned j = 0; j < rows; ++j) column[j] /= sum;
    return std::log(sum);
  }

  const std::vector<Shape> &shapes_;
  unsigned max_a_ = 1;
  std::vector<double> alpha_, beta_, alpha_log_, beta_log_;
};

// The best segmentation: a backward pass keeps, per node, the best way to
// the end, taking the first shape among equals.
std::vector<std::uint32_t> best_segmentation(
    const EntryLattice &lattice, const std::vector<Shape> &shapes,
    const std::vector<double> &log_probabilities) {
  const unsigned n = lattice.n, rows = lattice.m + 1;
  const std::size_t shape_count = shapes.size();
  const std::size_t nodes = static_cast<std::size_t>(n + 1) * rows;
  std::vector<double> best(nodes, kNegInf);
  std::vector<std::uint32_t> choice(nodes, kNoChunk);
  best[nodes - 1] = 0.0;
  for (std::size_t node = nodes - 1; node-- > 0;) {
    const unsigned k = static_cast<unsigned>(node / rows);
    const unsigned j = static_cast<unsigned>(node % rows);
    for (std::size_t s = 0; s < shape_count; ++s) {
      const std::uint32_t chunk = lattice.edges[node * shape_count + s];
      if (chunk == kNoChunk) continue;
      const std::size_t next = (k + shapes[s].a) * rows + j + shapes[s].b;
      const double score = log_probabilities[chunk] + best[next];
      if (score > best[node]) {
        best[node] = score;
        choice[node] = static_cast<std::uint32_t>(s);
      }
    }
  }
  std::vector<std::uint32_t> segmentation;
  std::size_t node = 0;
  while (node != nodes - 1 && choice[node] != kNoChunk) {
    const std::size_t s = choice[node];
    segmentation.push_back(lattice.edges[node * shape_count + s]);
    node += shapes[s].a * rows + shapes[s].b;
  }
  if (node != nodes - 1) segmentation.clear();  // every chunk had p = 0
  return segmentation;
}

std::string check_options(const AlignOptions &options) {
  if (options.max_graphemes < 1 || options.max_graphemes > 8)
    return "max_graphemes must be between 1 and 8";
  if (options.max_phonemes < 1 || options.max_phonemes > 8)
    return "max_phonemes must be between 1 and 8";
  if (options.max_deleted > options.max_graphemes)
    return "max_deleted must not exceed max_graphemes";
  if (options.iterations < 1) return "iterations must be at least 1";
  if (options.threads < 1 || options.threads > 64)
    return "threads must be between 1 and 64";
  if (!(options.tolerance >= 0.0)) return "tolerance must not be negative";
  return {};
}

// The lattice of an entry, its edges interned as chunk types; empty when
// no complete path joins its ends.
EntryLattice build_lattice(const LabelList &g, const LabelList &p,
                           const std::vector<Shape> &shapes,
                           ChunkInterner &interner) {
  if (g.empty() || p.empty()) return {};
  const std::size_t shape_count = shapes.size();
  EntryLattice lattice;
  lattice.n = static_cast<unsigned>(g.size());
  lattice.m = static_cast<unsigned>(p.size());
  const unsigned rows = lattice.m + 1;
  lattice.edges.assign(
      static_cast<std::size_t>(lattice.n + 1) * rows * shape_count, kNoChunk);
  for (unsigned k = 0; k < lattice.n; ++k) {
    for (unsigned j = 0; j <= lattice.m; ++j) {
      for (std::size_t s = 0; s < shape_count; ++s) {
        const unsigned a = shapes[s].a, b = shapes[s].b;
        if (k + a > lattice.n || j + b > lattice.m) continue;
        lattice.edges[(static_cast<std::size_t>(k) * rows + j) * shape_count +
                      s] = interner.intern(g.data() + k, a, p.data() + j, b);
      }
    }
  }
  if (!prune_dead_edges(lattice, shape_count, shapes)) return {};
  return lattice;
}

// The E-step's inputs and its per-thread sums. Thread t takes blocks t,
// t + threads, ...; with the fixed-point sums the model depends neither on
// scheduling nor on the thread count.
struct Expectation {
  const std::vector<EntryLattice> &lattices;
  const std::vector<std::size_t> &aligned;  // entries with a lattice
  const std::vector<Shape> &shapes;
  unsigned threads;
  std::vector<std::vector<std::int64_t>> counts;  // per thread, per chunk
  std::vector<std::int64_t> log_likelihood;       // per thread
};

// Runs one E-step under `probabilities` into the per-thread sums; false
// when `progress` cancelled it.
bool expect_counts(Expectation &e, const std::vector<double> &probabilities,
                   std::uint64_t done_before, std::uint64_t work_total,
                   const ProgressFn &progress) {
  std::atomic<bool> cancelled{false};
  std::atomic<std::size_t> finished{0};
  const std::vector<std::size_t> &aligned = e.aligned;
  auto worker = [&](unsigned t) {
    ForwardBackward fb(e.shapes);
    std::fill(e.counts[t].begin(), e.counts[t].end(), 0);
    std::int64_t sum = 0;
    for (std::size_t block = t;; block += e.threads) {
      const std::size_t begin = block * kReportEvery;
      if (begin >= aligned.size() || cancelled.load()) break;
      const std::size_t end = std::min(aligned.size(), begin + kReportEvery);
      for (std::size_t i = begin; i < end; ++i) {
        // An entry whose every segmentation uses a chunk that lost all
        // its mass has no likelihood left; it ends up unaligned.
        const double z =
            fb.run(e.lattices[aligned[i]], probabilities, e.counts[t]);
        if (z > kNegInf) sum += to_fixed(z, kLogScale);
      }
      finished.fetch_add(end - begin);
      if (t == 0 && progress &&
          !progress({TrainStage::kAligning, done_before + finished.load(),
                     work_total})) {
        cancelled.store(true);
      }
    }
    e.log_likelihood[t] = sum;
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < e.threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (std::thread &thread : pool) thread.join();
  return !cancelled.load();
}

// M-step: the joint chunk distribution is the normalised posterior count
// of every chunk type. Returns the E-step's log-likelihood, or nothing
// (and `probabilities` unchanged) when no mass was counted.
std::optional<double> maximise(Expectation &e,
                               std::vector<double> &probabilities) {
  double total = 0.0;
  std::int64_t ll_fixed = 0;
  for (unsigned t = 0; t < e.threads; ++t) ll_fixed += e.log_likelihood[t];
  std::vector<std::int64_t> &counts = e.counts[0];
  for (std::size_t c = 0; c < probabilities.size(); ++c) {
    std::int64_t sum = 0;
    for (unsigned t = 0; t < e.threads; ++t) sum += e.counts[t][c];
    counts[c] = sum;
    total += static_cast<double>(sum);
  }
  if (!(total > 0.0) || !std::isfinite(total)) return std::nullopt;
  for (std::size_t c = 0; c < probabilities.size(); ++c) {
    probabilities[c] = static_cast<double>(counts[c]) / total;
  }
  return static_cast<double>(ll_fixed) / kLogScale;
}

// EM from equally likely chunks until the per-entry gain in log-likelihood
// falls below the tolerance or the iterations run out. Fills the result's
// probabilities and log-likelihoods; false when cancelled.
bool run_em(const std::vector<EntryLattice> &lattices,
            const std::vector<std::size_t> &aligned,
            const std::vector<Shape> &shapes, const AlignOptions &options,
            const ProgressFn &progress, AlignmentResult &result) {
  result.probabilities.assign(result.chunks.size(), 1.0);
  const unsigned threads = std::min<std::size_t>(
      options.threads, std::max<std::size_t>(1, aligned.size() / 1024));
  Expectation e{lattices, aligned, shapes, threads,
                std::vector<std::vector<std::int64_t>>(
                    threads, std::vector<std::int64_t>(result.chunks.size())),
                std::vector<std::int64_t>(threads)};
  const std::uint64_t work_total =
      static_cast<std::uint64_t>(options.iterations) * aligned.size();
  double previous = kNegInf;
  for (unsigned iteration = 0; iteration < options.iterations; ++iteration) {
    if (!expect_counts(e, result.probabilities,
                       static_cast<std::uint64_t>(iteration) * aligned.size(),
                       work_total, progress)) {
      return false;
    }
    const std::optional<double> ll = maximise(e, result.probabilities);
    if (!ll) break;  // keep the last distribution
    result.log_likelihoods.push_back(*ll);
    // The first likelihood is under unnormalised uniform weights and says
    // nothing about convergence.
    const double gain = (*ll - previous) / static_cast<double>(aligned.size());
    if (iteration > 1 && gain < options.tolerance) {
      break;
    }
    if (iteration > 0) previous = *ll;
  }
  // The bar ends where the work did: an early stop shrinks the total to
  // the iterations actually run.
  if (progress) {
    const std::uint64_t done =
        static_cast<std::uint64_t>(result.log_likelihoods.size()) *
        aligned.size();
    progress({TrainStage::kAligning, done, done});
  }
  return true;
}

}  // namespace

Expected<AlignmentResult, TrainError> align_lexicon(
    const EncodedLexicon &lexicon, const AlignOptions &options,
    const ProgressFn &progress) {
  if (std::string problem = check_options(options); !problem.empty()) {
    return make_unexpected(
        make_train_error(TrainError::Kind::kInvalidOptions, problem));
  }
  const std::vector<Shape> shapes = allowed_shapes(options);
  const std::size_t entry_count = lexicon.graphemes.size();
  AlignmentResult result;
  result.alignments.resize(entry_count);

  // Every entry's lattice is built once; the E-steps only read them.
  std::vector<EntryLattice> lattices(entry_count);
  std::vector<std::size_t> aligned;  // entries with a complete path
  {
    ChunkInterner interner(result.chunks);
    for (std::size_t e = 0; e < entry_count; ++e) {
      lattices[e] = build_lattice(lexicon.graphemes[e], lexicon.phonemes[e],
                                  shapes, interner);
      if (!lattices[e].edges.empty()) aligned.push_back(e);
    }
  }
  result.unaligned = entry_count - aligned.size();
  if (aligned.empty()) {
    return make_unexpected(make_train_error(
        TrainError::Kind::kNothingAligned,
        "no entry can be aligned with chunks of at most " +
            std::to_string(options.max_graphemes) + " graphemes and " +
            std::to_string(options.max_phonemes) + " phonemes"));
  }
  if (!run_em(lattices, aligned, shapes, options, progress, result)) {
    return make_unexpected(make_train_error(TrainError::Kind::kCancelled,
                                            "alignment was cancelled"));
  }

  std::vector<double> log_probabilities(result.probabilities.size());
  for (std::size_t c = 0; c < log_probabilities.size(); ++c) {
    log_probabilities[c] = result.probabilities[c] > 0.0
                               ? std::log(result.probabilities[c])
                               : kNegInf;
  }
  for (std::size_t e : aligned) {
    result.alignments[e] =
        best_segmentation(lattices[e], shapes, log_probabilities);
    if (result.alignments[e].empty()) ++result.unaligned;
    lattices[e] = EntryLattice{};  // release as we go
  }
  return result;
}

}  // namespace tamsu

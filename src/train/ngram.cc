#include "train/ngram.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace tamsu {
namespace {

constexpr std::size_t kReportEvery = 8192;  // sentences between reports

// Open-addressing map from (parent node, token) to child node, used only
// while counting.
class ChildMap {
 public:
  ChildMap() { rehash(1u << 16); }

  // The child of `parent` for `token`, created as `next_id` if missing.
  std::uint32_t find_or_insert(std::uint32_t parent, Token token,
                               std::uint32_t next_id, bool &inserted) {
    if ((size_ + 1) * 2 > keys_.size()) rehash(keys_.size() * 2);
    const std::uint64_t key = (std::uint64_t{parent} << 32) | token;
    std::size_t slot = hash(key);
    while (keys_[slot] != kEmpty) {
      if (keys_[slot] == key) {
        inserted = false;
        return values_[slot];
      }
      slot = (slot + 1) & mask_;
    }
    keys_[slot] = key;
    values_[slot] = next_id;
    ++size_;
    inserted = true;
    return next_id;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::size_t hash(std::uint64_t key) const {
    key *= 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(key >> 20) & mask_;
  }

  void rehash(std::size_t capacity) {
    std::vector<std::uint64_t> old_keys(capacity, kEmpty);
    std::vector<std::uint32_t> old_values(capacity);
    old_keys.swap(keys_);
    old_values.swap(values_);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < old_keys.size(); ++i) {
      if (old_keys[i] == kEmpty) continue;
      std::size_t slot = hash(old_keys[i]);
      while (keys_[slot] != kEmpty) slot = (slot + 1) & mask_;
      keys_[slot] = old_keys[i];
      values_[slot] = old_values[i];
    }
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> values_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

Unexpected<TrainError> cancelled() {
  return make_unexpected(make_train_error(TrainError::Kind::kCancelled,
                                          "n-gram estimation was cancelled"));
}

// Child lists grouped by parent and sorted by token.
void link_children(NgramModel &model) {
  auto &nodes = model.nodes;
  std::vector<std::uint32_t> fill(nodes.size(), 0);
  for (std::size_t i = 1; i < nodes.size(); ++i) ++nodes[nodes[i].parent].child_count;
  std::uint32_t offset = 0;
  for (auto &node : nodes) {
    node.first_child = offset;
    offset += node.child_count;
  }
  model.children.assign(offset, 0);
  for (std::uint32_t i = 1; i < nodes.size(); ++i) {
    const std::uint32_t parent = nodes[i].parent;
    model.children[nodes[parent].first_child + fill[parent]++] = i;
  }
  for (const auto &node : nodes) {
    auto begin = model.children.begin() + node.first_child;
    std::sort(begin, begin + node.child_count,
              [&](std::uint32_t a, std::uint32_t b) {
                return nodes[a].token < nodes[b].token;
              });
  }
}

// Any child, kept or not.
std::uint32_t find_any_child(const NgramModel &model, std::uint32_t node,
                             Token token) {
  const auto &n = model.nodes[node];
  auto begin = model.children.begin() + n.first_child;
  auto end = begin + n.child_count;
  auto it = std::lower_bound(begin, end, token,
                             [&](std::uint32_t child, Token t) {
                               return model.nodes[child].token < t;
                             });
  return it != end && model.nodes[*it].token == token ? *it : kNoNode;
}

// Node ids grouped by n-gram length, shortest first.
std::vector<std::vector<std::uint32_t>> nodes_by_length(
    const NgramModel &model) {
  std::vector<std::vector<std::uint32_t>> by_length(model.order + 1);
  for (std::uint32_t i = 0; i < model.nodes.size(); ++i) {
    by_length[model.nodes[i].length].push_back(i);
  }
  return by_length;
}

// Modified Kneser-Ney discounts from the count-of-counts n1..n4, falling
// back to fixed values where the data are too thin, and clamped so that
// every discounted count stays positive.
std::array<double, 3> kneser_ney_discounts(const std::array<double, 4> &n) {
  std::array<double, 3> d = {0.5, 1.0, 1.5};
  if (n[0] > 0 && n[1] > 0) {
    const double y = n[0] / (n[0] + 2.0 * n[1]);
    d[0] = 1.0 - 2.0 * y * n[1] / n[0];
    if (n[2] > 0) d[1] = 2.0 - 3.0 * y * n[2] / n[1];
    if (n[2] > 0 && n[3] > 0) d[2] = 3.0 - 4.0 * y * n[3] / n[2];
  }
  for (int i = 0; i < 3; ++i) {
    const double limit = i + 1.0;
    if (!(d[i] > 0.0)) d[i] = 0.1 * limit;
    d[i] = std::min(d[i], 0.95 * limit);
  }
  return d;
}

double discount_for(const std::array<double, 3> &d, double count) {
  if (count >= 3.0) return d[2];
  if (count >= 2.0) return d[1];
  return d[0];
}

// ln p(token | node's n-gram) under the current (possibly pruned) model.
// A pruned history has no kept children and no weight of its own: the
// walk passes through it to its suffix.
double backoff_log_prob(const NgramModel &model, std::uint32_t node,
                        Token token) {
  double log_backoff = 0.0;
  for (;;) {
    const auto &n = model.nodes[node];
    if (n.kept) {
      const std::uint32_t child = find_child(model, node, token);
      if (child != kNoNode) return log_backoff + model.nodes[child].log_prob;
      if (node == 0) return -std::numeric_limits<double>::infinity();
      log_backoff += n.log_backoff;
    }
    node = n.suffix;
  }
}

// Keeps, for a threshold, every n-gram of order >= 2 whose pruning cost
// reaches it, plus every n-gram that is the history of a kept one.
// Returns the number of kept n-grams.
std::uint64_t apply_threshold(
    NgramModel &model, const std::vector<std::vector<std::uint32_t>> &by_length,
    const std::vector<double> &cost, double threshold) {
  std::vector<std::uint32_t> kept_children(model.nodes.size(), 0);
  std::uint64_t kept = 0;
  for (std::size_t length = model.order; length >= 1; --length) {
    for (std::uint32_t id : by_length[length]) {
      auto &node = model.nodes[id];
      node.kept = length == 1 || kept_children[id] > 0 || cost[id] >= threshold;
      if (node.kept) {
        ++kept_children[node.parent];
        ++kept;
      }
    }
  }
  return kept;
}

constexpr double kTiny = 1e-12;

// P(history) of every n-gram as the chain of the model's own
// probabilities; the start token is certain.
std::vector<double> history_probabilities(
    const NgramModel &model,
    const std::vector<std::vector<std::uint32_t>> &by_length) {
  const auto &nodes = model.nodes;
  std::vector<double> history_prob(nodes.size(), 1.0);
  for (std::size_t length = 1; length <= model.order; ++length) {
    for (std::uint32_t id : by_length[length]) {
      const auto &node = nodes[id];
      history_prob[id] =
          node.token == model.start_token()
              ? 1.0
              : history_prob[node.parent] * std::exp(node.log_prob);
    }
  }
  return history_prob;
}

// Per n-gram of order two and up, the weighted relative entropy its removal
// would cost (Stolcke 1998); 0 for the rest.
std::vector<double> pruning_costs(const NgramModel &model,
                                  const std::vector<double> &history_prob) {
  const auto &nodes = model.nodes;
  // Per history: the mass left to unseen tokens at its level and below.
  std::vector<double> left(nodes.size(), 1.0), left_lower(nodes.size(), 1.0);
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    const auto &node = nodes[id];
    if (node.length < 2) continue;
    left[node.parent] -= std::exp(node.log_prob);
    left_lower[node.parent] -= std::exp(nodes[node.suffix].log_prob);
  }
  std::vector<double> cost(nodes.size(), 0.0);
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    const auto &node = nodes[id];
    if (node.length < 2) continue;
    const double num = std::max(left[node.parent], kTiny);
    const double den = std::max(left_lower[node.parent], kTiny);
    const double p = std::exp(node.log_prob);
    const double p_lower = std::exp(nodes[node.suffix].log_prob);
    const double log_bow = std::log(num / den);
    const double log_bow_new = std::log((num + p) / (den + p_lower));
    const double change =
        p * (std::log(p_lower) + log_bow_new - node.log_prob) +
        num * (log_bow_new - log_bow);
    cost[id] = -history_prob[node.parent] * change;
  }
  return cost;
}

// The pruning threshold: the option's, raised to the smallest candidate
// cost that keeps at most max_ngrams n-grams when that limit is set.
double pruning_threshold(
    NgramModel &model, const std::vector<std::vector<std::uint32_t>> &by_length,
    const std::vector<double> &cost, const NgramOptions &options) {
  const double threshold = options.prune_threshold;
  const std::uint64_t limit = options.max_ngrams;
  if (limit == 0 ||
      apply_threshold(model, by_length, cost, threshold) <= limit) {
    return threshold;
  }
  std::vector<double> candidates;
  for (std::uint32_t id = 1; id < model.nodes.size(); ++id) {
    if (model.nodes[id].length >= 2) candidates.push_back(cost[id]);
  }
  // The kept count falls as the threshold rises: search the smallest
  // candidate cost that is a high enough threshold.
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()),
                   candidates.end());
  std::size_t lo = 0, hi = candidates.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    // Cost >= threshold is kept: a threshold just above candidates[mid]
    // drops it.
    const double t = std::nextafter(candidates[mid],
                                    std::numeric_limits<double>::infinity());
    if (apply_threshold(model, by_length, cost, t) <= limit) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  const double raised =
      lo < candidates.size()
          ? std::nextafter(candidates[lo],
                           std::numeric_limits<double>::infinity())
          : std::numeric_limits<double>::infinity();
  return std::max(raised, threshold);
}

// Kept probabilities stay; each backoff weight is renormalised against the
// pruned lower orders, shortest histories first.
void renormalise_backoffs(
    NgramModel &model,
    const std::vector<std::vector<std::uint32_t>> &by_length) {
  auto &nodes = model.nodes;
  for (std::size_t length = 1; length < model.order; ++length) {
    for (std::uint32_t id : by_length[length]) {
      auto &node = nodes[id];
      if (!node.kept) continue;
      double seen = 0.0, seen_lower = 0.0;
      bool any = false;
      for (std::uint32_t i = 0; i < node.child_count; ++i) {
        const auto &child = nodes[model.children[node.first_child + i]];
        if (!child.kept) continue;
        any = true;
        seen += std::exp(child.log_prob);
        seen_lower += std::exp(backoff_log_prob(model, node.suffix, child.token));
      }
      node.log_backoff =
          any ? std::log(std::max(1.0 - seen, kTiny) /
                         std::max(1.0 - seen_lower, kTiny))
              : 0.0;
    }
  }
}

void prune(NgramModel &model,
           const std::vector<std::vector<std::uint32_t>> &by_length,
           const NgramOptions &options) {
  const std::vector<double> cost =
      pruning_costs(model, history_probabilities(model, by_length));
  apply_threshold(model, by_length, cost,
                  pruning_threshold(model, by_length, cost, options));
  renormalise_backoffs(model, by_length);
}

// Counts every n-gram of the padded sentences into a trie of new nodes of
// `model` (node 0 the root); returns the raw count per node. Every n-gram
// occurrence is counted once, at its first position.
Expected<std::vector<std::uint32_t>, TrainError> count_ngrams(
    const std::vector<Sentence> &sentences, NgramModel &model,
    const ProgressFn &progress) {
  const Token end = model.end_token(), start = model.start_token();
  std::vector<std::uint32_t> raw(1, 0);
  model.nodes.emplace_back();
  ChildMap map;
  Sentence padded;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    padded.assign(1, start);
    for (Token t : sentences[s]) {
      if (t >= model.vocabulary) {
        return make_unexpected(make_train_error(
            TrainError::Kind::kInvalidOptions,
            "sentence " + std::to_string(s + 1) +
                " has a token outside the vocabulary"));
      }
      padded.push_back(t);
    }
    padded.push_back(end);
    for (std::size_t i = 0; i < padded.size(); ++i) {
      std::uint32_t node = 0;
      const std::size_t last = std::min<std::size_t>(padded.size(),
                                                     i + model.order);
      for (std::size_t j = i; j < last; ++j) {
        bool inserted = false;
        const auto next_id = static_cast<std::uint32_t>(model.nodes.size());
        const std::uint32_t child =
            map.find_or_insert(node, padded[j], next_id, inserted);
        if (inserted) {
          NgramModel::Node created;
          created.parent = node;
          created.token = padded[j];
          created.length = model.nodes[node].length + 1;
          model.nodes.push_back(created);
          raw.push_back(0);
        }
        ++raw[child];
        node = child;
      }
    }
    if (progress && (s + 1) % kReportEvery == 0 &&
        !progress({TrainStage::kCounting, s + 1, sentences.size()})) {
      return cancelled();
    }
  }
  if (progress &&
      !progress({TrainStage::kCounting, sentences.size(), sentences.size()})) {
    return cancelled();
  }
  return raw;
}

// Suffix links, shorter n-grams first: the suffix of (h, w) is the child w
// of the suffix of h, which was counted at the next position.
void link_suffixes(NgramModel &model,
                   const std::vector<std::vector<std::uint32_t>> &by_length) {
  auto &nodes = model.nodes;
  for (std::size_t length = 1; length <= model.order; ++length) {
    for (std::uint32_t id : by_length[length]) {
      auto &node = nodes[id];
      node.suffix = length == 1
                        ? 0
                        : find_any_child(model, nodes[node.parent].suffix,
                                         node.token);
    }
  }
}

// Kneser-Ney counts: below the top order an n-gram counts the distinct
// tokens seen before it, except when it starts with <s>, which nothing
// precedes.
std::vector<double> kneser_ney_counts(
    const NgramModel &model,
    const std::vector<std::vector<std::uint32_t>> &by_length,
    const std::vector<std::uint32_t> &raw) {
  const auto &nodes = model.nodes;
  std::vector<bool> starts_with_start(nodes.size(), false);
  std::vector<double> count(nodes.size(), 0.0);
  for (std::size_t length = 1; length <= model.order; ++length) {
    for (std::uint32_t id : by_length[length]) {
      starts_with_start[id] = length == 1
                                  ? nodes[id].token == model.start_token()
                                  : starts_with_start[nodes[id].parent];
      if (length == model.order || starts_with_start[id]) count[id] = raw[id];
    }
  }
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    const auto &node = nodes[id];
    if (node.length >= 2 && !starts_with_start[node.suffix] &&
        node.suffix != 0 && nodes[node.suffix].length < model.order) {
      count[node.suffix] += 1.0;
    }
  }
  return count;
}

// Discounts per order from the count-of-counts of the predicted n-grams.
void estimate_discounts(
    NgramModel &model, const std::vector<std::vector<std::uint32_t>> &by_length,
    const std::vector<double> &count) {
  model.discounts.resize(model.order);
  for (std::size_t length = 1; length <= model.order; ++length) {
    std::array<double, 4> n = {0, 0, 0, 0};
    for (std::uint32_t id : by_length[length]) {
      if (model.nodes[id].token == model.start_token()) continue;
      const double c = count[id];
      if (c >= 1.0 && c <= 4.0) n[static_cast<int>(c) - 1] += 1.0;
    }
    model.discounts[length - 1] = kneser_ney_discounts(n);
  }
}

// Interpolated probabilities, shorter n-grams first, so the lower-order
// estimate of (h, w) -- the node of its suffix -- is always ready. The
// interpolation weight of h is also its backoff weight: the explicit
// probabilities of h's children leave exactly that mass for the others.
// False when `progress` cancelled.
bool interpolate(NgramModel &model,
                 const std::vector<std::vector<std::uint32_t>> &by_length,
                 const std::vector<double> &count, const ProgressFn &progress) {
  auto &nodes = model.nodes;
  const Token start = model.start_token();
  std::vector<double> total(nodes.size(), 0.0);
  std::vector<std::array<double, 3>> classes(nodes.size(), {0, 0, 0});
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    const auto &node = nodes[id];
    if (node.token == start) continue;
    const double c = count[id];
    total[node.parent] += c;
    classes[node.parent][c >= 3.0 ? 2 : c >= 2.0 ? 1 : 0] += 1.0;
  }
  auto gamma = [&](std::uint32_t id) {
    const auto &d = model.discounts[nodes[id].length];
    return (d[0] * classes[id][0] + d[1] * classes[id][1] +
            d[2] * classes[id][2]) /
           total[id];
  };
  const double uniform = 1.0 / (static_cast<double>(model.vocabulary) + 1.0);
  for (std::size_t length = 1; length <= model.order; ++length) {
    if (progress &&
        !progress({TrainStage::kEstimating, length - 1, model.order})) {
      return false;
    }
    const auto &d = model.discounts[length - 1];
    for (std::uint32_t id : by_length[length]) {
      auto &node = nodes[id];
      if (node.token == start) {
        node.log_prob = -std::numeric_limits<double>::infinity();
        continue;
      }
      const double parent_total = total[node.parent];
      const double lower =
          length == 1 ? uniform : std::exp(nodes[node.suffix].log_prob);
      const double p = (count[id] - discount_for(d, count[id])) / parent_total +
                       gamma(node.parent) * lower;
      node.log_prob = std::log(p);
    }
  }
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    if (nodes[id].child_count > 0) nodes[id].log_backoff = std::log(gamma(id));
  }
  return !progress ||
         progress({TrainStage::kEstimating, model.order, model.order});
}

}  // namespace

std::uint32_t find_child(const NgramModel &model, std::uint32_t node,
                         Token token) {
  const std::uint32_t child = find_any_child(model, node, token);
  return child != kNoNode && model.nodes[child].kept ? child : kNoNode;
}

double log_probability(const NgramModel &model, const Sentence &history,
                       Token token) {
  // The longest kept n-gram that ends the history, walking down the trie
  // from each possible start.
  const std::size_t keep = std::min<std::size_t>(history.size(),
                                                 model.order - 1);
  for (std::size_t start = history.size() - keep; start <= history.size();
       ++start) {
    std::uint32_t node = 0;
    for (std::size_t i = start; i < history.size() && node != kNoNode; ++i) {
      node = find_child(model, node, history[i]);
    }
    if (node != kNoNode && (node == 0 || model.nodes[node].child_count > 0)) {
      return backoff_log_prob(model, node, token);
    }
  }
  return backoff_log_prob(model, 0, token);
}

Expected<NgramModel, TrainError> estimate_ngrams(
    const std::vector<Sentence> &sentences, Token vocabulary,
    const NgramOptions &options, const ProgressFn &progress) {
  if (options.order < 1 || options.order > 32) {
    return make_unexpected(make_train_error(
        TrainError::Kind::kInvalidOptions, "order must be between 1 and 32"));
  }
  if (!(options.prune_threshold >= 0.0)) {
    return make_unexpected(make_train_error(
        TrainError::Kind::kInvalidOptions,
        "the pruning threshold must not be negative"));
  }
  if (sentences.empty()) {
    return make_unexpected(make_train_error(TrainError::Kind::kNoEntries,
                                            "there is nothing to count"));
  }
  NgramModel model;
  model.order = options.order;
  model.vocabulary = vocabulary;
  auto raw = count_ngrams(sentences, model, progress);
  if (!raw) return make_unexpected(raw.error());
  link_children(model);
  const auto by_length = nodes_by_length(model);
  link_suffixes(model, by_length);
  const std::vector<double> count = kneser_ney_counts(model, by_length, *raw);
  estimate_discounts(model, by_length, count);
  if (!interpolate(model, by_length, count, progress)) return cancelled();

  if (options.max_ngrams > 0 || options.prune_threshold > 0.0) {
    if (progress && !progress({TrainStage::kPruning, 0, 1})) return cancelled();
    prune(model, by_length, options);
    if (progress && !progress({TrainStage::kPruning, 1, 1})) return cancelled();
  }
  model.kept_per_order.assign(model.order, 0);
  for (std::uint32_t id = 1; id < model.nodes.size(); ++id) {
    const auto &node = model.nodes[id];
    if (node.kept) ++model.kept_per_order[node.length - 1];
  }
  return model;
}

}  // namespace tamsu

// Tests for the pronunciation search: the list the n-shortest replay
// collects without accumulate, ties, repeats, short lattices and its work
// limit.
#include "nbest/pronunciation_search.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"
#include "nbest/lattice_search.h"

namespace tamsu {
namespace {

WordLattice lattice_for(const Model &model, const std::string &word) {
  LabelList labels;
  for (char c : word) labels.push_back(model.isyms->Find(std::string(1, c)));
  auto lattice = build_word_lattice(
      model, build_fsa(labels, model.input_clusters.parts_to_label,
                       model.input_clusters.max_parts),
      {});
  EXPECT_TRUE(lattice && lattice->num_states() > 0) << word;
  return lattice ? std::move(lattice).value() : WordLattice{};
}

Expected<DistinctPaths, LatticeRefusal> search(
    const Model &model, const std::string &word, std::uint64_t nbest,
    const WorkLimits &limits = {}) {
  return search_pronunciations(lattice_for(model, word), model, nbest, {},
                               limits, word.size() + 1);
}

// (uniques, weight) per record, in order.
std::vector<std::pair<LabelList, float>> listed(const DistinctPaths &found) {
  std::vector<std::pair<LabelList, float>> list;
  for (const PathData &path : found.collection.paths) {
    list.emplace_back(path.uniques, path.path_weight);
  }
  return list;
}

// Input: a b c h and the cluster "c|h"; output: the cluster "K|H" spells
// K H, so "ch" is K H by three alignments. A backoff shape 2 -> 1 -> 0
// with an epsilon arc that writes, a dead end (3) and a negative weight.
std::unique_ptr<Model> backoff_model() {
  return test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "E", "K|H"}, 4,
      {{0, "a", "A", 1.0f, 1}, {0, "a", "B", 1.25f, 2}, {0, "b", "B", 0.5f, 0},
       {0, "c", "K", 1.0f, 1}, {0, "h", "H", 1.5f, 0}, {0, "c|h", "K|H", 2.1f, 2},
       {0, "h", "<eps>", 0.7f, 0}, {1, "b", "B", 0.25f, 2},
       {1, "c", "K", 0.375f, 3}, {1, "h", "H", 0.625f, 0},
       {1, "<eps>", "<eps>", 0.5f, 0}, {2, "a", "E", 0.125f, 2},
       {2, "<eps>", "E", -0.25f, 1}, {2, "<eps>", "<eps>", 0.875f, 0}},
      {{0, 0.5f}, {2, 0.0f}});
}

struct ReplayCase {
  const char *word;
  std::uint64_t nbest;
};

class AgainstReplayTest : public ::testing::TestWithParam<ReplayCase> {};

// The n-shortest replay's collection without accumulate: the same
// pronunciations with the same weights in the same order (no two tie
// here), and whether the lattice ran out of them.
TEST_P(AgainstReplayTest, SameListAsTheNShortestPaths) {
  configure_openfst();
  const auto model = backoff_model();
  const auto [word, nbest] = GetParam();
  const WordLattice lattice = lattice_for(*model, word);
  const auto ours = search_pronunciations(lattice, *model, nbest, {}, {},
                                          std::string(word).size() + 1);
  const auto replay = search_word_lattice(lattice, *model, nbest, false, {},
                                          {}, std::string(word).size() + 1);
  ASSERT_TRUE(ours && replay);
  EXPECT_EQ(listed(*ours), listed(*replay));
  EXPECT_EQ(ours->exhausted, replay->exhausted);
  ASSERT_EQ(ours->collection.paths.size(), replay->collection.paths.size());
  for (std::size_t i = 0; i < ours->collection.paths.size(); ++i) {
    const PathData &a = ours->collection.paths[i];
    const PathData &b = replay->collection.paths[i];
    EXPECT_EQ(a.ilabels, b.ilabels) << i;  // the same best path
    EXPECT_EQ(a.olabels, b.olabels) << i;
    EXPECT_EQ(a.path_weights, b.path_weights) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Words, AgainstReplayTest,
    ::testing::Values(ReplayCase{"a", 1}, ReplayCase{"a", 10},
                      ReplayCase{"ch", 3}, ReplayCase{"chab", 5},
                      ReplayCase{"abach", 10}, ReplayCase{"hcab", 3},
                      ReplayCase{"cabbacha", 7}, ReplayCase{"bach", 40}));

// a:A and a:B weigh the same: either may come first, but both are listed
// with their weight, and a request cut inside the tie takes one of them.
TEST(PronunciationSearchTest, TiesAreListedWhole) {
  configure_openfst();
  const auto model = test::make_model(
      {"<eps>", "|", "_", "a"}, {"<eps>", "|", "_", "A", "B"}, 1,
      {{0, "a", "A", 1.0f, 0}, {0, "a", "B", 1.0f, 0}}, {{0, 0.0f}});
  const LabelList A{3}, B{4};
  for (const std::uint64_t nbest : {1, 2, 3}) {
    const auto found = search(*model, "aa", nbest);
    ASSERT_TRUE(found);
    std::set<LabelList> seen;
    for (const auto &[uniques, weight] : listed(*found)) {
      EXPECT_EQ(weight, 2.0f);
      seen.insert(uniques);
    }
    EXPECT_EQ(seen.size(), nbest);
  }
  const auto all = search(*model, "a", 10);  // fewer than asked
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->exhausted);
  EXPECT_EQ(std::set<LabelList>({all->collection.paths.at(0).uniques,
                                 all->collection.paths.at(1).uniques}),
            std::set<LabelList>({A, B}));
  EXPECT_EQ(all->collection.paths.size(), 2u);
}

// Six arcs d:D and one d:E: "ddddd" spells D D D D D by 7776 paths, 2449
// of them cheaper than the best paths with an E (five, tied). Each
// pronunciation comes once, with its best path, and the repeats are not
// walked: the replay's request stops at its cap of 1024 paths with
// D D D D D alone.
std::unique_ptr<Model> repeats_model() {
  std::vector<test::TextArc> arcs = {{0, "d", "E", 2.0f, 0}};
  for (float w : {0.5f, 0.6f, 0.75f, 0.9f, 1.1f, 1.3f}) {
    arcs.push_back({0, "d", "D", w, 0});
  }
  return test::make_model({"<eps>", "|", "_", "d"},
                          {"<eps>", "|", "_", "D", "E"}, 1, arcs, {{0, 0.0f}});
}

TEST(PronunciationSearchTest, RepeatsOfOnePronunciationAreSkipped) {
  configure_openfst();
  const auto model = repeats_model();
  const auto found = search(*model, "ddddd", 3);
  ASSERT_TRUE(found);
  const LabelList five_d(5, 3);
  LabelList one_e = five_d;
  one_e[0] = 4;
  ASSERT_EQ(found->collection.paths.size(), 3u);
  EXPECT_EQ(found->collection.paths[0].uniques, five_d);
  EXPECT_EQ(found->collection.paths[0].path_weight, 2.5f);
  EXPECT_EQ(found->collection.paths[0].path_weights,
            std::vector<float>(5, 0.5f));
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_FLOAT_EQ(found->collection.paths[i].path_weight, 4.0f);
    EXPECT_EQ(std::count(found->collection.paths[i].uniques.begin(),
                         found->collection.paths[i].uniques.end(), 4u),
              1);
  }
  EXPECT_FALSE(found->exhausted);
  EXPECT_LT(found->pairs, 200u);  // not thousands of paths
  const auto replay = search_word_lattice(lattice_for(*model, "ddddd"), *model,
                                          3, false, {}, {}, 6);
  ASSERT_TRUE(replay);
  EXPECT_EQ(replay->collection.paths.size(), 1u);
}

// Bounded by its records: either it fails, having completed nothing, or
// it keeps the pronunciations completed so far, the unbounded list's first.
TEST(PronunciationSearchTest, WorkLimitKeepsTheBestCompleted) {
  configure_openfst();
  const auto model = repeats_model();
  const auto full = search(*model, "dddd", 6);
  ASSERT_TRUE(full);
  std::set<std::size_t> sizes;
  for (std::uint64_t pairs = 3; pairs < 120; ++pairs) {
    WorkLimits limits;
    limits.search_pairs_per_position_and_path = 1;
    limits.search_pairs_max = pairs;
    const auto found = search(*model, "dddd", 6, limits);
    if (!found) {
      EXPECT_EQ(found.error(), LatticeRefusal::kWorkLimit);
      sizes.insert(0);
      continue;
    }
    const auto kept = listed(*found);
    ASSERT_FALSE(kept.empty());
    const auto all = listed(*full);
    ASSERT_LE(kept.size(), all.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all.begin())) << pairs;
    EXPECT_EQ(found->exhausted, false);
    sizes.insert(kept.size());
  }
  EXPECT_TRUE(sizes.count(0) && sizes.count(1) && sizes.count(6));
}

}  // namespace
}  // namespace tamsu

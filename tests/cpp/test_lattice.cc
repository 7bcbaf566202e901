// Tests for composing a word acceptor with the model, and for the
// n-shortest request over the lattice.
#include "nbest/lattice.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"
#include "diag/cerr_router.h"
#include "nbest/search.h"

namespace tamsu {
namespace {

using test::ArcRow;
using test::arc_rows;

class LatticeTest : public ::testing::Test {
 protected:
  void SetUp() override { configure_openfst(); }

  // Input: a 3, b 4, c 5, h 6, "c|h" 7. Output: A 3, B 4, K 5, H 6, E 7.
  std::unique_ptr<Model> model_ = test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "E"}, 3,
      {{0, "a", "A", 1.0f, 0},
       {0, "a", "B", 2.0f, 0},
       {0, "c", "K", 1.0f, 0},
       {0, "h", "H", 1.0f, 0},
       {0, "c|h", "K", 0.5f, 0},
       // An input-epsilon detour before b.
       {0, "<eps>", "E", 0.25f, 1},
       {1, "b", "B", 1.0f, 2},
       {0, "b", "B", 3.0f, 2},
       {2, "<eps>", "E", 0.5f, 0}},
      {{0, 0.5f}});

  fst::StdVectorFst acceptor_for(const LabelList &labels) const {
    fst::StdVectorFst acceptor =
        build_fsa(labels, model_->input_clusters.parts_to_label,
                  model_->input_clusters.max_parts);
    acceptor.SetInputSymbols(model_->isyms.get());
    acceptor.SetOutputSymbols(model_->isyms.get());
    return acceptor;
  }
};

// Every path of an acyclic FST as (ilabels, olabels, total weight incl.
// final weight).
struct LatticePath {
  LabelList ilabels;
  LabelList olabels;
  float weight;
  bool operator<(const LatticePath &o) const {
    return std::tie(ilabels, olabels, weight) <
           std::tie(o.ilabels, o.olabels, o.weight);
  }
  bool operator==(const LatticePath &o) const {
    return !(*this < o) && !(o < *this);
  }
};

void enumerate(const fst::StdVectorFst &fst, int s, LatticePath &prefix,
               std::vector<LatticePath> &out) {
  const float final_weight = fst.Final(s).Value();
  if (final_weight != fst::StdArc::Weight::Zero().Value()) {
    out.push_back(prefix);
    out.back().weight += final_weight;
  }
  for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
    const auto &arc = it.Value();
    LatticePath next = prefix;
    next.ilabels.push_back(static_cast<Label>(arc.ilabel));
    next.olabels.push_back(static_cast<Label>(arc.olabel));
    next.weight += arc.weight.Value();
    enumerate(fst, arc.nextstate, next, out);
  }
}

std::vector<LatticePath> all_paths(const fst::StdVectorFst &fst) {
  std::vector<LatticePath> paths;
  LatticePath empty{{}, {}, 0.0f};
  if (fst.Start() != fst::kNoStateId) enumerate(fst, fst.Start(), empty, paths);
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST_F(LatticeTest, HoldsEveryPronunciationWithItsWeight) {
  const auto lattice = build_lattice(acceptor_for({5, 6, 3}), model_->fst);
  ASSERT_TRUE(lattice.has_value());
  std::vector<LatticePath> expected = {
      {{5, 6, 3}, {5, 6, 3}, 3.5f}, {{5, 6, 3}, {5, 6, 4}, 4.5f},
      {{7, 3}, {5, 3}, 2.0f},       {{7, 3}, {5, 4}, 3.0f}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all_paths(*lattice), expected);
}

TEST_F(LatticeTest, CarriesInputAndOutputTables) {
  const auto lattice = build_lattice(acceptor_for({3}), model_->fst);
  ASSERT_TRUE(lattice.has_value());
  ASSERT_NE(lattice->InputSymbols(), nullptr);
  ASSERT_NE(lattice->OutputSymbols(), nullptr);
  EXPECT_EQ(lattice->InputSymbols()->LabeledCheckSum(),
            model_->isyms->LabeledCheckSum());
  EXPECT_EQ(lattice->OutputSymbols()->LabeledCheckSum(),
            model_->osyms->LabeledCheckSum());
}

TEST_F(LatticeTest, InputEpsilonPathsOccurOnce) {
  const auto lattice = build_lattice(acceptor_for({4}), model_->fst);
  ASSERT_TRUE(lattice.has_value());
  std::vector<LatticePath> expected = {
      {{0, 4, 0}, {7, 4, 7}, 2.25f}, {{4, 0}, {4, 7}, 4.0f}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all_paths(*lattice), expected);
}

TEST_F(LatticeTest, NoMatchingPathGivesEmptyLatticeNotError) {
  const auto lattice = build_lattice(acceptor_for({6, 6, 2}), model_->fst);
  ASSERT_TRUE(lattice.has_value());
  EXPECT_EQ(lattice->NumStates(), 0);
  EXPECT_EQ(lattice->Start(), fst::kNoStateId);
}

TEST_F(LatticeTest, ModelIsLeftUnchanged) {
  const auto before = arc_rows(model_->fst);
  const auto properties = model_->fst.Properties(fst::kFstProperties, false);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(build_lattice(acceptor_for({5, 6, 3}), model_->fst).has_value());
  }
  EXPECT_EQ(arc_rows(model_->fst), before);
  EXPECT_EQ(model_->fst.Properties(fst::kFstProperties, false), properties);
}

TEST_F(LatticeTest, UnsortedOperandsAreAnError) {
  // A model without the sorted property, and an acceptor whose cluster arc
  // (label 1) follows a larger grapheme label: neither side can match.
  fst::StdVectorFst unsorted = model_->fst;
  unsorted.SetProperties(fst::kNotILabelSorted,
                         fst::kILabelSorted | fst::kNotILabelSorted);
  const std::unordered_map<LabelList, Label, LabelListHash> clusters = {
      {{5, 6}, 1}};
  fst::StdVectorFst acceptor = build_fsa({5, 6}, clusters, 2);
  CerrCapture capture;
  const auto lattice = build_lattice(std::move(acceptor), unsorted);
  ASSERT_FALSE(lattice.has_value());
  EXPECT_EQ(lattice.error().kind, DecodeError::Kind::kCompositionFailed);
  EXPECT_NE(capture.text().find("sort?"), std::string::npos);
}

// A lattice 0 -> 1 with one arc per weight (labels 3:i), state 1 final.
fst::StdVectorFst parallel_lattice(const std::vector<float> &weights,
                                   float final_weight) {
  fst::StdVectorFst lattice;
  lattice.AddState();
  lattice.AddState();
  lattice.SetStart(0);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    lattice.AddArc(0, fst::StdArc(3, static_cast<int>(i) + 3, weights[i], 1));
  }
  lattice.SetFinal(1, final_weight);
  return lattice;
}

// Follows the first arc of each state from the target of start arc `i`.
std::vector<ArcRow> path_from_start_arc(const fst::StdVectorFst &result,
                                        std::size_t i) {
  fst::ArcIterator<fst::StdVectorFst> start_arcs(result, result.Start());
  start_arcs.Seek(i);
  const auto &first = start_arcs.Value();
  std::vector<ArcRow> rows = {{result.Start(), first.ilabel, first.olabel,
                               first.weight.Value(), first.nextstate}};
  for (int s = first.nextstate; result.NumArcs(s) > 0;) {
    const auto &arc = fst::ArcIterator<fst::StdVectorFst>(result, s).Value();
    rows.emplace_back(s, arc.ilabel, arc.olabel, arc.weight.Value(),
                      arc.nextstate);
    s = arc.nextstate;
  }
  return rows;
}

TEST(FindShortestPaths, PathsBestFirstFramedWithFinalWeightArc) {
  configure_openfst();
  const auto lattice = parallel_lattice({2.0f, 1.0f, 3.0f}, 1.5f);
  const auto result = find_shortest_paths(lattice, 16);
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->NumArcs(result->Start()), 3u);
  const std::vector<int> olabels_by_rank = {4, 3, 5};  // weights 1, 2, 3
  for (std::size_t i = 0; i < 3; ++i) {
    const auto rows = path_from_start_arc(*result, i);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(std::get<1>(rows[0]), 0);
    EXPECT_EQ(std::get<3>(rows[0]), 0.0f);
    EXPECT_EQ(std::get<1>(rows[1]), 0);
    EXPECT_EQ(std::get<2>(rows[1]), 0);
    EXPECT_EQ(std::get<3>(rows[1]), 0.0f);
    EXPECT_EQ(std::get<2>(rows[2]), olabels_by_rank[i]);
    EXPECT_EQ(std::get<1>(rows[3]), 0);
    EXPECT_EQ(std::get<2>(rows[3]), 0);
    EXPECT_EQ(std::get<3>(rows[3]), 1.5f);
    const int last = std::get<4>(rows[3]);
    EXPECT_EQ(result->Final(last).Value(), 0.0f);
  }
}

TEST(FindShortestPaths, LargeRequestsAreClampedNotWrapped) {
  configure_openfst();
  std::vector<float> weights;
  for (int i = 0; i < 20; ++i) weights.push_back(static_cast<float>(i));
  const auto lattice = parallel_lattice(weights, 0.0f);
  // 2^32 would wrap to 0 (nothing) and 2^32 + 1 to 1 (the single-path
  // route, unframed).
  for (const std::uint64_t request :
       {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 1,
        std::uint64_t{std::numeric_limits<std::int32_t>::max()} + 1,
        std::numeric_limits<std::uint64_t>::max()}) {
    const auto result = find_shortest_paths(lattice, request);
    ASSERT_TRUE(result.has_value()) << request;
    EXPECT_EQ(result->NumArcs(result->Start()), 20u) << request;
  }
}

TEST(FindShortestPaths, LatticeWithoutFinitePathGivesNoStartState) {
  configure_openfst();
  const auto lattice = parallel_lattice(
      {std::numeric_limits<float>::infinity()}, 0.0f);
  const auto result = find_shortest_paths(lattice, 16);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->Start(), fst::kNoStateId);
}

TEST(FindShortestPaths, ErrorPropertyIsAnError) {
  configure_openfst();
  auto lattice = parallel_lattice({1.0f}, 0.0f);
  lattice.SetProperties(fst::kError, fst::kError);
  const auto result = find_shortest_paths(lattice, 16);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, DecodeError::Kind::kSearchFailed);
}

}  // namespace
}  // namespace tamsu

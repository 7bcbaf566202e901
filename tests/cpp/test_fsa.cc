// Tests for the word acceptor: chain arcs, cluster shortcut arcs and their
// order.
#include "fsa/fsa.h"

#include <gtest/gtest.h>

#include "decode_test_util.h"

namespace tamsu {
namespace {

using test::ArcRow;
using test::arc_rows;
using PartsToLabel = std::unordered_map<LabelList, Label, LabelListHash>;

struct FsaCase {
  const char *name;
  LabelList labels;
  PartsToLabel parts_to_label;
  std::size_t max_parts;
  std::vector<ArcRow> arcs;  // every arc, state by state, in stored order
};

void PrintTo(const FsaCase &c, std::ostream *os) { *os << c.name; }

class BuildFsaTest : public ::testing::TestWithParam<FsaCase> {};

TEST_P(BuildFsaTest, ShapeAndArcOrder) {
  const FsaCase &c = GetParam();
  const fst::StdVectorFst acceptor =
      build_fsa(c.labels, c.parts_to_label, c.max_parts);
  const int n = static_cast<int>(c.labels.size());
  ASSERT_EQ(acceptor.NumStates(), n + 1);
  EXPECT_EQ(acceptor.Start(), 0);
  for (int s = 0; s <= n; ++s) {
    const float expected = s == n ? 0.0f : fst::StdArc::Weight::Zero().Value();
    EXPECT_EQ(acceptor.Final(s).Value(), expected) << "state " << s;
  }
  EXPECT_EQ(arc_rows(acceptor), c.arcs);
  EXPECT_EQ(acceptor.InputSymbols(), nullptr);
  EXPECT_EQ(acceptor.OutputSymbols(), nullptr);
  EXPECT_NE(acceptor.Properties(fst::kAcceptor, true), 0u);
}

// Labels: c = 5, h = 6, a = 3, t = 8, s = 9; clusters 20 and up.
INSTANTIATE_TEST_SUITE_P(
    Words, BuildFsaTest,
    ::testing::Values(
        FsaCase{"OneLabel", {5}, {{{5, 6}, 20}}, 2, {{0, 5, 5, 0.0f, 1}}},
        FsaCase{"NoClustersIsChain",
                {5, 6, 3},
                {},
                1,
                {{0, 5, 5, 0.0f, 1}, {1, 6, 6, 0.0f, 2}, {2, 3, 3, 0.0f, 3}}},
        FsaCase{"EmptyMapWithLargeMaxParts",
                {5, 6},
                {},
                3,
                {{0, 5, 5, 0.0f, 1}, {1, 6, 6, 0.0f, 2}}},
        FsaCase{"ChatWithClusterCh",
                {5, 6, 3, 8},
                {{{5}, 5}, {{6}, 6}, {{5, 6}, 20}},
                2,
                {{0, 5, 5, 0.0f, 1},
                 {0, 20, 20, 0.0f, 2},
                 {1, 6, 6, 0.0f, 2},
                 {2, 3, 3, 0.0f, 3},
                 {3, 8, 8, 0.0f, 4}}},
        // Grapheme arc, then the two-part and the three-part cluster, even
        // though the cluster labels are smaller than the grapheme's.
        FsaCase{"TwoAndThreePartClustersAtOneState",
                {9, 5, 6},
                {{{9, 5}, 2}, {{9, 5, 6}, 1}},
                3,
                {{0, 9, 9, 0.0f, 1},
                 {0, 2, 2, 0.0f, 2},
                 {0, 1, 1, 0.0f, 3},
                 {1, 5, 5, 0.0f, 2},
                 {2, 6, 6, 0.0f, 3}}},
        FsaCase{"ThreePartClusterWithoutTwoPart",
                {3, 9, 5, 6},
                {{{9, 5, 6}, 21}},
                3,
                {{0, 3, 3, 0.0f, 1},
                 {1, 9, 9, 0.0f, 2},
                 {1, 21, 21, 0.0f, 4},
                 {2, 5, 5, 0.0f, 3},
                 {3, 6, 6, 0.0f, 4}}},
        // A span may not pass the last state: "s c" cannot hold "s c h".
        FsaCase{"ThreePartClusterCannotMatchNearEnd",
                {3, 9, 5},
                {{{9, 5, 6}, 21}, {{3, 9}, 22}},
                3,
                {{0, 3, 3, 0.0f, 1},
                 {0, 22, 22, 0.0f, 2},
                 {1, 9, 9, 0.0f, 2},
                 {2, 5, 5, 0.0f, 3}}},
        FsaCase{"ClusterAtVeryEnd",
                {3, 5, 6},
                {{{5, 6}, 20}},
                2,
                {{0, 3, 3, 0.0f, 1},
                 {1, 5, 5, 0.0f, 2},
                 {1, 20, 20, 0.0f, 3},
                 {2, 6, 6, 0.0f, 3}}},
        FsaCase{"OverlappingClusters",
                {5, 5, 5},
                {{{5, 5}, 20}},
                2,
                {{0, 5, 5, 0.0f, 1},
                 {0, 20, 20, 0.0f, 2},
                 {1, 5, 5, 0.0f, 2},
                 {1, 20, 20, 0.0f, 3},
                 {2, 5, 5, 0.0f, 3}}},
        // Runs longer than max_parts are never tried.
        FsaCase{"MaxPartsLimitsSpans",
                {9, 5, 6},
                {{{9, 5, 6}, 21}},
                2,
                {{0, 9, 9, 0.0f, 1}, {1, 5, 5, 0.0f, 2}, {2, 6, 6, 0.0f, 3}}}),
    [](const ::testing::TestParamInfo<FsaCase> &info) {
      return std::string(info.param.name);
    });

// The acceptor from the cluster table of a real symbol table.
TEST(BuildFsa, UsesClusterTableOfSymbols) {
  const auto isyms = test::make_symbols(
      {"<eps>", "|", "_", "c", "h", "a", "s", "c|h", "s|c|h"});
  const ClusterTable clusters = build_cluster_table(*isyms);
  const fst::StdVectorFst acceptor =
      build_fsa({6, 3, 4, 5}, clusters.parts_to_label, clusters.max_parts);
  EXPECT_EQ(arc_rows(acceptor), (std::vector<ArcRow>{{0, 6, 6, 0.0f, 1},
                                                     {0, 8, 8, 0.0f, 3},
                                                     {1, 3, 3, 0.0f, 2},
                                                     {1, 7, 7, 0.0f, 3},
                                                     {2, 4, 4, 0.0f, 3},
                                                     {3, 5, 5, 0.0f, 4}}));
}

}  // namespace
}  // namespace tamsu

// Tests for the word acceptor: chain arcs, cluster shortcut arcs and their
// order.
#include "fsa/fsa.h"

#include <gtest/gtest.h>

#include "decode_test_util.h"

namespace tamsu {
namespace {

using test::ArcRow;
using PartsToLabel = std::unordered_map<LabelList, Label, LabelListHash>;

struct FsaCase {
  LabelList labels;
  PartsToLabel parts_to_label;
  std::size_t max_parts;
  std::vector<ArcRow> arcs;  // every arc, state by state, in stored order
};

class BuildFsaTest : public ::testing::TestWithParam<FsaCase> {};

TEST_P(BuildFsaTest, ShapeAndArcOrder) {
  const FsaCase &c = GetParam();
  const auto acceptor = build_fsa(c.labels, c.parts_to_label, c.max_parts);
  const int n = static_cast<int>(c.labels.size());
  ASSERT_EQ(acceptor.NumStates(), n + 1);
  EXPECT_EQ(acceptor.Start(), 0);
  for (int s = 0; s <= n; ++s) {
    EXPECT_EQ(acceptor.Final(s),
              s == n ? fst::TropicalWeight::One() : fst::TropicalWeight::Zero());
  }
  EXPECT_EQ(test::arc_rows(acceptor), c.arcs);
}

// Clusters get labels 20 and up, or small ones to show that the order is
// grapheme arc first, then spans by length.
INSTANTIATE_TEST_SUITE_P(
    Words, BuildFsaTest,
    ::testing::Values(
        FsaCase{{5}, {{{5, 6}, 20}}, 2, {{0, 5, 5, 0.0f, 1}}},
        FsaCase{{5, 6}, {}, 3, {{0, 5, 5, 0.0f, 1}, {1, 6, 6, 0.0f, 2}}},
        FsaCase{{9, 5, 6}, {{{9, 5}, 2}, {{9, 5, 6}, 1}}, 3,
                {{0, 9, 9, 0.0f, 1}, {0, 2, 2, 0.0f, 2}, {0, 1, 1, 0.0f, 3},
                 {1, 5, 5, 0.0f, 2}, {2, 6, 6, 0.0f, 3}}},
        // A span may not pass the last state.
        FsaCase{{3, 9, 5}, {{{9, 5, 6}, 21}, {{3, 9}, 22}}, 3,
                {{0, 3, 3, 0.0f, 1}, {0, 22, 22, 0.0f, 2}, {1, 9, 9, 0.0f, 2},
                 {2, 5, 5, 0.0f, 3}}},
        FsaCase{{5, 5, 5}, {{{5, 5}, 20}}, 2,
                {{0, 5, 5, 0.0f, 1}, {0, 20, 20, 0.0f, 2}, {1, 5, 5, 0.0f, 2},
                 {1, 20, 20, 0.0f, 3}, {2, 5, 5, 0.0f, 3}}},
        // Runs longer than max_parts are never tried.
        FsaCase{{9, 5, 6}, {{{9, 5, 6}, 21}}, 2,
                {{0, 9, 9, 0.0f, 1}, {1, 5, 5, 0.0f, 2}, {2, 6, 6, 0.0f, 3}}}));

}  // namespace
}  // namespace tamsu

// Tests for splitting words into pieces, mapping them to input labels,
// and the word acceptor built from those labels.
#include "tokenize/tokenize.h"


#include <array>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"

namespace tamsu {
namespace {

// Labels 3 a, 4 b, 5 c, 6 h, 7 ch, 8 a--b, 9 é (precomposed), 10 e,
// 11 combining acute, 12 · (two bytes).
const std::vector<std::string> kSymbols = {
    "<eps>", "|", "_", "a", "b", "c", "h", "ch", "a--b",
    "\xC3\xA9", "e", "\xCC\x81", "\xC2\xB7"};

struct TokenizeCase {
  std::string word;
  std::string delim;
  LabelList labels;
  std::vector<std::string> unknown;  // pieces reported, in order
};

class TokenizeTest : public ::testing::TestWithParam<TokenizeCase> {};

TEST_P(TokenizeTest, LabelsAndDiagnostics) {
  const TokenizeCase &c = GetParam();
  const auto isyms = test::make_symbols(kSymbols);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tokenize(c.word, c.delim, *isyms), c.labels);
  std::string expected;
  for (const auto &piece : c.unknown) {
    expected += "Symbol: '" + piece + "' not found in input symbols table.\nMapping to null...\n";
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizeTest,
    ::testing::Values(
        TokenizeCase{"", "-", {}, {""}},  // one empty piece
        TokenizeCase{"bach", "", {4, 3, 5, 6}, {}},
        TokenizeCase{"a--b", "-", {3, 4}, {""}},
        TokenizeCase{"-ch-", "-", {7}, {"", ""}},
        TokenizeCase{"ab", "-", {}, {"ab"}},  // a piece is looked up whole
        TokenizeCase{"a--b", "--", {8}, {}},  // a two-character delim never cuts
        TokenizeCase{"a\xC2\xB7" "b", "\xC2\xB7", {3, 4}, {}},
        TokenizeCase{"a\xC3\xA9", "", {3, 9}, {}},
        TokenizeCase{"e\xCC\x81", "", {10, 11}, {}},
        TokenizeCase{"xa\xE2\x82\xAC" "b", "", {3, 4}, {"x", "\xE2\x82\xAC"}},
        // Not UTF-8: a truncated or broken sequence is one-byte characters.
        TokenizeCase{"a\xE2\x82", "", {3}, {"\xE2", "\x82"}},
        TokenizeCase{"\xC3" "a", "", {3}, {"\xC3"}}));

TEST(Tokenize, EmptyTextSymbolMatchesEmptyPieces) {
  const auto isyms = test::make_symbols({"<eps>", "|", "", "a", "b"});
  testing::internal::CaptureStderr();  // descriptor 2
  EXPECT_EQ(tokenize("a--b", "-", *isyms), (LabelList{3, 2, 4}));
  EXPECT_EQ(tokenize("a-", "-", *isyms), (LabelList{3, 2}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The word acceptor: chain arcs, cluster shortcut arcs and their order.

using test::ArcRow;
using PartsToLabel = std::unordered_map<LabelList, Label, LabelListHash>;

struct FsaCase {
  LabelList labels;
  PartsToLabel parts_to_label;
  std::size_t max_parts;
  std::vector<std::array<int, 3>> arcs;  // (state, label, next), in stored order
};

class BuildFsaTest : public ::testing::TestWithParam<FsaCase> {};

TEST_P(BuildFsaTest, ShapeAndArcOrder) {
  const FsaCase &c = GetParam();
  const auto acceptor = build_fsa(c.labels, c.parts_to_label, c.max_parts);
  const int n = static_cast<int>(c.labels.size());
  ASSERT_EQ(acceptor.NumStates(), n + 1);
  ASSERT_EQ(acceptor.Start(), 0);
  for (int s = 0; s <= n; ++s) {
    EXPECT_EQ(acceptor.Final(s), s == n ? fst::TropicalWeight::One() : fst::TropicalWeight::Zero());
  }
  std::vector<ArcRow> expected;  // acceptor arcs weigh nothing
  for (const auto &[s, l, next] : c.arcs) expected.emplace_back(s, l, l, 0.0f, next);
  EXPECT_EQ(test::arc_rows(acceptor), expected);
}

// Clusters get labels 20 and up, or small ones to show that the order is
// grapheme arc first, then spans by length.
INSTANTIATE_TEST_SUITE_P(
    Words, BuildFsaTest,
    ::testing::Values(
        FsaCase{{5}, {{{5, 6}, 20}}, 2, {{0, 5, 1}}},
        FsaCase{{5, 6}, {}, 3, {{0, 5, 1}, {1, 6, 2}}},
        FsaCase{{9, 5, 6}, {{{9, 5}, 2}, {{9, 5, 6}, 1}}, 3,
                {{0, 9, 1}, {0, 2, 2}, {0, 1, 3}, {1, 5, 2}, {2, 6, 3}}},
        // A span may not pass the last state.
        FsaCase{{3, 9, 5}, {{{9, 5, 6}, 21}, {{3, 9}, 22}}, 3,
                {{0, 3, 1}, {0, 22, 2}, {1, 9, 2}, {2, 5, 3}}},
        FsaCase{{5, 5, 5}, {{{5, 5}, 20}}, 2,
                {{0, 5, 1}, {0, 20, 2}, {1, 5, 2}, {1, 20, 3}, {2, 5, 3}}},
        // Runs longer than max_parts are never tried.
        FsaCase{{9, 5, 6}, {{{9, 5, 6}, 21}}, 2, {{0, 9, 1}, {1, 5, 2}, {2, 6, 3}}}));

}  // namespace
}  // namespace tamsu

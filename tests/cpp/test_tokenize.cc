// Tests for splitting words into pieces and mapping them to input labels.
#include "tokenize/tokenize.h"

#include <gtest/gtest.h>

#include "decode_test_util.h"

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
  test::Fd2Capture capture;
  EXPECT_EQ(tokenize(c.word, c.delim, *isyms), c.labels);
  std::string expected;
  for (const auto &piece : c.unknown) {
    expected += "Symbol: '" + piece +
                "' not found in input symbols table.\nMapping to null...\n";
  }
  EXPECT_EQ(capture.text(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizeTest,
    ::testing::Values(
        TokenizeCase{"", "", {}, {}},
        TokenizeCase{"", "-", {}, {""}},  // one empty piece
        TokenizeCase{"bach", "", {4, 3, 5, 6}, {}},
        TokenizeCase{"a--b", "-", {3, 4}, {""}},
        TokenizeCase{"-ch-", "-", {7}, {"", ""}},
        TokenizeCase{"ab", "-", {}, {"ab"}},  // a piece is looked up whole
        TokenizeCase{"a--b", "--", {8}, {}},  // a two-character delim never cuts
        TokenizeCase{"a\xC2\xB7" "b", "\xC2\xB7", {3, 4}, {}},
        TokenizeCase{"\xC3\xA9" "a", "", {9, 3}, {}},
        TokenizeCase{"a\xC3\xA9", "", {3, 9}, {}},
        TokenizeCase{"e\xCC\x81", "", {10, 11}, {}},
        TokenizeCase{"xa\xE2\x82\xAC" "b", "", {3, 4}, {"x", "\xE2\x82\xAC"}},
        TokenizeCase{"a-b", "", {3, 4}, {"-"}},
        // Not UTF-8: a truncated or broken sequence is one-byte characters.
        TokenizeCase{"a\xE2\x82", "", {3}, {"\xE2", "\x82"}},
        TokenizeCase{"\xC3" "a", "", {3}, {"\xC3"}}));

TEST(Tokenize, EmptyTextSymbolMatchesEmptyPieces) {
  const auto isyms = test::make_symbols({"<eps>", "|", "", "a", "b"});
  test::Fd2Capture capture;
  EXPECT_EQ(tokenize("a--b", "-", *isyms), (LabelList{3, 2, 4}));
  EXPECT_EQ(tokenize("a-", "-", *isyms), (LabelList{3, 2}));
  EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace tamsu

// Tests for splitting words into pieces and mapping them to input labels.
#include "tokenize/tokenize.h"

#include <iostream>
#include <sstream>

#include <gtest/gtest.h>

#include "decode_test_util.h"

namespace tamsu {
namespace {

using test::Fd2Capture;
using test::unknown_piece_message;

// Labels:          0        1    2    3    4    5    6    7     8
//                  9 (é, precomposed)  10 (e)  11 (combining acute)
//                  12 (·, two bytes)
const std::vector<std::string> kSymbols = {
    "<eps>", "|", "_", "a", "b", "c", "h", "ch", "a--b",
    "\xC3\xA9", "e", "\xCC\x81", "\xC2\xB7"};

struct TokenizeCase {
  const char *name;
  std::string word;
  std::string delim;
  LabelList labels;
  std::vector<std::string> unknown;  // pieces reported, in order
};

void PrintTo(const TokenizeCase &c, std::ostream *os) { *os << c.name; }

class TokenizeTest : public ::testing::TestWithParam<TokenizeCase> {
 protected:
  std::shared_ptr<fst::SymbolTable> isyms_ = test::make_symbols(kSymbols);
};

TEST_P(TokenizeTest, LabelsAndDiagnostics) {
  const TokenizeCase &c = GetParam();
  LabelList labels;
  std::string diagnostics;
  {
    Fd2Capture capture;
    labels = tokenize(c.word, c.delim, *isyms_);
    diagnostics = capture.text();
  }
  EXPECT_EQ(labels, c.labels);
  std::string expected;
  for (const std::string &piece : c.unknown) {
    expected += unknown_piece_message(piece);
  }
  EXPECT_EQ(diagnostics, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizeTest,
    ::testing::Values(
        TokenizeCase{"EmptyWordNoDelim", "", "", {}, {}},
        TokenizeCase{"EmptyWordWithDelimIsOneEmptyPiece", "", "-", {}, {""}},
        TokenizeCase{"PerCharacter", "bach", "", {4, 3, 5, 6}, {}},
        TokenizeCase{"DelimSplits", "a-b", "-", {3, 4}, {}},
        TokenizeCase{"AdjacentDelimsGiveEmptyPiece", "a--b", "-", {3, 4}, {""}},
        TokenizeCase{"LeadingAndTrailingDelims", "-ch-", "-", {7}, {"", ""}},
        TokenizeCase{"PieceLookedUpWhole", "ch", "-", {7}, {}},
        TokenizeCase{"UnknownWholePieceNotSplit", "ab", "-", {}, {"ab"}},
        TokenizeCase{"TwoCharacterDelimNeverMatches", "a--b", "--", {8}, {}},
        TokenizeCase{"TwoCharacterDelimUnknownWord", "a--c", "--", {}, {"a--c"}},
        TokenizeCase{"MultiByteDelim", "a\xC2\xB7" "b", "\xC2\xB7", {3, 4}, {}},
        TokenizeCase{"MultiByteCharacterIsOnePiece", "\xC3\xA9" "a", "", {9, 3},
                     {}},
        TokenizeCase{"CombiningMarkIsItsOwnPiece", "e\xCC\x81", "", {10, 11},
                     {}},
        TokenizeCase{"UnknownMiddleCharacter", "a\xE2\x82\xAC" "b", "",
                     {3, 4}, {"\xE2\x82\xAC"}},
        TokenizeCase{"UnknownPiecesEachReported", "xay", "", {3}, {"x", "y"}},
        TokenizeCase{"DelimCharacterUnknownWithoutDelim", "a-b", "", {3, 4},
                     {"-"}},
        // Not valid UTF-8: a truncated sequence is a one-byte character and
        // nothing past the end is read.
        TokenizeCase{"TruncatedSequenceAtEnd", "a\xE2\x82", "", {3},
                     {"\xE2", "\x82"}},
        TokenizeCase{"BadContinuationByte", "\xC3" "a", "", {3}, {"\xC3"}}),
    [](const ::testing::TestParamInfo<TokenizeCase> &info) {
      return std::string(info.param.name);
    });

TEST(Tokenize, EmptyTextSymbolMatchesEmptyPieces) {
  const auto isyms = test::make_symbols({"<eps>", "|", "", "a", "b"});
  Fd2Capture capture;
  EXPECT_EQ(tokenize("a--b", "-", *isyms), (LabelList{3, 2, 4}));
  EXPECT_EQ(tokenize("", "-", *isyms), (LabelList{2}));
  EXPECT_EQ(capture.text(), "");
}

TEST(Tokenize, AnySymbolIsReachableWhateverItsLabel) {
  const auto isyms = test::make_symbols({"<eps>", "|", "_"});
  Fd2Capture capture;
  EXPECT_EQ(tokenize("|_", "", *isyms), (LabelList{1, 2}));
  EXPECT_EQ(capture.text(), "");
}

// The diagnostic bypasses std::cerr: redirecting the C++ stream (as a host
// program redirecting its own error stream would) does not catch it.
TEST(Tokenize, DiagnosticGoesToDescriptorNotStream) {
  const auto isyms = test::make_symbols(kSymbols);
  std::ostringstream redirected;
  std::streambuf *saved = std::cerr.rdbuf(redirected.rdbuf());
  std::string diagnostics;
  {
    Fd2Capture capture;
    EXPECT_EQ(tokenize("zab", "", *isyms), (LabelList{3, 4}));
    diagnostics = capture.text();
  }
  std::cerr.rdbuf(saved);
  EXPECT_EQ(redirected.str(), "");
  EXPECT_EQ(diagnostics, unknown_piece_message("z"));
}

}  // namespace
}  // namespace tamsu

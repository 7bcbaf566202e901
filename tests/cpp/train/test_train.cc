// Whole training runs: the floor path, the unaligned-share refusal, marker
// checks and the alignment progress total.
#include "train/train.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>

#include "model/model.h"
#include "nbest/pipeline.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

const std::vector<std::pair<std::string, std::string>> kWords = {
    {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
    {"cat", "K AE T"},   {"knot", "N AA T"},  {"not", "N AA T"},
    {"photo", "F OW T OW"}, {"tone", "T OW N"}, {"cone", "K OW N"},
    {"hat", "HH AE T"},
};

class TrainRun : public testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    char name[] = "/tmp/tamsu_train_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    path_ = dir_ + "/model.fst";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(TrainRun, EveryTrainingGraphemeDecodes) {
  // "qz" cannot be aligned with two phonemes per grapheme, so q and z take
  // part in no alignment; "ph" and "kn" may well only ever be clusters.
  auto pairs = kWords;
  pairs.push_back({"qz", "K W IH Z AH Z IY"});
  TrainOptions options;
  options.align.max_graphemes = 2;
  options.ngram.order = 3;
  options.max_unaligned = 0.5;
  auto report = train_model(test::entries_of(pairs), options, path_, nullptr);
  ASSERT_TRUE(report.has_value()) << report.error().detail;
  EXPECT_GE(report->floor_tokens, 2u);
  auto model = load_model(path_, "");
  ASSERT_TRUE(model.has_value());

  std::string alphabet;
  for (const auto &pair : pairs) {
    for (char c : pair.first) {
      if (alphabet.find(c) == std::string::npos) alphabet += c;
    }
  }
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::string word;
    const int length = 1 + static_cast<int>(random() % 8);
    for (int k = 0; k < length; ++k) word += alphabet[random() % alphabet.size()];
    EXPECT_FALSE(phoneticize_word(**model, word, DecodeOptions{}).empty())
        << word;
  }
}

TEST_F(TrainRun, RefusesALexiconTooManyEntriesOfFailToAlign) {
  auto pairs = kWords;
  pairs.push_back({"w", "D AH B AH L Y UW"});
  TrainOptions options;
  options.max_unaligned = 0.05;
  auto report = train_model(test::entries_of(pairs), options, path_, nullptr);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind, TrainError::Kind::kTooManyUnaligned);
  EXPECT_NE(report.error().detail.find("1 of 11 entries"), std::string::npos);
  EXPECT_NE(report.error().detail.find("entry 11: w  D AH B AH L Y UW"),
            std::string::npos)
      << report.error().detail;
  EXPECT_NE(access(path_.c_str(), F_OK), 0);  // nothing written

  options.max_unaligned = 0.1;
  report = train_model(test::entries_of(pairs), options, path_, nullptr);
  ASSERT_TRUE(report.has_value()) << report.error().detail;
  EXPECT_EQ(report->unaligned_entries, std::vector<std::size_t>{10});
}

TEST_F(TrainRun, RefusesMarkersThatAWordPieceCouldMatch) {
  TrainOptions options;
  for (const char *bad : {"x", "<a|b>", "t"}) {
    options.input_markers = {bad};
    auto report = train_model(test::entries_of(kWords), options, path_, nullptr);
    ASSERT_FALSE(report.has_value()) << bad;
    EXPECT_EQ(report.error().kind, TrainError::Kind::kInvalidOptions) << bad;
  }
}

TEST_F(TrainRun, AlignmentProgressEndsAtTheIterationsRun) {
  TrainOptions options;
  options.align.iterations = 40;
  options.align.tolerance = 1.0;  // stops after a few iterations
  std::vector<Progress> reports;
  auto report = train_model(
      test::entries_of(kWords), options, path_, [&](const Progress &p) {
        if (p.stage == TrainStage::kAligning) reports.push_back(p);
        return true;
      });
  ASSERT_TRUE(report.has_value());
  ASSERT_FALSE(reports.empty());
  ASSERT_LT(report->em_iterations, 40u);
  EXPECT_EQ(reports.back().done, reports.back().total);
  EXPECT_EQ(reports.back().total, report->em_iterations * report->aligned);
}

}  // namespace
}  // namespace tamsu

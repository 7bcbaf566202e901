// Whole training runs, the written model read back by the decoder: its
// shape, the floor path, the unaligned-share refusal, marker checks and
// the alignment progress total. Decoding the lexicon is tests/test_train.py's.
#include "train/train.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "model/model.h"
#include "nbest/phonemes.h"
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
  Expected<TrainReport, TrainError> train(
      const std::vector<std::pair<std::string, std::string>> &pairs,
      const TrainOptions &options, const ProgressFn &progress = nullptr) {
    return train_model(test::entries_of(pairs), options, path_, progress);
  }
  std::unique_ptr<const Model> trained_model(const TrainOptions &options) {
    auto report = train(kWords, options);
    EXPECT_TRUE(report.has_value()) << report.error().detail;
    if (report) report_ = *report;
    auto model = load_model(path_, "");
    return model ? std::move(model).value() : nullptr;
  }
  std::string dir_, path_;
  TrainReport report_;
};

std::string decode(const Model &model, const std::string &word) {
  const auto paths = phoneticize_word(model, word, DecodeOptions{});
  if (paths.empty()) return "<none>";
  std::string text;
  for (const auto &p : render_phonemes(model, paths[0].uniques)) {
    text += (text.empty() ? "" : " ") + p;
  }
  return text;
}

TEST_F(TrainRun, IsABackoffModelStartingInTheWordStartHistory) {
  TrainOptions options;
  options.ngram.order = 4;
  const auto model = trained_model(options);
  ASSERT_NE(model, nullptr);
  for (const auto *table : {model->isyms.get(), model->osyms.get()}) {
    EXPECT_EQ(table->Find(0) + table->Find(1) + table->Find(2), "<eps>|_");
  }
  EXPECT_NE(model->isyms->Find("p|h"), fst::kNoSymbol);
  EXPECT_NE(model->osyms->Find("K|S"), fst::kNoSymbol);
  const auto &fst = model->fst;
  std::vector<int> backoffs(fst.NumStates(), 0);
  for (int s = 0; s < fst.NumStates(); ++s) {
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      const auto &arc = it.Value();
      EXPECT_EQ(arc.ilabel == 0, arc.olabel == 0);
      if (arc.ilabel == 0) {
        EXPECT_GE(arc.weight.Value(), 0.0f);
        ++backoffs[s];
      }
    }
    EXPECT_LE(backoffs[s], 1);
  }
  // Every state but the root (the empty history) backs off once; the
  // start is the history "<s>", not the root, or word-initial context is
  // lost.
  EXPECT_EQ(std::count(backoffs.begin(), backoffs.end(), 0), 1);
  EXPECT_EQ(backoffs[fst.Start()], 1);
  EXPECT_EQ(report_.states, static_cast<std::uint64_t>(fst.NumStates()));
}

TEST_F(TrainRun, EveryTrainingGraphemeDecodes) {
  // "qz" cannot be aligned with two phonemes per grapheme, so q and z take
  // part in no alignment; "ph" and "kn" may well only ever be clusters.
  auto pairs = kWords;
  pairs.push_back({"qz", "K W IH Z AH Z IY"});
  TrainOptions options;
  options.align.max_graphemes = 2;
  options.ngram.order = 3;
  options.max_unaligned = 0.5;
  auto report = train(pairs, options);
  ASSERT_TRUE(report.has_value()) << report.error().detail;
  EXPECT_GE(report->floor_tokens, 2u);
  auto model = load_model(path_, "");
  ASSERT_TRUE(model.has_value());
  const std::string alphabet = "phonefxtackqz";
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::string word;
    for (int k = 0; k <= static_cast<int>(random() % 8); ++k) {
      word += alphabet[random() % alphabet.size()];
    }
    EXPECT_NE(decode(**model, word), "<none>") << word;
  }
}

TEST_F(TrainRun, RefusesALexiconTooManyEntriesOfFailToAlign) {
  auto pairs = kWords;
  pairs.push_back({"w", "D AH B AH L Y UW"});
  auto report = train(pairs, TrainOptions{});  // at most 5% by default
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind, TrainError::Kind::kTooManyUnaligned);
  EXPECT_NE(report.error().detail.find("1 of 11 entries"), std::string::npos);
  EXPECT_NE(report.error().detail.find("entry 11: w  D AH B AH L Y UW"),
            std::string::npos) << report.error().detail;
  EXPECT_NE(access(path_.c_str(), F_OK), 0);  // nothing written
}

TEST_F(TrainRun, RefusesBadMarkersAndUnwritablePaths) {
  TrainOptions options;
  for (const char *bad : {"x", "<a|b>", "t"}) {
    options.input_markers = {bad};
    auto report = train(kWords, options);
    ASSERT_FALSE(report.has_value()) << bad;
    EXPECT_EQ(report.error().kind, TrainError::Kind::kInvalidOptions) << bad;
  }
  path_ = "/nonexistent-dir/model.fst";
  auto report = train(kWords, TrainOptions{});
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind, TrainError::Kind::kWriteFailed);
  EXPECT_NE(report.error().detail.find(path_), std::string::npos);
}

TEST_F(TrainRun, AlignmentProgressEndsAtTheIterationsRun) {
  TrainOptions options;
  options.align.iterations = 40;
  options.align.tolerance = 1.0;  // stops after a few iterations
  std::vector<Progress> reports;
  auto report = train(kWords, options, [&](const Progress &p) {
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

// Whole training runs, the written model read back by the decoder: its
// shape, the floor path, the alignment progress total, and training while
// other threads load damaged files and write to std::cerr. Decoding the
// lexicon is tests/test_train.py's.
#include "train/train.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/model.h"
#include "nbest/pipeline.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

const test::Pairs kWords = {
    {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"}, {"cat", "K AE T"},
    {"knot", "N AA T"}, {"not", "N AA T"}, {"photo", "F OW T OW"}, {"tone", "T OW N"},
    {"cone", "K OW N"}, {"hat", "HH AE T"}};

class TrainRun : public testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    char name[] = "/tmp/tamsu_train_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    path_ = dir_ + "/model.fst";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  Expected<TrainReport, TrainError> train(const test::Pairs &pairs, const TrainOptions &options,
                                          const ProgressFn &progress = nullptr) {
    return train_model(test::entries_of(pairs), options, path_, progress);
  }
  std::unique_ptr<const Model> trained_model(const TrainOptions &options,
                                             const test::Pairs &pairs = kWords) {
    auto report = train(pairs, options);
    EXPECT_TRUE(report.has_value()) << report.error().detail;
    if (report) report_ = *report;
    auto model = load_model(path_, "");
    return model ? std::move(model).value() : nullptr;
  }
  std::string dir_, path_;
  TrainReport report_;
};

TEST_F(TrainRun, IsABackoffModelStartingInTheWordStartHistory) {
  TrainOptions options;
  options.ngram.order = 4;
  const auto model = trained_model(options);
  ASSERT_NE(model, nullptr);
  const auto &fst = model->fst;
  std::vector<int> backoffs(fst.NumStates(), 0);
  for (int s = 0; s < fst.NumStates(); ++s) {
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      const auto &arc = it.Value();
      EXPECT_EQ(arc.ilabel == 0, arc.olabel == 0);
      EXPECT_TRUE(arc.ilabel != 0 || arc.weight.Value() >= 0.0f);  // backoff
      backoffs[s] += arc.ilabel == 0;
    }
    EXPECT_LE(backoffs[s], 1);
  }
  // Every state but the root (the empty history) backs off once; the
  // start is the history "<s>", not the root, or word-initial context is
  // lost.
  EXPECT_EQ(std::count(backoffs.begin(), backoffs.end(), 0), 1);
  EXPECT_EQ(backoffs[fst.Start()], 1);
}

TEST_F(TrainRun, EveryTrainingGraphemeDecodes) {
  // "qz" cannot be aligned with two phonemes per grapheme, so q and z take
  // part in no alignment; "ph" and "kn" may well only ever be clusters.
  auto pairs = kWords;
  pairs.push_back({"qz", "K W IH Z AH Z IY"});
  TrainOptions options;
  options.align.max_graphemes = 2, options.ngram.order = 3, options.max_unaligned = 0.5;
  const auto model = trained_model(options, pairs);
  ASSERT_NE(model, nullptr);
  EXPECT_GE(report_.floor_tokens, 2u);
  const std::string alphabet = "phonefxtackqz";
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::string word;
    for (int k = 0; k <= static_cast<int>(random() % 8); ++k) word += alphabet[random() % 13];
    EXPECT_FALSE(phoneticize_word(*model, word, DecodeOptions{}).empty()) << word;
  }
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
  ASSERT_TRUE(report.has_value() && !reports.empty());
  ASSERT_LT(report->em_iterations, 40u);
  EXPECT_EQ(reports.back().done, report->em_iterations * report->aligned);
  EXPECT_EQ(reports.back().total, reports.back().done);
}

// OpenFst's messages stay with the thread that caused them, and standard
// error gets exactly the lines written outside any capture, unbroken.
TEST_F(TrainRun, TrainWhileOthersLoadAndWrite) {
  TrainOptions options;
  options.ngram.order = 3;
  const auto entries = test::entries_of(kWords);
  // Files OpenFst itself rejects, logging a message that names the file.
  const std::vector<std::string> damaged = {dir_ + "/0.fst", dir_ + "/1.fst"};
  for (const auto &path : damaged) std::ofstream(path) << "not a model";

  std::vector<std::string> failures(3);
  std::atomic<bool> trained{false};
  std::string written;
  testing::internal::CaptureStderr();  // descriptor 2
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int run = 0; run < 3; ++run) {
      auto report = train_model(entries, options, dir_ + "/t.fst", nullptr);
      if (!report) failures[2] = report.error().detail;
    }
    trained = true;
  });
  // Failing loads, whose messages pass through std::cerr, in tight loops
  // until training is over, so that all of it overlaps.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int load = 0; (load < 5000 || !trained) && failures[t].empty(); ++load) {
        const auto bad = load_model(damaged[t], "");
        const std::string message = bad ? "" : describe(bad.error());
        if (message.find("Magic number") == std::string::npos ||
            message.find(damaged[t]) == std::string::npos ||
            message.find(damaged[1 - t]) != std::string::npos) {
          failures[t] = "load error for " + damaged[t] + ": " + message;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 20000 && (i < 1000 || !trained); ++i) {
      std::cerr << "line " << i << '\n';
      written += "line " + std::to_string(i) + '\n';
    }
  });
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), written);
  EXPECT_EQ(failures, std::vector<std::string>(3));
}

}  // namespace
}  // namespace tamsu

// The model file a training run writes, read back by the decoder.
#include "train/model_fst.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "model/model.h"
#include "nbest/phonemes.h"
#include "nbest/pipeline.h"
#include "train/train.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

const std::vector<std::pair<std::string, std::string>> kLexicon = {
    {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
    {"cat", "K AE T"},   {"knot", "N AA T"},  {"not", "N AA T"},
    {"photo", "F OW T OW"}, {"tone", "T OW N"}, {"cone", "K OW N"},
};

class TrainedModelTest : public testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    char name[] = "/tmp/tamsu_train_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    path_ = dir_ + "/model.fst";
    TrainOptions options;
    options.ngram.order = 4;
    auto report = train_model(test::entries_of(kLexicon), options, path_, nullptr);
    ASSERT_TRUE(report.has_value()) << report.error().detail;
    report_ = *report;
    auto model = load_model(path_, "");
    ASSERT_TRUE(model.has_value()) << describe(model.error());
    model_ = std::move(model).value();
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }

  std::string decode(const std::string &word) {
    auto paths = phoneticize_word(*model_, word, DecodeOptions{});
    if (paths.empty()) return "<none>";
    std::string text;
    for (const auto &p : render_phonemes(*model_, paths[0].uniques)) {
      if (!text.empty()) text += ' ';
      text += p;
    }
    return text;
  }

  std::string dir_, path_;
  TrainReport report_;
  std::unique_ptr<const Model> model_;
};

TEST_F(TrainedModelTest, ReproducesTheTrainingPronunciations) {
  for (const auto &[word, phonemes] : kLexicon) {
    EXPECT_EQ(decode(word), phonemes) << word;
  }
}

TEST_F(TrainedModelTest, SymbolTablesFollowTheModelConventions) {
  for (const auto *table : {model_->isyms.get(), model_->osyms.get()}) {
    EXPECT_EQ(table->Find(0), "<eps>");
    EXPECT_EQ(table->Find(1), "|");
    EXPECT_EQ(table->Find(2), "_");
  }
  EXPECT_NE(model_->isyms->Find("p|h"), fst::kNoSymbol);
  EXPECT_NE(model_->osyms->Find("K|S"), fst::kNoSymbol);
  // Only symbols that chunks use: no stray cluster of phonemes never seen
  // together.
  EXPECT_EQ(model_->osyms->Find("N|AA"), fst::kNoSymbol);
}

TEST_F(TrainedModelTest, HasOneBackoffArcPerHistoryBelowTheRoot) {
  const auto &fst = model_->fst;
  std::size_t backoff_arcs = 0, finals = 0;
  for (fst::StdArc::StateId s = 0; s < fst.NumStates(); ++s) {
    std::size_t here = 0;
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      const auto &arc = it.Value();
      if (arc.ilabel == 0) {
        EXPECT_EQ(arc.olabel, 0u);
        EXPECT_GE(arc.weight.Value(), 0.0f);  // a weight below one
        ++here;
      } else {
        EXPECT_NE(arc.olabel, 0u);  // a phoneme never lacks a grapheme side
      }
    }
    EXPECT_LE(here, 1u);
    backoff_arcs += here;
    if (fst.Final(s) != fst::StdArc::Weight::Zero()) ++finals;
  }
  // Every state but the root (the empty history) backs off.
  EXPECT_EQ(backoff_arcs, static_cast<std::size_t>(fst.NumStates()) - 1);
  EXPECT_GT(finals, 0u);
  EXPECT_EQ(report_.states, static_cast<std::uint64_t>(fst.NumStates()));
}

TEST_F(TrainedModelTest, GeneralisesToUnseenWords) {
  EXPECT_EQ(decode("phot"), "F OW T");
  EXPECT_EQ(decode("tat"), "T AE T");
}

TEST(WriteModelTest, MissingDirectoryLeavesNoFile) {
  configure_openfst();
  TrainOptions options;
  auto report = train_model(test::entries_of(kLexicon), options,
                            "/nonexistent-dir/model.fst", nullptr);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind, TrainError::Kind::kWriteFailed);
  EXPECT_NE(report.error().detail.find("/nonexistent-dir/model.fst"),
            std::string::npos);
  std::ifstream check("/nonexistent-dir/model.fst.tmp");
  EXPECT_FALSE(check.good());
}

TEST(WriteModelTest, SilentGraphemeGetsTheEmptyOutputLabel) {
  configure_openfst();
  char name[] = "/tmp/tamsu_train_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string path = std::string(name) + "/model.fst";
  TrainOptions options;
  options.align.max_graphemes = 1;
  options.ngram.order = 3;
  auto report = train_model(
      test::entries_of({{"knat", "N A T"}, {"nat", "N A T"}, {"kat", "K A T"},
                  {"knot", "N O T"}}),
      options, path, nullptr);
  ASSERT_TRUE(report.has_value()) << report.error().detail;
  auto model = load_model(path, "");
  ASSERT_TRUE(model.has_value());
  const auto k = (*model)->isyms->Find("k");
  bool silent_k = false;
  for (fst::StdArc::StateId s = 0; s < (*model)->fst.NumStates(); ++s) {
    for (fst::ArcIterator<fst::StdVectorFst> it((*model)->fst, s); !it.Done();
         it.Next()) {
      if (it.Value().ilabel == k && it.Value().olabel == 2) silent_k = true;
    }
  }
  EXPECT_TRUE(silent_k);
  auto paths = phoneticize_word(**model, "knat", DecodeOptions{});
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(render_phonemes(**model, paths[0].uniques),
            (std::vector<std::string>{"N", "A", "T"}));
  std::remove(path.c_str());
  rmdir(name);
}

}  // namespace
}  // namespace tamsu

// The model file a training run writes, read back by the decoder.
#include "train/model_fst.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "model/model.h"
#include "nbest/phonemes.h"
#include "nbest/pipeline.h"
#include "train/train.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const Pairs kLexicon = {
    {"phone", "F OW N"}, {"fox", "F AA K S"},    {"tax", "T AE K S"},
    {"cat", "K AE T"},   {"knot", "N AA T"},     {"not", "N AA T"},
    {"photo", "F OW T OW"}, {"tone", "T OW N"}, {"cone", "K OW N"},
};

// Trains on `pairs`, loads the written file and keeps the report.
std::unique_ptr<const Model> train_and_load(const Pairs &pairs,
                                            const TrainOptions &options,
                                            TrainReport *report = nullptr) {
  configure_openfst();
  const std::string path = testing::TempDir() + "tamsu-" + std::to_string(::getpid()) + "-trained.fst";
  auto trained = train_model(test::entries_of(pairs), options, path, nullptr);
  EXPECT_TRUE(trained.has_value()) << trained.error().detail;
  if (report && trained) *report = *trained;
  auto model = load_model(path, "");
  EXPECT_TRUE(model.has_value());
  std::remove(path.c_str());
  return model ? std::move(model).value() : nullptr;
}

std::string decode(const Model &model, const std::string &word) {
  const auto paths = phoneticize_word(model, word, DecodeOptions{});
  std::string text;
  if (paths.empty()) return "<none>";
  for (const auto &p : render_phonemes(model, paths[0].uniques)) {
    text += (text.empty() ? "" : " ") + p;
  }
  return text;
}

TEST(TrainedModel, DecodesItsLexiconAndGeneralises) {
  TrainOptions options;
  options.ngram.order = 4;
  const auto model = train_and_load(kLexicon, options);
  for (const auto &[word, phonemes] : kLexicon) {
    EXPECT_EQ(decode(*model, word), phonemes) << word;
  }
  EXPECT_EQ(decode(*model, "phot"), "F OW T");
  EXPECT_EQ(decode(*model, "tat"), "T AE T");
}

TEST(TrainedModel, IsABackoffModelStartingInTheWordStartHistory) {
  TrainOptions options;
  options.ngram.order = 4;
  TrainReport report;
  const auto model = train_and_load(kLexicon, options, &report);
  for (const auto *table : {model->isyms.get(), model->osyms.get()}) {
    EXPECT_EQ(table->Find(0) + table->Find(1) + table->Find(2), "<eps>|_");
  }
  EXPECT_NE(model->isyms->Find("p|h"), fst::kNoSymbol);
  EXPECT_NE(model->osyms->Find("K|S"), fst::kNoSymbol);
  // Only symbols that chunks use.
  EXPECT_EQ(model->osyms->Find("N|AA"), fst::kNoSymbol);

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
  EXPECT_EQ(report.states, static_cast<std::uint64_t>(fst.NumStates()));
}

TEST(WriteModel, MissingDirectoryLeavesNoFile) {
  configure_openfst();
  auto report = train_model(test::entries_of(kLexicon), TrainOptions{},
                            "/nonexistent-dir/model.fst", nullptr);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().kind, TrainError::Kind::kWriteFailed);
  EXPECT_NE(report.error().detail.find("/nonexistent-dir/model.fst"),
            std::string::npos);
}

}  // namespace
}  // namespace tamsu

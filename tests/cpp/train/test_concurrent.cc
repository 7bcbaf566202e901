// Training on one thread while other threads load and decode: OpenFst's
// messages stay with the thread that caused them, and nothing reaches
// standard error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../decode_test_util.h"
#include "model/model.h"
#include "nbest/phonemes.h"
#include "nbest/pipeline.h"
#include "train/train.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

const std::vector<std::pair<std::string, std::string>> kLexicon = {
    {"phone", "F OW N"}, {"fox", "F AA K S"},  {"tax", "T AE K S"},
    {"cat", "K AE T"},   {"knot", "N AA T"},   {"not", "N AA T"},
    {"photo", "F OW T OW"}, {"tone", "T OW N"}, {"cone", "K OW N"},
};

std::string best_pronunciation(const Model &model, const std::string &word) {
  auto paths = phoneticize_word(model, word, DecodeOptions{});
  std::string text;
  if (paths.empty()) return text;
  for (const auto &phoneme : render_phonemes(model, paths[0].uniques)) {
    text += phoneme + " ";
  }
  return text;
}

TEST(Concurrent, TrainWhileOthersLoadAndDecode) {
  configure_openfst();
  char name[] = "/tmp/tamsu_concurrent_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  const std::string model_path = dir + "/model.fst";
  TrainOptions options;
  options.ngram.order = 3;
  const auto entries = test::entries_of(kLexicon);
  ASSERT_TRUE(train_model(entries, options, model_path, nullptr));
  std::vector<std::string> expected;
  {
    auto model = load_model(model_path, "");
    ASSERT_TRUE(model);
    for (const auto &[word, phonemes] : kLexicon) {
      expected.push_back(best_pronunciation(**model, word));
    }
  }
  // Files OpenFst itself rejects, logging a message that names the file.
  const std::vector<std::string> damaged = {dir + "/damaged0.fst",
                                            dir + "/damaged1.fst"};
  for (const auto &path : damaged) std::ofstream(path) << "not a model";

  std::vector<std::string> failures(3);
  std::atomic<bool> trained{false};
  std::string leaked;
  {
    test::Fd2Capture fd2;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int run = 0; run < 3; ++run) {
        auto report =
            train_model(entries, options, dir + "/trained.fst", nullptr);
        if (!report) failures[2] = report.error().detail;
      }
      trained = true;
    });
    // Until training is over, so that loading and decoding overlap all of
    // it; failed loads, whose messages pass through std::cerr, most often.
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 3 || !trained; ++round) {
          auto model = load_model(model_path, "");
          if (!model) {
            failures[t] = describe(model.error());
            return;
          }
          for (std::size_t i = 0; i < kLexicon.size(); ++i) {
            if (best_pronunciation(**model, kLexicon[i].first) !=
                expected[i]) {
              failures[t] = "decoded " + kLexicon[i].first + " differently";
              return;
            }
          }
          for (int load = 0; load < 5000; ++load) {
            auto bad = load_model(damaged[t], "");
            const std::string message = bad ? "" : describe(bad.error());
            if (message.find("Magic number") == std::string::npos ||
                message.find(damaged[t]) == std::string::npos ||
                message.find(damaged[1 - t]) != std::string::npos) {
              failures[t] = "load error for " + damaged[t] + ": " + message;
              return;
            }
          }
        }
      });
    }
    for (auto &thread : threads) thread.join();
    leaked = fd2.text();
  }
  EXPECT_EQ(failures, std::vector<std::string>(3));
  EXPECT_EQ(leaked, "");
  for (const auto &path : damaged) std::remove(path.c_str());
  std::remove(model_path.c_str());
  std::remove((dir + "/trained.fst").c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace tamsu

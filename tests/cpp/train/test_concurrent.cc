// Training on one thread while others load, decode and write to std::cerr:
// OpenFst's messages stay with the thread that caused them, and standard
// error gets exactly the lines written outside any capture, unbroken.
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
    {"cat", "K AE T"},   {"knot", "N AA T"},   {"tone", "T OW N"}};

std::vector<std::string> decode_all(const Model &model) {
  std::vector<std::string> decoded;
  for (const auto &entry : kLexicon) {
    auto paths = phoneticize_word(model, entry.first, DecodeOptions{});
    std::string text;
    if (!paths.empty()) {
      for (const auto &p : render_phonemes(model, paths[0].uniques)) text += p;
    }
    decoded.push_back(text);
  }
  return decoded;
}

TEST(Concurrent, TrainWhileOthersLoadDecodeAndWrite) {
  configure_openfst();
  char name[] = "/tmp/tamsu_concurrent_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  const std::string model_path = dir + "/model.fst";
  TrainOptions options;
  options.ngram.order = 3;
  const auto entries = test::entries_of(kLexicon);
  ASSERT_TRUE(train_model(entries, options, model_path, nullptr));
  const auto expected = decode_all(**load_model(model_path, ""));
  // Files OpenFst itself rejects, logging a message that names the file.
  const std::vector<std::string> damaged = {dir + "/bad0.fst",
                                            dir + "/bad1.fst"};
  for (const auto &path : damaged) std::ofstream(path) << "not a model";

  std::vector<std::string> failures(3);
  std::atomic<bool> trained{false};
  std::string written;
  std::string fd2_text;
  {
    test::Fd2Capture fd2;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int run = 0; run < 3; ++run) {
        auto report = train_model(entries, options, dir + "/t.fst", nullptr);
        if (!report) failures[2] = report.error().detail;
      }
      trained = true;
    });
    // Until training is over, so that all of it overlaps; failing loads,
    // whose messages pass through std::cerr, in tight loops.
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; (round < 3 || !trained) && failures[t].empty();
             ++round) {
          if (decode_all(**load_model(model_path, "")) != expected) {
            failures[t] = "a decode changed";
          }
          for (int load = 0; load < 5000 && failures[t].empty(); ++load) {
            auto bad = load_model(damaged[t], "");
            const std::string message = bad ? "" : describe(bad.error());
            if (message.find("Magic number") == std::string::npos ||
                message.find(damaged[t]) == std::string::npos ||
                message.find(damaged[1 - t]) != std::string::npos) {
              failures[t] = "load error for " + damaged[t] + ": " + message;
            }
          }
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 20000 && !trained; ++i) {
        std::cerr << "line " << i << '\n';
        written += "line " + std::to_string(i) + '\n';
      }
    });
    for (auto &thread : threads) thread.join();
    fd2_text = fd2.text();
  }
  EXPECT_EQ(failures, std::vector<std::string>(3));
  EXPECT_EQ(fd2_text, written);
  for (const auto &path : damaged) std::remove(path.c_str());
  for (const char *file : {"/model.fst", "/t.fst"}) {
    std::remove((dir + file).c_str());
  }
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace tamsu

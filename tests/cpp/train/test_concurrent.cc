// Training on one thread while others load damaged files and write to
// std::cerr: OpenFst's messages stay with the thread that caused them, and
// standard error gets exactly the lines written outside any capture,
// unbroken. (Decoding while training is tests/test_train_while_decoding.py's.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../decode_test_util.h"
#include "model/model.h"
#include "train/train.h"
#include "train_test_util.h"

namespace tamsu {
namespace {

TEST(Concurrent, TrainWhileOthersLoadAndWrite) {
  configure_openfst();
  char name[] = "/tmp/tamsu_concurrent_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  TrainOptions options;
  options.ngram.order = 3;
  const auto entries = test::entries_of(
      {{"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
       {"cat", "K AE T"}, {"knot", "N AA T"}, {"tone", "T OW N"}});
  // Files OpenFst itself rejects, logging a message that names the file.
  const std::vector<std::string> damaged = {dir + "/0.fst", dir + "/1.fst"};
  for (const auto &path : damaged) std::ofstream(path) << "not a model";

  std::vector<std::string> failures(3);
  std::atomic<bool> trained{false};
  std::string written, fd2_text;
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
    // Failing loads, whose messages pass through std::cerr, in tight loops
    // until training is over, so that all of it overlaps.
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (int load = 0; (load < 5000 || !trained) && failures[t].empty(); ++load) {
          auto bad = load_model(damaged[t], "");
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
    fd2_text = fd2.text();
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(failures, std::vector<std::string>(3));
  EXPECT_EQ(fd2_text, written);
}

}  // namespace
}  // namespace tamsu

// Tests for the per-thread routing of std::cerr.
#include "diag/cerr_router.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "decode_test_util.h"

namespace tamsu {
namespace {

class CerrRouterTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { configure_openfst(); }
};

constexpr int kLines = 3000;

void write_lines(char tag) {
  for (int i = 0; i < kLines; ++i) std::cerr << tag << ' ' << i << '\n';
}

std::string expected_lines(char tag) {
  std::string text;
  for (int i = 0; i < kLines; ++i) {
    text += std::string(1, tag) + ' ' + std::to_string(i) + '\n';
  }
  return text;
}

// Threads that capture, discard and pass through write at the same time:
// each capture holds its own thread's lines only, in order, and the real
// standard error gets exactly the pass-through thread's lines.
TEST_F(CerrRouterTest, EachThreadWritesToItsOwnDestination) {
  std::string captured_a;
  std::string captured_b;
  std::string passed;
  {
    test::Fd2Capture fd2;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      const CerrCapture capture;
      write_lines('a');
      captured_a = capture.text();
    });
    threads.emplace_back([&] {
      const CerrCapture capture;
      write_lines('b');
      captured_b = capture.text();
    });
    threads.emplace_back([] {
      const CerrSilencer silence;
      write_lines('d');
    });
    threads.emplace_back([] { write_lines('p'); });
    for (auto &thread : threads) thread.join();
    std::cerr.flush();
    passed = fd2.text();
  }
  EXPECT_EQ(captured_a, expected_lines('a'));
  EXPECT_EQ(captured_b, expected_lines('b'));
  EXPECT_EQ(passed, expected_lines('p'));
  EXPECT_TRUE(std::cerr.good());
}

TEST_F(CerrRouterTest, GuardsNestAndRestoreTheOuterDestination) {
  const CerrCapture outer;
  std::cerr << "1";
  {
    const CerrSilencer silence;
    std::cerr << "x";
    {
      const CerrCapture inner;
      std::cerr << "2";
      EXPECT_EQ(inner.text(), "2");
    }
    std::cerr << "y";
  }
  std::cerr << "3";
  EXPECT_EQ(outer.text(), "13");
}

TEST_F(CerrRouterTest, InstallsOnceWhateverTheNumberOfCalls) {
  std::streambuf *installed = std::cerr.rdbuf();
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(configure_openfst);
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(std::cerr.rdbuf(), installed);
}

}  // namespace
}  // namespace tamsu

// Tests for writing FSTs as dump files.
#include "nbest/dump.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "decode_test_util.h"

namespace tamsu {
namespace {

std::string contents(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Magic, "vector" and "standard" with their lengths, version, flags,
// properties, start and state count come before the arc count.
constexpr std::size_t kArcCount = 4 + (4 + 6) + (4 + 8) + 4 + 4 + 8 + 8 + 8;

std::int64_t arc_count(const std::string &bytes) {
  std::int64_t count = -1;
  if (bytes.size() >= kArcCount + 8) {
    std::memcpy(&count, bytes.data() + kArcCount, 8);
  }
  return count;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    for (int s = 0; s < 3; ++s) fst_.AddState();
    fst_.SetStart(0);
    fst_.AddArc(0, fst::StdArc(3, 4, 0.5f, 1));
    fst_.AddArc(0, fst::StdArc(4, 5, 1.25f, 2));
    fst_.AddArc(1, fst::StdArc(3, 0, -0.5f, 2));
    fst_.SetFinal(2, 1.5f);
    fst_.SetInputSymbols(test::make_symbols({"<eps>", "|", "_", "a", "b"}).get());
    fst_.SetOutputSymbols(
        test::make_symbols({"<eps>", "|", "_", "A", "B", "C"}).get());
  }

  void TearDown() override {
    for (const char *name : {"ours.fst", "theirs.fst", "w.fst"}) {
      std::remove(path(name).c_str());
    }
  }

  std::string path(const std::string &name) const {
    return test::temp_path(name);
  }

  fst::StdVectorFst fst_;
};

TEST_F(DumpTest, SameBytesAsOpenFstButTheRealArcCount) {
  ASSERT_TRUE(write_fst(fst_, path("ours.fst")));
  ASSERT_TRUE(fst_.Write(path("theirs.fst")));
  std::string ours = contents(path("ours.fst"));
  const std::string theirs = contents(path("theirs.fst"));
  EXPECT_EQ(arc_count(ours), 3);
  ASSERT_EQ(ours.size(), theirs.size());
  std::memset(&ours[kArcCount], 0, 8);
  EXPECT_EQ(ours, theirs);
}

TEST_F(DumpTest, OverwritesALongerFile) {
  std::ofstream(path("w.fst")) << std::string(100000, 'x');
  fst::StdVectorFst small;
  small.SetStart(small.AddState());
  small.SetFinal(0, 0.0f);
  ASSERT_TRUE(write_fst(small, path("w.fst")));
  const std::unique_ptr<fst::StdVectorFst> read(
      fst::StdVectorFst::Read(path("w.fst")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->NumStates(), 1);
  EXPECT_EQ(arc_count(contents(path("w.fst"))), 0);
}

TEST_F(DumpTest, FailuresWriteNothingAnywhere) {
  test::Fd2Capture capture;
  EXPECT_FALSE(write_fst(fst_, path("ab") + std::string(1, '\0') + "c.fst"));
  EXPECT_FALSE(write_fst(fst_, path("no-such-dir/abc.fst")));
  struct stat info;
  EXPECT_NE(::stat(path("ab").c_str(), &info), 0);
  EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace tamsu

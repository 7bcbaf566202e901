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
  if (bytes.size() >= kArcCount + 8) std::memcpy(&count, &bytes[kArcCount], 8);
  return count;
}

TEST(Dump, SameBytesAsOpenFstButTheRealArcCount) {
  configure_openfst();
  fst::StdVectorFst f;
  for (int s = 0; s < 3; ++s) f.AddState();
  f.SetStart(0);
  f.AddArc(0, fst::StdArc(3, 4, 0.5f, 1));
  f.AddArc(0, fst::StdArc(4, 5, 1.25f, 2));
  f.AddArc(1, fst::StdArc(3, 0, -0.5f, 2));
  f.SetFinal(2, 1.5f);
  f.SetInputSymbols(test::make_symbols({"<eps>", "|", "_", "a", "b"}).get());
  f.SetOutputSymbols(test::make_symbols({"<eps>", "|", "_", "A", "B", "C"}).get());
  const std::string ours_path = test::temp_path("ours.fst");
  const std::string theirs_path = test::temp_path("theirs.fst");
  ASSERT_TRUE(write_fst(f, ours_path));
  ASSERT_TRUE(f.Write(theirs_path));
  std::string ours = contents(ours_path);
  const std::string theirs = contents(theirs_path);
  std::remove(ours_path.c_str());
  std::remove(theirs_path.c_str());
  EXPECT_EQ(arc_count(ours), 3);
  ASSERT_EQ(ours.size(), theirs.size());
  std::memset(&ours[kArcCount], 0, 8);
  EXPECT_EQ(ours, theirs);

  // Failures write nothing, not even OpenFst's complaints.
  test::Fd2Capture capture;
  EXPECT_FALSE(write_fst(f, test::temp_path("ab") + std::string(1, '\0') + "c.fst"));
  EXPECT_FALSE(write_fst(f, test::temp_path("no-such-dir/abc.fst")));
  struct stat info;
  EXPECT_NE(::stat(test::temp_path("ab").c_str(), &info), 0);
  EXPECT_EQ(capture.text(), "");
}

TEST(Dump, OverwritesALongerFile) {
  configure_openfst();
  const std::string path = test::temp_path("w.fst");
  std::ofstream(path) << std::string(100000, 'x');
  fst::StdVectorFst small;
  small.SetStart(small.AddState());
  small.SetFinal(0, 0.0f);
  ASSERT_TRUE(write_fst(small, path));
  const std::unique_ptr<fst::StdVectorFst> read(fst::StdVectorFst::Read(path));
  const std::string bytes = contents(path);
  std::remove(path.c_str());
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->NumStates(), 1);
  EXPECT_EQ(arc_count(bytes), 0);
}

}  // namespace
}  // namespace tamsu

// Tests for writing FSTs as dump files.
#include "nbest/dump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "decode_test_util.h"

namespace tamsu {
namespace {

using test::arc_rows;

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    char pattern[] = "/tmp/tamsu-dump-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  static bool exists(const std::string &file) {
    struct stat info;
    return ::stat(file.c_str(), &info) == 0;
  }

  static std::string contents(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // The header fields after the two type strings, at the offsets a vector
  // FST of standard arcs gives them.
  struct Header {
    std::int32_t flags;
    std::int64_t start;
    std::int64_t num_states;
    std::int64_t num_arcs;
  };
  // Magic, "vector" and "standard" with their lengths, version.
  static constexpr std::size_t kFlags = 4 + (4 + 6) + (4 + 8) + 4;
  static constexpr std::size_t kArcCount = kFlags + 4 + 8 + 8 + 8;

  static Header header_of(const std::string &bytes) {
    Header header;
    EXPECT_GE(bytes.size(), kArcCount + 8);
    std::memcpy(&header.flags, bytes.data() + kFlags, 4);
    std::memcpy(&header.start, bytes.data() + kFlags + 4 + 8, 8);
    std::memcpy(&header.num_states, bytes.data() + kFlags + 4 + 16, 8);
    std::memcpy(&header.num_arcs, bytes.data() + kArcCount, 8);
    return header;
  }

  std::string dir_;
  std::shared_ptr<fst::SymbolTable> isyms_ =
      test::make_symbols({"<eps>", "|", "_", "a", "b"});
  std::shared_ptr<fst::SymbolTable> osyms_ =
      test::make_symbols({"<eps>", "|", "_", "A", "B", "C"});
};

fst::StdVectorFst sample_fst(const fst::SymbolTable &isyms,
                             const fst::SymbolTable &osyms) {
  fst::StdVectorFst fst;
  for (int s = 0; s < 3; ++s) fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, fst::StdArc(3, 4, 0.5f, 1));
  fst.AddArc(0, fst::StdArc(4, 5, 1.25f, 2));
  fst.AddArc(1, fst::StdArc(3, 0, -0.5f, 2));
  fst.SetFinal(2, 1.5f);
  fst.SetInputSymbols(&isyms);
  fst.SetOutputSymbols(&osyms);
  return fst;
}

TEST_F(DumpTest, ReadsBackWithRealArcCount) {
  const auto fst = sample_fst(*isyms_, *osyms_);
  ASSERT_TRUE(write_fst(fst, path("abc.fst")));

  const std::unique_ptr<fst::StdVectorFst> read(
      fst::StdVectorFst::Read(path("abc.fst")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Start(), 0);
  EXPECT_EQ(arc_rows(*read), arc_rows(fst));
  EXPECT_EQ(read->Final(2).Value(), 1.5f);
  ASSERT_NE(read->InputSymbols(), nullptr);
  ASSERT_NE(read->OutputSymbols(), nullptr);
  EXPECT_EQ(read->InputSymbols()->LabeledCheckSum(), isyms_->LabeledCheckSum());
  EXPECT_EQ(read->OutputSymbols()->LabeledCheckSum(), osyms_->LabeledCheckSum());

  const Header header = header_of(contents(path("abc.fst")));
  EXPECT_EQ(header.flags, 3);
  EXPECT_EQ(header.start, 0);
  EXPECT_EQ(header.num_states, 3);
  EXPECT_EQ(header.num_arcs, 3);
}

TEST_F(DumpTest, SameBytesAsOpenFstApartFromArcCount) {
  const auto fst = sample_fst(*isyms_, *osyms_);
  ASSERT_TRUE(write_fst(fst, path("ours.fst")));
  ASSERT_TRUE(fst.Write(path("theirs.fst")));
  std::string ours = contents(path("ours.fst"));
  const std::string theirs = contents(path("theirs.fst"));
  ASSERT_EQ(ours.size(), theirs.size());
  const std::int64_t zero = 0;
  std::memcpy(&ours[kArcCount], &zero, 8);
  EXPECT_EQ(ours, theirs);
}

TEST_F(DumpTest, EmptyFstKeepsBothTables) {
  fst::StdVectorFst empty;
  empty.SetInputSymbols(isyms_.get());
  empty.SetOutputSymbols(osyms_.get());
  ASSERT_TRUE(write_fst(empty, path("x.lat.fst")));
  const Header header = header_of(contents(path("x.lat.fst")));
  EXPECT_EQ(header.flags, 3);
  EXPECT_EQ(header.start, -1);
  EXPECT_EQ(header.num_states, 0);
  EXPECT_EQ(header.num_arcs, 0);
  const std::unique_ptr<fst::StdVectorFst> read(
      fst::StdVectorFst::Read(path("x.lat.fst")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->NumStates(), 0);
  EXPECT_NE(read->InputSymbols(), nullptr);
  EXPECT_NE(read->OutputSymbols(), nullptr);
}

TEST_F(DumpTest, OverwritesExistingFile) {
  ASSERT_TRUE(write_fst(sample_fst(*isyms_, *osyms_), path("w.fst")));
  fst::StdVectorFst small;
  small.SetStart(small.AddState());
  small.SetFinal(0, 0.0f);
  ASSERT_TRUE(write_fst(small, path("w.fst")));
  const std::unique_ptr<fst::StdVectorFst> read(
      fst::StdVectorFst::Read(path("w.fst")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->NumStates(), 1);
  EXPECT_EQ(read->InputSymbols(), nullptr);
}

TEST_F(DumpTest, FailuresWriteNothingAnywhere) {
  const auto fst = sample_fst(*isyms_, *osyms_);
  const CerrCapture cerr_text;
  std::string fd2_text;
  bool nul_written = true;
  bool missing_dir_written = true;
  {
    test::Fd2Capture capture;
    nul_written = write_fst(fst, path("ab") + std::string(1, '\0') + "c.fst");
    missing_dir_written = write_fst(fst, path("no-such-dir/abc.fst"));
    fd2_text = capture.text();
  }
  EXPECT_FALSE(nul_written);
  EXPECT_FALSE(missing_dir_written);
  EXPECT_FALSE(exists(path("ab")));
  EXPECT_FALSE(exists(path("no-such-dir")));
  EXPECT_EQ(fd2_text, "");
  EXPECT_EQ(cerr_text.text(), "");
}

}  // namespace
}  // namespace tamsu

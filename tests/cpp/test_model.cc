#include "model/model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fst/properties.h>

#include "model/model_file_check.h"

namespace tamsu {
namespace {

using fst::StdArc;
using fst::StdVectorFst;

class ModelTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { configure_openfst(); }

  // Two symbols tables a/b, a chain 0 -a:b-> 1 with final state 1.
  static StdVectorFst small_fst(bool input_table = true,
                                bool output_table = true) {
    StdVectorFst f;
    f.AddState();
    f.AddState();
    f.SetStart(0);
    f.AddArc(0, StdArc(3, 4, 0.5f, 1));
    f.SetFinal(1, 0.0f);
    fst::SymbolTable symbols;
    for (const char *text : {"<eps>", "|", "_", "a", "b"}) {
      symbols.AddSymbol(text);
    }
    if (input_table) f.SetInputSymbols(&symbols);
    if (output_table) f.SetOutputSymbols(&symbols);
    return f;
  }

  static std::string bytes_of(const StdVectorFst &f) {
    std::ostringstream out;
    f.Write(out, fst::FstWriteOptions("test"));
    return out.str();
  }

  std::string write_file(const std::string &bytes) {
    const std::string path =
        testing::TempDir() + "model_test_" + std::to_string(counter_++) + ".fst";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // Loads `bytes` and returns the error message, or "" on success, while
  // checking that nothing reached standard error.
  std::string load_error(const std::string &bytes) {
    const std::string path = write_file(bytes);
    testing::internal::CaptureStderr();
    auto loaded = load_model(path, "");
    const std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderr_text, "");
    std::remove(path.c_str());
    return loaded ? "" : describe(loaded.error());
  }

  int counter_ = 0;
};

// Offset of the header field after the two type strings.
std::size_t header_field(const std::string &bytes, int index) {
  std::size_t pos = 4;
  for (int i = 0; i < 2; ++i) {
    std::int32_t length;
    std::memcpy(&length, bytes.data() + pos, 4);
    pos += 4 + static_cast<std::size_t>(length);
  }
  // version(4) flags(4) properties(8) start(8) numstates(8) numarcs(8)
  const std::size_t offsets[] = {0, 4, 8, 16, 24, 32};
  return pos + offsets[index];
}

template <class T>
void poke(std::string &bytes, std::size_t offset, T value) {
  std::memcpy(&bytes[offset], &value, sizeof value);
}

TEST_F(ModelTest, LoadsAValidModel) {
  auto loaded = load_model(write_file(bytes_of(small_fst())), "-é");
  ASSERT_TRUE(loaded);
  const Model &model = *loaded.value();
  EXPECT_EQ(model.delim, "-é");
  EXPECT_EQ(model.isyms->NumSymbols(), 5u);
  EXPECT_EQ(model.veto_set, (std::unordered_set<Label>{0, 1, 2}));
  EXPECT_TRUE(model.fst.Properties(fst::kILabelSorted, false));
  // The record's tables are the FST's own, shared rather than re-read.
  EXPECT_EQ(model.fst.InputSymbols()->Find(3), "a");
}

TEST_F(ModelTest, ReportsMissingSymbolTables) {
  EXPECT_EQ(load_error(bytes_of(small_fst(false, false))),
            "FST is missing input symbol table");
  EXPECT_EQ(load_error(bytes_of(small_fst(true, false))),
            "FST is missing output symbol table");
  EXPECT_EQ(load_error(bytes_of(small_fst(false, true))),
            "FST is missing input symbol table");
}

struct Damage {
  const char *name;
  void (*apply)(std::string &bytes);
  const char *expected;  // a piece of the message
};

class DamagedFile : public ModelTest,
                    public testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, IsAReadFailure) {
  std::string bytes = bytes_of(small_fst());
  GetParam().apply(bytes);
  const std::string message = load_error(bytes);
  EXPECT_EQ(message.rfind("failed to read FST: ", 0), 0u) << message;
  EXPECT_NE(message.find(GetParam().expected), std::string::npos) << message;
}

void replace_once(std::string &bytes, const std::string &from,
                  const std::string &to) {
  const auto pos = bytes.find(from);
  ASSERT_NE(pos, std::string::npos);
  bytes.replace(pos, from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFile,
    testing::Values(
        Damage{"absurd_state_count",
               [](std::string &b) {
                 poke<std::int64_t>(b, header_field(b, 4), 1ll << 40);
               },
               "1099511627776 states"},
        Damage{"negative_state_count",
               [](std::string &b) {
                 poke<std::int64_t>(b, header_field(b, 4), -5);
               },
               "-5 states"},
        Damage{"truncated_body",
               [](std::string &b) { b.resize(b.size() - 10); },
               "unexpected end of file in state 1"},
        Damage{"absurd_arc_count",
               [](std::string &b) {
                 // state 0's arc count follows its 4-byte final weight
                 poke<std::int64_t>(b, b.size() - 12 - 16 - 8, 1ll << 50);
               },
               "arcs"},
        Damage{"dangling_next_state",
               [](std::string &b) {
                 poke<std::int32_t>(b, b.size() - 12 - 4, 7);
               },
               "leads to state 7"},
        Damage{"start_out_of_range",
               [](std::string &b) {
                 poke<std::int64_t>(b, header_field(b, 3), 9);
               },
               "start state 9"},
        Damage{"symbol_label_gap",
               [](std::string &b) {
                 // "b" is stored with label 4; make it 5.
                 replace_once(b, std::string("\x01\0\0\0b\x04\0\0\0\0\0\0\0", 13),
                              std::string("\x01\0\0\0b\x05\0\0\0\0\0\0\0", 13));
               },
               "has label 5, expected 4"},
        Damage{"repeated_symbol_text",
               [](std::string &b) {
                 replace_once(b, std::string("\x01\0\0\0b", 5),
                              std::string("\x01\0\0\0a", 5));
               },
               "\"a\" appears more than once"},
        Damage{"bad_symbol_table_magic",
               [](std::string &b) {
                 replace_once(b, std::string("\x74\xfb\xb2\x7e", 4),
                              std::string("\x75\xfb\xb2\x7e", 4));
               },
               "bad magic number"},
        Damage{"huge_string_length",
               [](std::string &b) {
                 replace_once(b, std::string("\x01\0\0\0b", 5),
                              std::string("\xf0\xff\xff\x7f" "b", 5));
               },
               "beyond the end of the file"},
        Damage{"not_an_fst", [](std::string &b) { b = "hello, world\n"; },
               "Magic number not matched"},
        Damage{"wrong_arc_type",
               [](std::string &b) {
                 replace_once(b, std::string("\x08\0\0\0standard", 12),
                              std::string("\x08\0\0\0log\0\0\0\0\0", 12));
               },
               "Arc not of type standard"}),
    [](const testing::TestParamInfo<Damage> &info) { return info.param.name; });

TEST_F(ModelTest, MissingFileIsAReadFailure) {
  auto loaded = load_model(testing::TempDir() + "no/such/model.fst", "");
  ASSERT_FALSE(loaded);
  EXPECT_EQ(describe(loaded.error()).rfind("failed to read FST: ", 0), 0u);
}

TEST(SortArcs, IsStableOnInputLabelAloneAndRecordsProperties) {
  StdVectorFst f;
  f.AddState();
  f.AddState();
  f.SetStart(0);
  // More than 16 arcs, where std::sort stops being insertion sort.
  const int ilabels[] = {5, 3, 5, 1, 3, 5, 2, 3, 1, 5, 4, 2, 3, 5, 1,
                         2, 4, 3, 5, 1, 2, 3, 4, 5, 1};
  int olabel = 100;
  for (int ilabel : ilabels) f.AddArc(0, StdArc(ilabel, olabel--, 0.0f, 1));
  f.SetFinal(1, 0.0f);
  ASSERT_FALSE(f.Properties(fst::kILabelSorted, false));
  sort_arcs_by_input_label(f);

  int previous_ilabel = 0;
  int previous_olabel = 1000;
  for (fst::ArcIterator<StdVectorFst> it(f, 0); !it.Done(); it.Next()) {
    const StdArc &arc = it.Value();
    ASSERT_GE(arc.ilabel, previous_ilabel);
    // olabels were assigned in decreasing file order: stable means they
    // stay decreasing within one input label.
    if (arc.ilabel == previous_ilabel) {
      ASSERT_LT(arc.olabel, previous_olabel);
    }
    previous_ilabel = arc.ilabel;
    previous_olabel = arc.olabel;
  }
  const auto props = f.Properties(fst::kFstProperties, false);
  EXPECT_TRUE(props & fst::kILabelSorted);
  EXPECT_FALSE(props & fst::kNotILabelSorted);
  EXPECT_FALSE(props & fst::kOLabelSorted);  // not an acceptor
}

TEST(SortArcs, AcceptorIsAlsoOutputSorted) {
  StdVectorFst f;
  f.AddState();
  f.SetStart(0);
  f.AddArc(0, StdArc(2, 2, 0.0f, 0));
  f.AddArc(0, StdArc(1, 1, 0.0f, 0));
  sort_arcs_by_input_label(f);
  EXPECT_TRUE(f.Properties(fst::kOLabelSorted, false));
  EXPECT_TRUE(f.Properties(fst::kILabelSorted, false));
}

}  // namespace
}  // namespace tamsu

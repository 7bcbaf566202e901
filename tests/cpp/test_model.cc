// Tests for loading model files (damaged ones included), the checks on
// what OpenFst's reader takes on trust, sorting arcs and cluster tables.
#include "model/model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include <fst/properties.h>
#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "model/cluster_table.h"
#include "model/fst_trust.h"

namespace tamsu {
namespace {

using fst::StdArc;

// Symbols <eps> | _ a b on both sides, the chain
// 0 -a:b/0.5-> 1, state 1 final.
std::string model_bytes() {
  fst::StdVectorFst f;
  f.SetStart(f.AddState());
  f.AddArc(0, StdArc(3, 4, 0.5f, f.AddState()));
  f.SetFinal(1, 0.0f);
  fst::SymbolTable symbols;
  for (const char *text : {"<eps>", "|", "_", "a", "b"}) symbols.AddSymbol(text);
  f.SetInputSymbols(&symbols);
  f.SetOutputSymbols(&symbols);
  std::ostringstream out;
  f.Write(out, fst::FstWriteOptions("test"));
  return out.str();
}

// Loads `bytes` from a file: the model, or the error message; nothing may
// reach standard error.
std::string load(const std::string &bytes, std::unique_ptr<const Model> *model = nullptr) {
  configure_openfst();
  const std::string path = test::temp_path("model_test.fst");
  std::ofstream(path, std::ios::binary) << bytes;
  testing::internal::CaptureStderr();
  auto loaded = load_model(path, "-é");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::remove(path.c_str());
  if (!loaded) return describe(loaded.error());
  if (model) *model = std::move(loaded).value();
  return "";
}

TEST(LoadModel, KeepsDelimVetoesAndSortsArcs) {
  std::unique_ptr<const Model> model;
  ASSERT_EQ(load(model_bytes(), &model), "");
  EXPECT_EQ(model->delim, "-é");
  EXPECT_EQ(model->veto_set, (std::unordered_set<Label>{0, 1, 2}));
  EXPECT_TRUE(model->fst.Properties(fst::kILabelSorted, false));
}

// Header offsets of the start state and the state count: magic, then
// "vector" and "standard" with their lengths, version, flags, properties.
constexpr std::size_t kStart = 4 + (4 + 6) + (4 + 8) + 4 + 4 + 8, kStates = kStart + 8;

template <class T>
void poke(std::string &bytes, std::size_t offset, T value) {
  std::memcpy(&bytes[offset], &value, sizeof value);
}

void replace_once(std::string &bytes, const std::string &from,
                  const std::string &to) {
  const auto pos = bytes.find(from);
  ASSERT_NE(pos, std::string::npos);
  bytes.replace(pos, from.size(), to);
}

using Bytes = std::string &;

struct Damage {
  const char *name;
  void (*apply)(Bytes bytes);
  const char *expected;  // a piece of the message
};

class DamagedFile : public testing::TestWithParam<Damage> {};

TEST_P(DamagedFile, IsAReadFailure) {
  std::string bytes = model_bytes();
  GetParam().apply(bytes);
  const std::string message = load(bytes);
  EXPECT_EQ(message.rfind("failed to read FST: ", 0), 0u) << message;
  EXPECT_NE(message.find(GetParam().expected), std::string::npos) << message;
}

const std::string kB(std::string("\x01\0\0\0b", 5));

// The last 12 + 16 bytes are state 1 (no arcs) and state 0's one arc,
// whose next state is its last field.
const Damage kDamages[] = {
    {"absurd_state_count", [](Bytes b) { poke<std::int64_t>(b, kStates, 1ll << 40); },
     "1099511627776 states"},
    {"truncated_body", [](Bytes b) { b.resize(b.size() - 10); },
     "unexpected end of file in state 1"},
    {"absurd_arc_count", [](Bytes b) { poke<std::int64_t>(b, b.size() - 36, 1ll << 50); },
     "arcs, more than the file can hold"},
    {"next_state_one_past_the_last", [](Bytes b) { poke<std::int32_t>(b, b.size() - 16, 2); },
     "leads to state 2, which does not exist"},
    {"negative_next_state", [](Bytes b) { poke<std::int32_t>(b, b.size() - 16, -3); },
     "leads to state -3"},
    {"start_out_of_range", [](Bytes b) { poke<std::int64_t>(b, kStart, 2); },
     "start state 2 does not exist"},
    {"nan_final_weight", [](Bytes b) { poke<float>(b, b.size() - 12, std::nanf("")); },
     "the final weight of state 1 is NaN"},
    {"nan_arc_weight", [](Bytes b) { poke<float>(b, b.size() - 20, -std::nanf("")); },
     "arc 0 of state 0 has a NaN weight"},
    {"symbol_label_gap", [](Bytes b) { replace_once(b, kB + '\x04', kB + '\x05'); },
     "has label 5, expected 4"},
    {"repeated_symbol_text", [](Bytes b) { replace_once(b, kB, std::string("\x01\0\0\0a", 5)); },
     "\"a\" appears more than once"},
    {"bad_symbol_table_magic", [](Bytes b) { replace_once(b, "\x74\xfb\xb2\x7e", "\x75\xfb\xb2\x7e"); },
     "bad magic number"},
    {"huge_string_length", [](Bytes b) { replace_once(b, kB, "\xf0\xff\xff\x7f" "b"); },
     "beyond the end of the file"},
    {"not_an_fst", [](Bytes b) { b = "hello, world\n"; }, "Magic number not matched"},
    {"wrong_arc_type",
     [](Bytes b) { replace_once(b, std::string("\x08\0\0\0standard", 12), std::string("\x08\0\0\0log\0\0\0\0\0", 12)); },
     "Arc not of type standard"}};

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFile, testing::ValuesIn(kDamages),
    [](const testing::TestParamInfo<Damage> &info) { return info.param.name; });

TEST(SortArcs, IsStableOnInputLabelAloneAndSetsProperties) {
  // Two arcs (the smallest case that needs sorting), then more than 16,
  // where std::sort stops being insertion sort; olabels fall in file order.
  for (const std::vector<int> &ilabels : {std::vector<int>{2, 1},
       {5, 3, 5, 1, 3, 5, 2, 3, 1, 5, 4, 2, 3, 5, 1, 2, 4, 3, 5, 1, 2, 3, 4, 5, 1}}) {
    fst::StdVectorFst f;
    f.SetStart(f.AddState());
    int olabel = 100;
    for (int ilabel : ilabels) f.AddArc(0, StdArc(ilabel, olabel--, 0.0f, 0));
    sort_arcs_by_input_label(f);
    auto rows = test::arc_rows(f);  // (ilabel, -olabel) must rise
    for (auto &row : rows) std::get<2>(row) *= -1;
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
    const auto props = f.Properties(fst::kFstProperties, false);
    EXPECT_TRUE(props & fst::kILabelSorted);
    EXPECT_FALSE(props & (fst::kNotILabelSorted | fst::kOLabelSorted));
  }
}

// Cluster tables.

struct ClusterCase {
  std::vector<std::string> texts;  // labels 0, 1, 2, ...
  std::vector<std::pair<Label, LabelList>> label_to_parts;
  std::vector<std::pair<LabelList, Label>> parts_to_label;
  std::size_t max_parts;
};

class BuildClusterTable : public testing::TestWithParam<ClusterCase> {};

TEST_P(BuildClusterTable, MapsBothWays) {
  const ClusterCase &c = GetParam();
  fst::SymbolTable symbols;
  for (const std::string &text : c.texts) symbols.AddSymbol(text);
  const ClusterTable table = build_cluster_table(symbols);
  EXPECT_EQ(table.max_parts, c.max_parts);
  for (const auto &[label, parts] : c.label_to_parts) EXPECT_EQ(table.label_to_parts.at(label), parts);
  for (const auto &[parts, label] : c.parts_to_label) EXPECT_EQ(table.parts_to_label.at(parts), label);
  // Labels 0 and 1 never enter; every label from 2 does.
  EXPECT_EQ(table.label_to_parts.count(0) + table.label_to_parts.count(1), 0u);
  EXPECT_EQ(table.label_to_parts.size(), c.texts.size() < 2 ? 0 : c.texts.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildClusterTable,
    testing::Values(
        ClusterCase{{"<eps>", "|", "_", "a", "b", "a|b"},
                    {{3, {3}}, {5, {3, 4}}, {2, {2}}}, {{{3}, 3}, {{3, 4}, 5}}, 2},
        // Unknown and empty pieces are dropped; of equal part lists the
        // higher label wins.
        ClusterCase{{"<eps>", "|", "_", "a", "a|x"}, {{4, {3}}}, {{{3}, 4}}, 1},
        ClusterCase{{"<eps>", "|", "_", "a", "b", "a|b", "a||b"},
                    {{5, {3, 4}}, {6, {3, 4}}}, {{{3, 4}, 6}}, 2},
        ClusterCase{{"<eps>", "|", "_", "", "||"}, {{4, {}}}, {{{}, 4}}, 1},
        ClusterCase{{"<eps>", "|", "_", "s", "c", "h", "s|c|h"},
                    {{6, {3, 4, 5}}}, {{{3, 4, 5}, 6}}, 3},
        ClusterCase{{"<eps>", "|"}, {}, {}, 1},
        // An empty separator splits into characters (code points).
        ClusterCase{{"<eps>", "", "_", "a", "é", "aé", "ax"},
                    {{5, {3, 4}}, {6, {3}}, {3, {3}}}, {{{3, 4}, 5}, {{3}, 6}}, 2},
        ClusterCase{{"<eps>", "::", "_", "k", "s", "k::s", "k:s"},
                    {{5, {3, 4}}, {6, {6}}}, {{{3, 4}, 5}, {{6}, 6}}, 2}));

// What OpenFst's reader takes on trust.

using fst::StdVectorFst;
using Arcs = std::vector<std::tuple<int, int, float>>;

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// States 0..n-1 with the given epsilon arcs and one labelled arc. `forked`
// adds a state with two epsilon arcs, so that the check cannot follow one
// epsilon arc per state and searches the general way.
std::optional<std::string> check(int n, const Arcs &arcs, bool forked) {
  StdVectorFst f;
  for (int i = 0; i < n + 2; ++i) f.AddState();
  f.SetStart(0);
  f.AddArc(0, StdArc(3, 4, 1.0f, n));
  for (const auto &[from, to, weight] : arcs) {
    f.AddArc(from, StdArc(0, 0, weight, to));
  }
  if (forked) {
    f.AddArc(n, StdArc(0, 0, 1.0f, n + 1));
    f.AddArc(n, StdArc(0, 0, 2.0f, n + 1));
  }
  return make_fst_safe_to_decode(f, "m.fst");
}

std::string through(int state) {
  return "m.fst: epsilon arcs form a cycle of negative weight through state " +
         std::to_string(state) + " (a search reaching it would never end)";
}

Arcs ring(int size, float weight, float last) {
  Arcs arcs;
  for (int i = 0; i < size; ++i) arcs.emplace_back(i, (i + 1) % size, weight);
  std::get<2>(arcs.back()) = last;
  return arcs;
}

class EpsilonCycles : public testing::TestWithParam<bool> {};

TEST_P(EpsilonCycles, OnlyNegativeOnesAreFoundAndNamed) {
  const bool forked = GetParam();
  // 0 -> 1 -> 2 lead into 3 -> 4 -> 5 -> 3 (-0.5); 6 <-> 7 weighs nothing.
  const auto found = check(8, {{0, 1, -9}, {1, 2, -9}, {2, 3, 1}, {3, 4, 1},
                               {4, 5, -2}, {5, 3, 0.5f}, {6, 7, 0.25f},
                               {7, 6, -0.25f}}, forked);
  EXPECT_TRUE(std::set<std::optional<std::string>>(
                  {through(3), through(4), through(5)}).count(found))
      << found.value_or("nothing");
  EXPECT_EQ(check(2, {{1, 1, -kInfinity}}, forked), through(1));
  // Infinity is no arc at all, and a long ring of nothing is no loss.
  EXPECT_EQ(check(3, {{1, 2, -1}, {2, 1, kInfinity}}, forked), std::nullopt);
  EXPECT_EQ(check(3000, ring(3000, 0, 0), forked), std::nullopt);
  EXPECT_TRUE(check(3000, ring(3000, 0, -1e-3f), forked).has_value());
}

INSTANTIATE_TEST_SUITE_P(OneArcPerStateOrForked, EpsilonCycles,
                         testing::Bool());

TEST(FstTrust, RefusesCyclesTooEntangledToCheck) {
  EXPECT_EQ(check(20000, ring(20000, -1, -1), /*forked=*/true),
            "m.fst: cycles of epsilon arcs too entangled to check for "
            "negative weight");
}

TEST(FstTrust, StoredPropertiesBecomeProvenOnes) {
  StdVectorFst f;
  f.AddState();
  f.AddArc(0, StdArc(3, 3, 0.0f, 0));
  f.SetProperties(fst::kNotAcceptor | fst::kAcyclic | fst::kNoEpsilons,
                  fst::kTrinaryProperties);
  ASSERT_EQ(make_fst_safe_to_decode(f, "m.fst"), std::nullopt);
  EXPECT_EQ(f.Properties(fst::kFstProperties, false),
            fst::kExpanded | fst::kMutable | fst::kAcceptor);
  f.SetProperties(fst::kError, fst::kError);  // cannot be cleared
  EXPECT_EQ(make_fst_safe_to_decode(f, "m.fst"),
            "m.fst: the file marks the FST as failed (error property set)");
}

}  // namespace
}  // namespace tamsu

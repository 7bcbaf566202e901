#include "model/cluster_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamsu {
namespace {

fst::SymbolTable make_table(const std::vector<std::string> &texts) {
  fst::SymbolTable table;
  for (const std::string &text : texts) table.AddSymbol(text);
  return table;
}

struct ClusterCase {
  const char *name;
  std::vector<std::string> texts;  // labels 0, 1, 2, ...
  std::vector<std::pair<Label, LabelList>> label_to_parts;
  std::vector<std::pair<LabelList, Label>> parts_to_label;
  std::size_t max_parts;
};

class BuildClusterTable : public testing::TestWithParam<ClusterCase> {};

TEST_P(BuildClusterTable, MapsBothWays) {
  const ClusterCase &c = GetParam();
  const ClusterTable table = build_cluster_table(make_table(c.texts));
  EXPECT_EQ(table.max_parts, c.max_parts);
  for (const auto &[label, parts] : c.label_to_parts) {
    ASSERT_TRUE(table.label_to_parts.count(label)) << label;
    EXPECT_EQ(table.label_to_parts.at(label), parts) << label;
  }
  for (const auto &[parts, label] : c.parts_to_label) {
    ASSERT_TRUE(table.parts_to_label.count(parts));
    EXPECT_EQ(table.parts_to_label.at(parts), label);
  }
  // Labels 0 and 1 never enter; every label from 2 does.
  EXPECT_EQ(table.label_to_parts.count(0), 0u);
  EXPECT_EQ(table.label_to_parts.count(1), 0u);
  const std::size_t expected_keys = c.texts.size() < 2 ? 0 : c.texts.size() - 2;
  EXPECT_EQ(table.label_to_parts.size(), expected_keys);
  for (const auto &[parts, label] : table.parts_to_label) {
    EXPECT_GE(label, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildClusterTable,
    testing::Values(
        ClusterCase{"pair",
                    {"<eps>", "|", "_", "a", "b", "a|b"},
                    {{3, {3}}, {4, {4}}, {5, {3, 4}}, {2, {2}}},
                    {{{3}, 3}, {{4}, 4}, {{3, 4}, 5}},
                    2},
        ClusterCase{"unknown piece dropped, higher label wins",
                    {"<eps>", "|", "_", "a", "a|x"},
                    {{4, {3}}},
                    {{{3}, 4}},
                    1},
        ClusterCase{"empty pieces dropped, highest equal list wins",
                    {"<eps>", "|", "_", "a", "b", "a|b", "a||b"},
                    {{5, {3, 4}}, {6, {3, 4}}},
                    {{{3, 4}, 6}},
                    2},
        ClusterCase{"separators only give an empty part list",
                    {"<eps>", "|", "_", "", "||"},
                    {{4, {}}},
                    {{{}, 4}},
                    1},
        ClusterCase{"leading and trailing separators",
                    {"<eps>", "|", "_", "a", "|a|"},
                    {{4, {3}}},
                    {{{3}, 4}},
                    1},
        ClusterCase{"three parts without two",
                    {"<eps>", "|", "_", "s", "c", "h", "s|c|h"},
                    {{6, {3, 4, 5}}},
                    {{{3, 4, 5}, 6}},
                    3},
        ClusterCase{"two symbols only", {"<eps>", "|"}, {}, {}, 1},
        ClusterCase{"empty separator splits into characters",
                    {"<eps>", "", "_", "a", "é", "aé", "ax"},
                    {{5, {3, 4}}, {6, {3}}, {3, {3}}, {2, {2}}},
                    {{{3, 4}, 5}, {{3}, 6}},
                    2},
        ClusterCase{"multi-byte separator",
                    {"<eps>", "::", "_", "k", "s", "k::s", "k:s"},
                    {{5, {3, 4}}, {6, {6}}},
                    {{{3, 4}, 5}, {{6}, 6}},
                    2}),
    [](const testing::TestParamInfo<ClusterCase> &info) {
      std::string name;
      for (char ch : std::string(info.param.name)) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      }
      return name;
    });

}  // namespace
}  // namespace tamsu

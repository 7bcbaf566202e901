#include "model/cluster_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamsu {
namespace {

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
  for (const auto &[label, parts] : c.label_to_parts) {
    EXPECT_EQ(table.label_to_parts.at(label), parts) << label;
  }
  for (const auto &[parts, label] : c.parts_to_label) {
    EXPECT_EQ(table.parts_to_label.at(parts), label);
  }
  // Labels 0 and 1 never enter; every label from 2 does.
  EXPECT_EQ(table.label_to_parts.count(0) + table.label_to_parts.count(1), 0u);
  EXPECT_EQ(table.label_to_parts.size(),
            c.texts.size() < 2 ? 0 : c.texts.size() - 2);
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

}  // namespace
}  // namespace tamsu

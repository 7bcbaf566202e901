// Tests for the load-time decision whether a model may take the lattice
// search: which models fall back to OpenFst's route, and why.
#include "model/search_plan.h"

#include <limits>

#include <gtest/gtest.h>

#include "model/model.h"

namespace tamsu {
namespace {

using Refusal = SearchPlan::Refusal;

struct Arc {
  int from, ilabel, olabel;
  float weight;
  int to;
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// States 0..3, start 0, arcs sorted by input label as load_model does.
fst::StdVectorFst make_fst(const std::vector<Arc> &arcs, float final_weight = 0.5f) {
  fst::StdVectorFst fst;
  for (int s = 0; s < 4; ++s) fst.AddState();
  fst.SetStart(0);
  for (const auto &[from, i, o, w, to] : arcs) fst.AddArc(from, fst::StdArc(i, o, w, to));
  fst.SetFinal(0, final_weight);
  sort_arcs_by_input_label(fst);
  return fst;
}

// A backoff trigram shape: 3 -> 2 -> 1 -> 0 over epsilon arcs, letters
// anywhere (cycles included).
const std::vector<Arc> kBackoff = {
    {0, 3, 3, 1.0f, 1}, {1, 4, 4, 1.0f, 2}, {2, 3, 4, 0.5f, 3},
    {3, 3, 3, 0.25f, 3}, {1, 0, 0, -0.5f, 0}, {2, 0, 0, 0.5f, 1},
    {3, 0, 0, 0.5f, 2}, {3, 0, 5, 0.5f, 0}};

TEST(SearchPlanTest, BackoffModelTakesLatticeSearch) {
  const SearchPlan plan = plan_search(make_fst(kBackoff));
  ASSERT_EQ(plan.refusal, Refusal::kNone);
  ASSERT_EQ(plan.epsilon_rank.size(), 4u);
  // Every epsilon arc leads to a later rank.
  for (const Arc &arc : kBackoff) {
    if (arc.ilabel == 0) {
      EXPECT_LT(plan.epsilon_rank[arc.from], plan.epsilon_rank[arc.to]);
    }
  }
}

struct RefusalCase {
  const char *name;
  std::vector<Arc> extra;  // added to the backoff arcs
  float final_weight;
  Refusal expected;
};

class SearchPlanRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SearchPlanRefusalTest, FallsBackForTheRightReason) {
  std::vector<Arc> arcs = kBackoff;
  arcs.insert(arcs.end(), GetParam().extra.begin(), GetParam().extra.end());
  const SearchPlan plan = plan_search(make_fst(arcs, GetParam().final_weight));
  EXPECT_EQ(plan.refusal, GetParam().expected) << describe(plan.refusal);
  EXPECT_EQ(plan.usable(), GetParam().expected == Refusal::kNone);
  EXPECT_EQ(plan.epsilon_rank.empty(), !plan.usable());
}

INSTANTIATE_TEST_SUITE_P(
    Models, SearchPlanRefusalTest,
    ::testing::Values(
        RefusalCase{"EpsilonSelfLoop", {{2, 0, 0, 1.0f, 2}}, 0.5f,
                    Refusal::kEpsilonCycle},
        RefusalCase{"EpsilonCycleThroughOutputs", {{0, 0, 4, 1.0f, 3}}, 0.5f,
                    Refusal::kEpsilonCycle},
        RefusalCase{"LetterCycleIsFine", {{0, 4, 4, 1.0f, 0}}, 0.5f,
                    Refusal::kNone},
        RefusalCase{"NotFinalIsFine", {}, kInf, Refusal::kNone},
        RefusalCase{"NaNArcWeight", {{1, 3, 3, kNaN, 2}}, 0.5f,
                    Refusal::kUnusableWeight},
        RefusalCase{"MinusInfinityFinalWeight", {}, -kInf,
                    Refusal::kUnusableWeight},
        RefusalCase{"NegativeInputLabel", {{1, -1, 3, 1.0f, 2}}, 0.5f,
                    Refusal::kNegativeLabel}),
    [](const ::testing::TestParamInfo<RefusalCase> &info) {
      return std::string(info.param.name);
    });

TEST(SearchPlanTest, NoStartOrUnrecordedInputSortFallsBack) {
  fst::StdVectorFst fst = make_fst(kBackoff);
  fst.SetProperties(fst::kNotILabelSorted,
                    fst::kILabelSorted | fst::kNotILabelSorted);
  EXPECT_EQ(plan_search(fst).refusal, Refusal::kNotInputSorted);
  fst = make_fst(kBackoff);
  fst.SetStart(fst::kNoStateId);
  EXPECT_EQ(plan_search(fst).refusal, Refusal::kNoStartState);
}

}  // namespace
}  // namespace tamsu

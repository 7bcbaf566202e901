// Tests for the lattice search: whether a model may take it (and why
// not), and its own lattice, which must be OpenFst's composition after
// Connect, state numbers and arc order included, with OpenFst's shortest
// distances.
#include "nbest/lattice_search.h"

#include <limits>
#include <string>

#include <fst/shortest-distance.h>
#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"
#include "model/search_plan.h"
#include "nbest/lattice.h"

namespace tamsu {
namespace {

using test::ArcRow;

fst::StdVectorFst acceptor_for(const Model &model, const std::string &word) {
  LabelList labels;
  for (char c : word) labels.push_back(model.isyms->Find(std::string(1, c)));
  return build_fsa(labels, model.input_clusters.parts_to_label,
                   model.input_clusters.max_parts);
}

std::vector<ArcRow> rows_of(const WordLattice &lattice) {
  std::vector<ArcRow> rows;
  for (int s = 0; s < lattice.num_states(); ++s) {
    for (auto a = lattice.arc_begin[s]; a < lattice.arc_begin[s + 1]; ++a) {
      const WordLattice::Arc &arc = lattice.arcs[a];
      rows.emplace_back(s, arc.ilabel, arc.olabel, arc.weight, arc.next);
    }
  }
  return rows;
}

void expect_openfsts_lattice(const Model &model, const std::string &word) {
  SCOPED_TRACE(word);
  const fst::StdVectorFst acceptor = acceptor_for(model, word);
  auto ours = build_word_lattice(model, acceptor, {});
  auto theirs = build_lattice(acceptor, model.fst);
  ASSERT_TRUE(ours && theirs);
  ASSERT_EQ(ours->num_states(), theirs->NumStates());
  EXPECT_EQ(rows_of(*ours), test::arc_rows(*theirs));
  for (int s = 0; s < theirs->NumStates(); ++s) {
    EXPECT_EQ(ours->final_weight[s], theirs->Final(s).Value()) << s;
  }
}

class LatticeSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configure_openfst();
    ASSERT_TRUE(model_->search_plan.usable());
  }

  fst::StdVectorFst acceptor_for(const std::string &word) const {
    return tamsu::acceptor_for(*model_, word);
  }

  // Input: a 3, b 4, c 5, h 6, "c|h" 7. A backoff shape: 2 -> 1 -> 0,
  // with an epsilon arc that writes, equal weights, and dead ends.
  std::unique_ptr<Model> model_ = test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "E"}, 4,
      {{0, "a", "A", 1.0f, 1}, {0, "a", "B", 1.0f, 2}, {0, "b", "B", 0.5f, 0},
       {0, "c", "K", 1.0f, 1}, {0, "h", "H", 1.0f, 0}, {0, "c|h", "K", 0.5f, 2},
       {1, "b", "B", 0.25f, 2}, {1, "c", "K", 0.25f, 3},  // 3 is a dead end
       {1, "<eps>", "<eps>", 0.5f, 0}, {2, "a", "E", 0.0f, 2},
       {2, "<eps>", "E", -0.25f, 1}, {2, "<eps>", "<eps>", 0.5f, 0}},
      {{0, 0.5f}, {2, 0.0f}});
};

TEST_F(LatticeSearchTest, LatticeIsOpenFstsStateForState) {
  EXPECT_TRUE(model_->search_plan.root_reads.empty());  // Connect always runs
  for (const std::string word : {"a", "ab", "abc", "chab", "cab", "ach",
                                 "bbb", "c", "cc"}) {
    expect_openfsts_lattice(*model_, word);
  }
}

// Every state backs off to the final root 0, which reads a, b and c but
// not h: Connect is skipped only for words the root can read throughout.
TEST(LatticeSearchConnectTest, SkippedOnlyWhereItRemovesNothing) {
  configure_openfst();
  const auto model = test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "E"}, 3,
      {{0, "a", "A", 1.0f, 1}, {0, "b", "B", 0.5f, 0}, {0, "c", "K", 1.0f, 2},
       {1, "h", "H", 1.0f, 2}, {1, "c|h", "E", 0.5f, 2},
       {1, "<eps>", "<eps>", 0.5f, 0}, {2, "a", "E", 0.0f, 1},
       {2, "<eps>", "<eps>", 0.25f, 1}},
      {{0, 0.5f}});
  EXPECT_EQ(model->search_plan.root_reads,
            (std::vector<bool>{false, false, false, true, true, true}));
  for (const std::string word : {"a", "ab", "cab", "abc", "ach", "achb",
                                 "chab", "ah", "h"}) {
    expect_openfsts_lattice(*model, word);
  }
}

TEST_F(LatticeSearchTest, AcceptorEpsilonIsRefused) {
  fst::StdVectorFst acceptor = acceptor_for("ab");
  acceptor.AddArc(0, fst::StdArc(0, 0, 0.0f, 1));
  EXPECT_EQ(build_word_lattice(*model_, acceptor, {}).error(),
            LatticeRefusal::kAcceptorEpsilon);
}

TEST(LatticeSearchDistanceTest, DistancesAreOpenFstsNearTiesIncluded) {
  configure_openfst();
  // Two ways into state 1 whose costs differ by less than delta (1e-6):
  // OpenFst keeps the one its queue offers first, here the worse one.
  auto model = test::make_model(
      {"<eps>", "|", "_", "a"}, {"<eps>", "|", "_", "A", "B"}, 3,
      {{0, "a", "A", 1.0000005f, 1}, {0, "a", "B", 1.0f, 1},
       {1, "a", "A", 0.5f, 2}, {0, "a", "B", 1.4999998f, 2},
       {2, "<eps>", "<eps>", 0.25f, 0}, {1, "<eps>", "<eps>", 0.0f, 0}},
      {{0, 0.0f}, {2, 0.5f}});
  for (std::size_t length = 1; length <= 4; ++length) {
    const fst::StdVectorFst acceptor =
        build_fsa(LabelList(length, 3), model->input_clusters.parts_to_label,
                  model->input_clusters.max_parts);
    auto ours = build_word_lattice(*model, acceptor, {});
    auto theirs = build_lattice(acceptor, model->fst);
    ASSERT_TRUE(ours && theirs);
    std::vector<fst::StdArc::Weight> distance;
    fst::ShortestDistance(*theirs, &distance, false, 1e-6f);
    ASSERT_EQ(ours->distance.size(), distance.size());
    for (std::size_t s = 0; s < distance.size(); ++s) {
      EXPECT_EQ(ours->distance[s], distance[s].Value()) << length << " " << s;
    }
  }
}

// The load-time plan: which models fall back to OpenFst's route, and why.

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
  EXPECT_EQ(plan.cells.empty(), !plan.usable());
}

INSTANTIATE_TEST_SUITE_P(
    Models, SearchPlanRefusalTest,
    ::testing::Values(
        RefusalCase{"EpsilonSelfLoop", {{2, 0, 0, 1.0f, 2}}, 0.5f,
                    Refusal::kEpsilonCycle},
        RefusalCase{"EpsilonCycleThroughOutputs", {{0, 0, 4, 1.0f, 3}}, 0.5f,
                    Refusal::kEpsilonCycle},
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

TEST(SearchPlanTest, RootReadsOnlyWhenOneFinalStateEndsEveryBackoff) {
  EXPECT_EQ(plan_search(make_fst(kBackoff)).root_reads,
            (std::vector<bool>{false, false, false, true}));
  EXPECT_TRUE(plan_search(make_fst(kBackoff, kInf)).root_reads.empty());
  std::vector<Arc> two_roots = kBackoff;
  two_roots.erase(two_roots.begin() + 4);  // 1 no longer backs off to 0
  EXPECT_TRUE(plan_search(make_fst(two_roots)).root_reads.empty());
}

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

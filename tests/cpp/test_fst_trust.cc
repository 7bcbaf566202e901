// Tests for the checks on what OpenFst's reader takes on trust.
#include "model/fst_trust.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <fst/properties.h>

namespace tamsu {
namespace {

using fst::StdArc;
using fst::StdVectorFst;

// States 0..n-1, start 0, final n-1, with the given epsilon arcs.
StdVectorFst with_epsilons(int n,
                           const std::vector<std::tuple<int, int, float>> &arcs) {
  StdVectorFst f;
  for (int i = 0; i < n; ++i) f.AddState();
  f.SetStart(0);
  f.SetFinal(n - 1, 0.0f);
  f.AddArc(0, StdArc(3, 4, 1.0f, n - 1));
  for (const auto &[from, to, weight] : arcs) {
    f.AddArc(from, StdArc(0, 0, weight, to));
  }
  return f;
}

// `forked` adds two states joined by two epsilon arcs, so that the check
// cannot follow one epsilon arc per state and searches the general way.
std::optional<std::string> check(StdVectorFst f, bool forked = false) {
  if (forked) {
    const auto from = f.AddState();
    const auto to = f.AddState();
    f.AddArc(from, StdArc(0, 0, 1.0f, to));
    f.AddArc(from, StdArc(0, 0, 2.0f, to));
  }
  return make_fst_safe_to_decode(f, "m.fst");
}

class EpsilonCycles : public testing::TestWithParam<bool> {};

std::string through(int state) {
  return "m.fst: epsilon arcs form a cycle of negative weight through state " +
         std::to_string(state) + " (a search reaching it would never end)";
}

TEST(FstTrust, StoredPropertiesBecomeProvenOnes) {
  StdVectorFst f = with_epsilons(3, {{1, 2, 0.5f}, {2, 1, 0.5f}});
  f.SetProperties(fst::kAcyclic | fst::kNoEpsilons | fst::kAcceptor |
                      fst::kTopSorted,
                  fst::kTrinaryProperties);
  ASSERT_EQ(make_fst_safe_to_decode(f, "m.fst"), std::nullopt);
  EXPECT_EQ(f.Properties(fst::kFstProperties, false),
            fst::kExpanded | fst::kMutable | fst::kNotAcceptor);
  StdVectorFst acceptor;
  acceptor.AddState();
  acceptor.AddArc(0, StdArc(3, 3, 0.0f, 0));
  acceptor.SetProperties(fst::kNotAcceptor, fst::kTrinaryProperties);
  ASSERT_EQ(make_fst_safe_to_decode(acceptor, "m.fst"), std::nullopt);
  EXPECT_TRUE(acceptor.Properties(fst::kAcceptor, false));
}

TEST_P(EpsilonCycles, NameAStateOnTheNegativeCycleNotOnTheWayIn) {
  // 0 -> 1 -> 2 lead into the cycle 3 -> 4 -> 5 -> 3 of weight -0.5; the
  // cycle 6 <-> 7 weighs nothing.
  const auto found = check(with_epsilons(
      9, {{0, 1, -9.0f}, {1, 2, -9.0f}, {2, 3, 1.0f}, {3, 4, 1.0f},
          {4, 5, -2.0f}, {5, 3, 0.5f}, {6, 7, 0.25f}, {7, 6, -0.25f}}),
      GetParam());
  EXPECT_TRUE(found == through(3) || found == through(4) ||
              found == through(5))
      << found.value_or("nothing");
}

TEST_P(EpsilonCycles, AreFoundLongOrInfinite) {
  std::vector<std::tuple<int, int, float>> ring;
  for (int i = 0; i < 3000; ++i) ring.emplace_back(i, (i + 1) % 3000, 0.0f);
  EXPECT_EQ(check(with_epsilons(3001, ring), GetParam()), std::nullopt);
  std::get<2>(ring[1234]) = -1e-3f;
  const auto found = check(with_epsilons(3001, ring), GetParam());
  ASSERT_TRUE(found.has_value());
  EXPECT_NE(found->find("negative weight through state "), std::string::npos);

  const float minus_infinity = -std::numeric_limits<float>::infinity();
  EXPECT_EQ(check(with_epsilons(3, {{1, 1, minus_infinity}}), GetParam()),
            through(1));
  // Infinity is no arc at all: this is no cycle.
  const float infinity = std::numeric_limits<float>::infinity();
  EXPECT_EQ(check(with_epsilons(3, {{1, 2, -1.0f}, {2, 1, infinity}}),
                  GetParam()),
            std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(OneArcPerStateOrForked, EpsilonCycles,
                         testing::Bool());

TEST(FstTrust, RefusesCyclesTooEntangledToCheck) {
  std::vector<std::tuple<int, int, float>> ring;
  for (int i = 0; i < 20000; ++i) ring.emplace_back(i, (i + 1) % 20000, -1.0f);
  EXPECT_EQ(check(with_epsilons(20001, ring), /*forked=*/true),
            "m.fst: cycles of epsilon arcs too entangled to check for "
            "negative weight");
}

TEST(FstTrust, StoredErrorIsADefect) {
  StdVectorFst f = with_epsilons(2, {});
  f.SetProperties(fst::kError, fst::kError);
  EXPECT_EQ(check(f), "m.fst: the file marks the FST as failed (error "
                      "property set)");
}

}  // namespace
}  // namespace tamsu

// Tests for the checks on what OpenFst's reader takes on trust.
#include "model/fst_trust.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <fst/properties.h>

namespace tamsu {
namespace {

using fst::StdArc;
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

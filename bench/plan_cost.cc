// Times loading a model (load_model, which now includes the lattice
// search's plan) and the plan alone (plan_search), median of N runs.
//
//   ninja -C build bench/plan_cost
//   build/bench/plan_cost MODEL [REPS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "model/model.h"
#include "model/search_plan.h"

namespace {

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: plan_cost MODEL [REPS]\n");
    return 2;
  }
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  tamsu::configure_openfst();
  using Clock = std::chrono::steady_clock;
  std::vector<double> load_ms;
  std::vector<double> plan_ms;
  for (int i = 0; i < reps; ++i) {
    const auto begin = Clock::now();
    auto model = tamsu::load_model(argv[1], "");
    const auto loaded = Clock::now();
    if (!model) {
      std::fprintf(stderr, "%s\n", tamsu::describe(model.error()).c_str());
      return 1;
    }
    const tamsu::SearchPlan plan = tamsu::plan_search((*model)->fst);
    const auto planned = Clock::now();
    load_ms.push_back(
        std::chrono::duration<double, std::milli>(loaded - begin).count());
    plan_ms.push_back(
        std::chrono::duration<double, std::milli>(planned - loaded).count());
    if (i == 0) {
      std::printf("plan: %s\n", plan.usable()
                                    ? "lattice search"
                                    : tamsu::describe(plan.refusal));
    }
  }
  const double load = median(load_ms);
  const double plan = median(plan_ms);
  std::printf(
      "load_model (plan included): %.1f ms; plan_search: %.1f ms; load "
      "without the plan: %.1f ms; plan / load without it: %.1f%%\n",
      load, plan, load - plan, 100.0 * plan / (load - plan));
  return 0;
}

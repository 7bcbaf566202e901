// What loading a model costs against the bare work any decoder must do
// (the yardstick: OpenFst's reader, then the stable input-label sort), and what the lattice search's
// load-time plan costs within it; processor time, interleaved, median of
// REPS runs. With --memory, loads once and prints the resident set before,
// at its peak during the load, and after.
//
//   ninja -C build bench/load_cost
//   build/bench/load_cost MODEL [REPS]
//   build/bench/load_cost MODEL --memory
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fst/arcsort.h>
#include <fst/vector-fst.h>

#include "model/model.h"
#include "model/search_plan.h"

namespace {

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return 1e3 * static_cast<double>(now.tv_sec) + 1e-6 * static_cast<double>(now.tv_nsec);
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long status_kib(const char *field) {
  std::ifstream status("/proc/self/status");
  const std::string key = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  }
  return -1;
}

int memory(const char *path) {
  const long before = status_kib("VmRSS");
  auto model = tamsu::load_model(path, "");
  if (!model) return 1;
  const long peak = status_kib("VmHWM");
  const long after = status_kib("VmRSS");
  std::printf("resident KiB: before %ld, peak %ld, after %ld; the load's "
              "peak / its steady state: %.3f\n", before, peak, after,
              static_cast<double>(peak - before) / static_cast<double>(after - before));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: load_cost MODEL [REPS | --memory]\n");
    return 2;
  }
  tamsu::configure_openfst();
  if (argc > 2 && std::strcmp(argv[2], "--memory") == 0) return memory(argv[1]);
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<double> arcsort_ms, bare_ms, load_ms, plan_ms;
  for (int i = 0; i < reps; ++i) {
    double begin = cpu_ms();
    {
      std::unique_ptr<fst::StdVectorFst> bare(fst::StdVectorFst::Read(argv[1]));
      if (!bare) return 1;
      fst::ArcSort(bare.get(), fst::ILabelCompare<fst::StdArc>());
    }
    arcsort_ms.push_back(cpu_ms() - begin);
    begin = cpu_ms();
    {
      std::unique_ptr<fst::StdVectorFst> bare(fst::StdVectorFst::Read(argv[1]));
      if (!bare) return 1;
      tamsu::sort_arcs_by_input_label(*bare);
    }
    bare_ms.push_back(cpu_ms() - begin);
    begin = cpu_ms();
    auto model = tamsu::load_model(argv[1], "");
    load_ms.push_back(cpu_ms() - begin);
    if (!model) {
      std::fprintf(stderr, "%s\n", tamsu::describe(model.error()).c_str());
      return 1;
    }
    begin = cpu_ms();
    const tamsu::SearchPlan plan = tamsu::plan_search((*model)->fst);
    plan_ms.push_back(cpu_ms() - begin);
    if (i == 0) {
      std::printf("plan: %s\n", plan.usable() ? "lattice search"
                                              : tamsu::describe(plan.refusal));
    }
  }
  const double bare = median(bare_ms), load = median(load_ms), plan = median(plan_ms);
  std::printf("OpenFst's read + ArcSort: %.1f ms; its read + the stable sort "
              "(the yardstick): %.1f ms; load_model: %.1f ms (%.3fx the "
              "yardstick); plan_search within it: %.1f ms\n",
              median(arcsort_ms), bare, load, load / bare, plan);
  return 0;
}

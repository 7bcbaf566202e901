// The cost of the guards that route std::cerr for one call (decoding takes
// one CerrSilencer per word): nanoseconds of the thread's own CPU time per
// guard (a shared machine's load does not count), on one thread and on two
// at once, with no write inside the guard.
#include <time.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "diag/cerr_router.h"

namespace {

double thread_cpu_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 +
         static_cast<double>(now.tv_nsec);
}

double nanoseconds_per_guard(long count) {
  const double start = thread_cpu_nanoseconds();
  for (long i = 0; i < count; ++i) {
    const tamsu::CerrSilencer silence;
    asm volatile("" ::: "memory");  // keep the empty scope in the loop
  }
  return (thread_cpu_nanoseconds() - start) / static_cast<double>(count);
}

}  // namespace

int main() {
  tamsu::configure_openfst();
  constexpr long kCount = 20'000'000;
  nanoseconds_per_guard(kCount / 10);  // warm up
  std::printf("1 thread: %.2f ns per CerrSilencer\n",
              nanoseconds_per_guard(kCount));
  std::vector<double> results(2);
  std::vector<std::thread> threads;
  for (auto &result : results) {
    threads.emplace_back([&result] { result = nanoseconds_per_guard(kCount); });
  }
  for (auto &thread : threads) thread.join();
  std::printf("2 threads: %.2f and %.2f ns per CerrSilencer\n", results[0],
              results[1]);
}

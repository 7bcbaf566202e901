// The cost of the guards that route std::cerr for one call (decoding takes
// one CerrSilencer per word): nanoseconds per guard, on one thread and on
// several at once, with no write inside the guard.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "diag/cerr_router.h"

namespace {

double nanoseconds_per_guard(long count) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    const tamsu::CerrSilencer silence;
    asm volatile("" ::: "memory");  // keep the empty scope in the loop
  }
  const std::chrono::duration<double, std::nano> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(count);
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

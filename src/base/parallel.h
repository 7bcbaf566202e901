// Work shared among native threads: tasks taken by index from one counter,
// the calling thread being one of the workers and the only one that polls
// (for a signal, say), so that a caller holding a lock it must not give to
// the others keeps that role to itself.
#ifndef TAMSU_BASE_PARALLEL_H_
#define TAMSU_BASE_PARALLEL_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tamsu {

// How tasks are run: `threads` workers in all, the calling thread being one
// of them. `stop` (may be null), once set (by any thread), makes every
// worker take no further task. The calling thread runs `poll` (which may be empty) between
// its tasks and every kWaitSlice while it waits for the others; true sets
// `stop`.
struct ParallelRun {
  static constexpr std::chrono::milliseconds kWaitSlice{20};
  std::size_t threads = 1;
  std::atomic<bool> *stop = nullptr;
  std::function<bool()> poll;
};

// task(i, interrupted): `interrupted` says whether the run is stopping
// (on the calling thread it polls first), for a task that can give up
// early.
using ParallelTask =
    std::function<void(std::size_t, const std::function<bool()> &)>;

// Runs task(i, ...) for each i below `count` until all are done or `stop`
// is set, and returns when every worker has ended. An exception in any task
// (std::bad_alloc) stops the others and is rethrown here. A helper thread
// that cannot be started leaves its share to the others.
inline void run_parallel(std::size_t count, const ParallelRun &run,
                         const ParallelTask &task) {
  // Without a caller's flag the run still needs one to stop its workers
  // when a task throws.
  std::atomic<bool> own_stop{false};
  std::atomic<bool> &stop = run.stop ? *run.stop : own_stop;
  std::atomic<std::size_t> next{0};
  const auto work = [&](const std::function<bool()> &poll) {
    const std::function<bool()> interrupted = [&] {
      if (poll && poll()) stop.store(true, std::memory_order_relaxed);
      return stop.load(std::memory_order_relaxed);
    };
    while (!interrupted()) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      task(i, interrupted);
    }
  };
  const std::size_t helpers =
      std::min(std::max<std::size_t>(run.threads, 1),
               std::max<std::size_t>(count, 1)) - 1;
  if (helpers == 0) {
    // Alone: nothing to start, wait for or hand over (one word from a
    // per-word caller is a few tens of microseconds).
    try {
      work(run.poll);
    } catch (...) {
      stop.store(true);
      throw;
    }
    return;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t running = 0;
  const auto done = [&] {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
    }
    changed.notify_all();
  };
  std::vector<std::exception_ptr> failures(helpers);
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  const std::function<bool()> no_poll;
  for (std::size_t t = 0; t < helpers; ++t) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    try {
      threads.emplace_back([&, t] {
        try {
          work(no_poll);
        } catch (...) {  // out of memory: stop all, rethrown below
          failures[t] = std::current_exception();
          stop.store(true);
        }
        done();
      });
    } catch (const std::system_error &) {
      done();  // its share goes to the others
      break;
    }
  }
  std::exception_ptr failure;
  try {
    work(run.poll);
  } catch (...) {
    failure = std::current_exception();
    stop.store(true);
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!changed.wait_for(lock, ParallelRun::kWaitSlice,
                             [&] { return running == 0; })) {
      lock.unlock();
      if (run.poll && run.poll()) stop.store(true);
      lock.lock();
    }
  }
  for (std::thread &thread : threads) thread.join();
  for (const std::exception_ptr &helper : failures) {
    if (!failure) failure = helper;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tamsu

#endif  // TAMSU_BASE_PARALLEL_H_

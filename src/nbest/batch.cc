#include "nbest/batch.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "nbest/pipeline.h"

namespace tamsu {
namespace {

// Takes words by index from one shared counter until none is left or the
// batch is stopped, polling `poll` (may be empty) as it goes.
void decode_share(const Model &model, const std::vector<std::string> &words,
                  DecodeOptions options, std::atomic<std::size_t> &next,
                  std::atomic<bool> &stop, const std::function<bool()> &poll,
                  std::vector<WordResult> &results) {
  options.write_fsts = false;
  options.interrupted = [&stop, &poll] {
    if (poll && poll()) stop.store(true, std::memory_order_relaxed);
    return stop.load(std::memory_order_relaxed);
  };
  while (!options.interrupted()) {
    const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= words.size()) return;
    DecodeReport report;
    WordResult &result = results[i];
    result.paths = phoneticize_word(model, words[i], options, &report);
    result.failure = report.failure;
  }
}

// Counts the helper threads still running, and wakes the waiter.
class Running {
 public:
  void add() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
  }
  void done() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --count_;
    }
    changed_.notify_all();
  }
  // Waits until none runs, calling `poll` every slice meanwhile.
  void wait(const std::function<bool()> &poll, std::atomic<bool> &stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, BatchRun::kWaitSlice,
                              [this] { return count_ == 0; })) {
      lock.unlock();
      if (poll && poll()) stop.store(true, std::memory_order_relaxed);
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t count_ = 0;
};

}  // namespace

std::vector<WordResult> phoneticize_words(const Model &model,
                                          const std::vector<std::string> &words,
                                          const DecodeOptions &options,
                                          const BatchRun &run) {
  std::vector<WordResult> results(words.size());
  std::atomic<bool> &stop = *run.stop;
  std::atomic<std::size_t> next{0};
  const std::function<bool()> no_poll;
  const std::size_t helpers =
      std::min(std::max<std::size_t>(run.threads, 1),
               std::max<std::size_t>(words.size(), 1)) - 1;
  Running running;
  std::vector<std::exception_ptr> failures(helpers);
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (std::size_t t = 0; t < helpers; ++t) {
    running.add();
    try {
      threads.emplace_back([&, t] {
        try {
          decode_share(model, words, options, next, stop, no_poll, results);
        } catch (...) {  // out of memory: stop all, rethrown below
          failures[t] = std::current_exception();
          stop.store(true);
        }
        running.done();
      });
    } catch (const std::system_error &) {
      running.done();  // its share goes to the others
      break;
    }
  }
  std::exception_ptr failure;
  try {
    decode_share(model, words, options, next, stop, run.poll, results);
  } catch (...) {
    failure = std::current_exception();
    stop.store(true);
  }
  running.wait(run.poll, stop);
  for (std::thread &thread : threads) thread.join();
  for (const std::exception_ptr &helper : failures) {
    if (!failure) failure = helper;
  }
  if (failure) std::rethrow_exception(failure);
  return results;
}

}  // namespace tamsu

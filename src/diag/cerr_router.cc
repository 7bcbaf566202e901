#include "diag/cerr_router.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <new>
#include <streambuf>

#include <fst/util.h>

// The name of OpenFst's error-fatal flag, chosen by the build: FLAGS_ before
// 1.8.1, FST_FLAGS_ since.
#ifndef TAMSU_FST_ERROR_FATAL
#define TAMSU_FST_ERROR_FATAL FLAGS_fst_error_fatal
#endif

namespace tamsu {
namespace diag_internal {

// Each extension module links its own copy of this unit, with its own
// thread-local destination. The first module installs its router; later
// ones find it on std::cerr (RTTI compares this class by name across
// shared objects) and set destinations through its virtual exchange(), so
// that every thread has exactly one destination, kept by the installer.
// Named (not anonymous) for that reason.
class CerrRouter : public std::streambuf {
 public:
  explicit CerrRouter(std::streambuf *target) : target_(target) {}
  CerrRouter(const CerrRouter &) = delete;
  CerrRouter &operator=(const CerrRouter &) = delete;

  virtual CerrDestination exchange(CerrDestination destination);

 protected:
  // No put area: every write arrives here, so the buffer holds no state
  // that threads share except the target, behind its mutex.
  std::streamsize xsputn(const char *data, std::streamsize count) override;
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  std::streambuf *const target_;  // std::cerr's buffer before installation
  std::mutex target_mutex_;
};

namespace {

thread_local CerrDestination this_thread_destination;

// Set once, inside call_once; read by every guard without taking its lock.
std::atomic<CerrRouter *> installed_router{nullptr};
std::once_flag configured;

void configure_once() {
  TAMSU_FST_ERROR_FATAL = false;
  std::streambuf *current = std::cerr.rdbuf();
  if (auto *router = dynamic_cast<CerrRouter *>(current)) {
    installed_router.store(router, std::memory_order_release);
    return;
  }
  // Never deleted: std::cerr is flushed during exit, after static objects
  // are destroyed, and must not point at a destroyed buffer then.
  auto *router = new CerrRouter(current);
  std::cerr.rdbuf(router);
  installed_router.store(router, std::memory_order_release);
}

}  // namespace

CerrDestination CerrRouter::exchange(CerrDestination destination) {
  const CerrDestination previous = this_thread_destination;
  this_thread_destination = destination;
  return previous;
}

// Always reports the whole write as done: a short count would set badbit on
// std::cerr, which is process-wide and would silence every later capture.
std::streamsize CerrRouter::xsputn(const char *data, std::streamsize count) {
  const CerrDestination &destination = this_thread_destination;
  switch (destination.route) {
    case CerrRoute::kDiscard:
      break;
    case CerrRoute::kCapture:
      try {
        destination.text->append(data, static_cast<std::size_t>(count));
      } catch (const std::bad_alloc &) {
        // A message lost for want of memory beats a stream left bad.
      }
      break;
    case CerrRoute::kPassThrough: {
      if (target_ == nullptr) break;  // std::cerr had no buffer
      const std::lock_guard<std::mutex> lock(target_mutex_);
      target_->sputn(data, count);
      break;
    }
  }
  return count;
}

CerrRouter::int_type CerrRouter::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const char character = traits_type::to_char_type(c);
    xsputn(&character, 1);
  }
  return traits_type::not_eof(c);
}

int CerrRouter::sync() {
  if (this_thread_destination.route == CerrRoute::kPassThrough && target_) {
    const std::lock_guard<std::mutex> lock(target_mutex_);
    target_->pubsync();
  }
  return 0;
}

}  // namespace diag_internal

void configure_openfst() {
  std::call_once(diag_internal::configured, diag_internal::configure_once);
}

CerrDestination route_cerr_of_this_thread(CerrDestination destination) {
  // The per-call path: one atomic load once installed (call_once itself
  // costs a library call).
  auto *router =
      diag_internal::installed_router.load(std::memory_order_acquire);
  if (router == nullptr) {
    configure_openfst();
    router = diag_internal::installed_router.load(std::memory_order_acquire);
  }
  return router->exchange(destination);
}

}  // namespace tamsu

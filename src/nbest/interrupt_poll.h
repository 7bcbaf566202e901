// The poll of the caller's interrupt check, shared by the stages of both
// decoding routes: cheap enough to tick per unit of work.
#ifndef TAMSU_NBEST_INTERRUPT_POLL_H_
#define TAMSU_NBEST_INTERRUPT_POLL_H_

#include <cstdint>
#include <functional>

namespace tamsu {

// Calls `interrupted` (may be empty) once every kInterval units of work.
class InterruptPoll {
 public:
  static constexpr std::uint64_t kInterval = 1 << 14;

  explicit InterruptPoll(const std::function<bool()> &interrupted)
      : interrupted_(interrupted) {}
  // Counts `work` units; true when the check asked to stop.
  bool tick(std::uint64_t work = 1) {
    ticks_ += work;
    if (ticks_ < kInterval) return false;
    ticks_ = 0;
    return interrupted_ && interrupted_();
  }

 private:
  const std::function<bool()> &interrupted_;
  std::uint64_t ticks_ = 0;
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_INTERRUPT_POLL_H_

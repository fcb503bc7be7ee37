/*
 * A point in time after which a wait gives up. Every wait on a peer in the
 * library runs against one, so a frame's header and body share one budget
 * instead of each getting a fresh timeout.
 */
#ifndef LIBTARVO_DEADLINE_H
#define LIBTARVO_DEADLINE_H

#include <chrono>

namespace libtarvo {

class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(int timeout_ms)
        : end_(Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms)) {}

    /// Milliseconds left, rounded up so a wait never ends a little early; 0 once passed.
    int remaining_ms() const {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool expired() const { return Clock::now() >= end_; }

  private:
    Clock::time_point end_;
};

}  // namespace libtarvo

#endif

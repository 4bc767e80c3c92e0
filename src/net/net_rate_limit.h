// A budget of bytes per second that any number of connections share, on any thread: each
// write asks how much it may hand to its socket now, and afterwards charges what did go
// to the socket (over TLS more than was asked: the records' own bytes).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace qb {

class TNetRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  // `bytesPerSecond` above 0.
  explicit TNetRateLimit(std::uint64_t bytesPerSecond);
  TNetRateLimit(const TNetRateLimit&) = delete;
  TNetRateLimit& operator=(const TNetRateLimit&) = delete;

  std::uint64_t BytesPerSecond() const { return rate_; }

  // How many of `wanted` bytes may be written now; 0, with how long to wait, when the
  // budget is spent. A budget that has just refilled allows a piece of some size, not a
  // byte at a time.
  std::size_t Grant(std::size_t wanted, Clock::duration& wait);
  // Takes `bytes` that went to a socket from the budget, which may go below zero: the next
  // grants then wait until the run is back within its rate.
  void Charge(std::uint64_t bytes);

 private:
  void Refill(Clock::time_point now);

  const std::uint64_t rate_;
  // The most the budget holds: what may leave at once after a pause (a sixteenth of a
  // second of the rate, within bounds), and half of it the least a wait waits for.
  const double capacity_;
  std::mutex lock_;
  double budget_;
  bool waiting_ = false;  // a grant was refused and none given since
  Clock::time_point refilled_;
};

}  // namespace qb

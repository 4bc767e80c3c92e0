// Implementation details: a token bucket. The budget grows with the time that passes, at
// the rate, up to its capacity, and every byte handed to a socket takes one from it.
// Grants do not take anything: several connections may be granted the same budget at
// once, and the charges that follow leave it below zero, which the next grants wait out;
// so over any few seconds the run stays within its rate, whatever its connections do.
// While a write waits for the budget, the budget may grow past the capacity, up to a
// quarter of a second of the rate: a wait that the system ends late (a busy machine) is
// made up by the next grants, where a capped budget would lose that time for good. Only
// an idle budget is capped, so that the first write after a pause is no burst.
#include "net/net_rate_limit.h"

#include <algorithm>
#include <cmath>

namespace qb {
namespace {

constexpr double kLeastCapacity = 1024;
// About a socket buffer: the most that may leave at once, whatever the rate.
constexpr double kMostCapacity = 256 << 10;

}  // namespace

TNetRateLimit::TNetRateLimit(std::uint64_t bytesPerSecond)
    : rate_(std::max<std::uint64_t>(bytesPerSecond, 1)),
      capacity_(std::clamp(static_cast<double>(rate_) / 16, kLeastCapacity, kMostCapacity)),
      budget_(capacity_),
      refilled_(Clock::now()) {}

void TNetRateLimit::Refill(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  const double most = waiting_ ? std::max(capacity_, static_cast<double>(rate_) / 4) : capacity_;
  if (seconds > 0 && budget_ < most) budget_ = std::min(most, budget_ + seconds * static_cast<double>(rate_));
}

std::size_t TNetRateLimit::Grant(std::size_t wanted, Clock::duration& wait) {
  const std::lock_guard<std::mutex> guard(lock_);
  Refill(Clock::now());
  const double least = std::min(static_cast<double>(wanted), capacity_ / 2);
  if (budget_ >= least && budget_ >= 1) {
    wait = Clock::duration::zero();
    waiting_ = false;
    return static_cast<std::size_t>(std::min(static_cast<double>(wanted), std::floor(budget_)));
  }
  waiting_ = true;
  const double seconds = (std::max(least, 1.0) - budget_) / static_cast<double>(rate_);
  wait = std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
  return 0;
}

void TNetRateLimit::Charge(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> guard(lock_);
  Refill(Clock::now());
  budget_ -= static_cast<double>(bytes);
}

}  // namespace qb

// The lowest of the last N values, in constant amortised time per value: the
// noise-floor tracker of the audio conditioning (host/conditioning.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix::host {

class SlidingMinimum {
 public:
  // A window of `window` values (at least 1; 0 is taken as 1).
  explicit SlidingMinimum(std::size_t window);

  // Adds a value and returns the minimum of the last `window` values added
  // (of all so far while fewer have been added).
  double push(double value);

  std::size_t window() const noexcept { return window_; }

 private:
  struct Entry {
    std::uint64_t index;
    double value;
  };
  // A ring of candidates, oldest first, values strictly increasing: a value
  // that a newer, lower one outlasts can never be the minimum again.
  std::size_t window_;
  std::vector<Entry> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint64_t next_ = 0;
};

}  // namespace vornix::host

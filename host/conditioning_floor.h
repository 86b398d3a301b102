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

namespace vornix::host {

// A low quantile of the last N values, read from a histogram of fixed bins:
// constant time per value (the bins are few), the same result on every
// machine. The conditioner's measure of how far noise spreads above its
// floor (host/conditioning.h).
class SlidingQuantile {
 public:
  // The `quantile` (0..1) of the last `window` values (at least 1; 0 is
  // taken as 1). Values are counted in bins of `binWidth` from `low` up to
  // low + `bins` × binWidth; lower values fall in the first bin, higher
  // ones in the last.
  SlidingQuantile(std::size_t window, double quantile, double low, double binWidth,
                  std::size_t bins);

  // Adds a value and returns the quantile of the last `window` values (of
  // all so far while fewer have been added): the lower edge of the bin in
  // which it falls.
  double push(double value);

 private:
  std::size_t window_;
  double quantile_;
  double low_;
  double binWidth_;
  std::vector<std::uint32_t> counts_;  // per bin, the values within the window
  std::vector<std::uint16_t> ring_;    // the window's values' bins, oldest first
  std::size_t next_ = 0;               // where the next value's bin goes
  std::size_t size_ = 0;
};

}  // namespace vornix::host

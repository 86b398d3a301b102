#include "host/conditioning_floor.h"

#include <algorithm>
#include <cmath>

namespace vornix::host {

SlidingMinimum::SlidingMinimum(std::size_t window)
    : window_(std::max<std::size_t>(window, 1)), ring_(window_) {}

double SlidingMinimum::push(double value) {
  // At most one candidate leaves the window per value added.
  if (size_ > 0 && ring_[head_].index + window_ <= next_) {
    head_ = (head_ + 1) % window_;
    --size_;
  }
  while (size_ > 0) {
    const std::size_t last = (head_ + size_ - 1) % window_;
    if (ring_[last].value < value) break;
    --size_;
  }
  // Every candidate lies within the window, so the ring never holds more
  // than `window_` of them.
  ring_[(head_ + size_) % window_] = Entry{next_, value};
  ++size_;
  ++next_;
  return ring_[head_].value;
}

}  // namespace vornix::host

namespace vornix::host {

SlidingQuantile::SlidingQuantile(std::size_t window, double quantile, double low, double binWidth,
                                 std::size_t bins)
    : window_(std::max<std::size_t>(window, 1)),
      quantile_(std::clamp(quantile, 0.0, 1.0)),
      low_(low),
      binWidth_(binWidth > 0.0 ? binWidth : 1.0),
      counts_(std::clamp<std::size_t>(bins, 1, 65'535), 0),
      ring_(window_, 0) {}

double SlidingQuantile::push(double value) {
  const double scaled = std::floor((value - low_) / binWidth_);
  const auto last = static_cast<double>(counts_.size() - 1);
  const auto bin = static_cast<std::uint16_t>(std::clamp(scaled, 0.0, last));
  if (size_ == window_) {
    --counts_[ring_[next_]];
  } else {
    ++size_;
  }
  ring_[next_] = bin;
  ++counts_[bin];
  next_ = (next_ + 1) % window_;
  // The smallest bin below which (and in which) at least the quantile's
  // share of the values lies.
  const auto wanted = static_cast<std::uint64_t>(std::ceil(quantile_ * static_cast<double>(size_)));
  std::uint64_t seen = 0;
  for (std::size_t b = 0; b < counts_.size(); ++b) {
    seen += counts_[b];
    if (seen >= std::max<std::uint64_t>(wanted, 1)) {
      return low_ + static_cast<double>(b) * binWidth_;
    }
  }
  return low_ + last * binWidth_;
}

}  // namespace vornix::host

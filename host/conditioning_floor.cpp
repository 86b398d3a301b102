#include "host/conditioning_floor.h"

#include <algorithm>

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

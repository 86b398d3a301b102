// The most frequent extremum distance of one wavelet level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornix {

// Finds the mode of a sequence of extremum distances (in samples of one
// wavelet level) and refines it to the mean of the distances near it.
//
// The rule, for the distances taken in order (index v = 0, 1, ...):
//   support(v) = number of distances d with |d - distances[v]| <= tolerance
//                (v's own included);
//   v is a candidate when support(v) >= best and
//                support(v) > floor(levelLength / distances[v]) * 0.25;
//   a candidate with support above best becomes the mode (best = support);
//   a candidate with support equal to best replaces the mode only when it lies
//   strictly between 1.95 and 2.05 times the current mode.
// best starts at 1 and the mode at none, so a distance seen only once (with no
// other distance within the tolerance) is never the mode. A distance of 0 is
// never a candidate. The found mode is then replaced by the mean of all
// distances within the tolerance of it.
//
// The support of every index is counted from a prefix-sum table over the
// distance values rather than by comparing all pairs, so a call costs
// O(m + largest distance) instead of O(m^2); the result is identical to the
// pairwise count because distances are whole numbers and the mean is summed
// exactly (in 64-bit integers, exact in double below 2^53).
//
// Not thread-safe: the object owns a scratch table that find() overwrites.
class DistanceMode {
 public:
  // Reserves the scratch table for distances up to `largestDistance`, so that
  // find() allocates nothing while its distances stay within that bound. A
  // larger distance still works; the table then grows (std::bad_alloc on
  // failure).
  explicit DistanceMode(std::size_t largestDistance);

  // The refined mode distance of `distances`, or 0.0 when no distance has
  // enough support. `levelLength` is the number of values of the level the
  // distances were measured on.
  double find(std::span<const std::uint32_t> distances, std::uint32_t tolerance,
              std::uint32_t levelLength);

 private:
  // Number of distances in [center - tolerance, center + tolerance], from the
  // table that find() built.
  std::size_t countWithin(std::uint32_t center, std::uint32_t tolerance) const noexcept;

  // atMost_[x + 1] = number of distances <= x; atMost_[0] = 0.
  std::vector<std::size_t> atMost_;
  std::uint32_t largest_ = 0;
};

}  // namespace vornix

// How much of one microphone's frame is another microphone's signal arriving
// late: the cross-correlation test of the audio conditioning's crosstalk
// rejection (host/conditioning.h).
//
// A close-talk microphone hears the other speaker as a delayed, scaled copy
// of what that speaker's own microphone records. A frame that holds nothing
// but that pick-up is almost wholly explained by the other channel at one lag;
// a frame that also holds this microphone's own speaker is not, however loud
// the other is. The delay is learned from frames that the levels already show
// to be pick-up alone, and so is how much of such a frame a copy leaves
// unexplained (reverberation and noise leave more): a frame counts as having
// a voice of its own only when it leaves clearly more than that.
//
// Thread safety: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornix::host {

class PickupDelay {
 public:
  // Frames of pick-up alone from which the delay is learned.
  static constexpr std::size_t kLearningFrames = 16;
  // Frames of pick-up alone whose unexplained part is averaged (in dB) before
  // a frame is judged against it; later ones keep following it with this
  // time constant.
  static constexpr std::size_t kResidualFrames = 16;
  static constexpr std::size_t kResidualTimeConstant = 64;
  // 10 log10 of the unexplained fraction of a frame of all zeros, and the
  // lowest value ever reported.
  static constexpr double kFloorDb = -120.0;

  // Delays from 0 to `maxLag` samples (the other channel arriving late).
  explicit PickupDelay(std::size_t maxLag);

  // The number of samples of the other channel, `other` below, needed ahead
  // of a frame: the last samples of the frames before it.
  std::size_t history() const noexcept { return maxLag_ + 1; }

  // `self` is this channel's frame; `other` holds history() samples of the
  // other channel before the same frame and then that frame, so other[i +
  // history()] is aligned with self[i]. Both are the samples as recorded.

  // Takes the frame as pick-up alone: adds it to the delay's estimate while
  // that is learned, then to the unexplained part typical of pick-up.
  void learn(std::span<const std::int16_t> self, std::span<const std::int16_t> other);
  // Adds a frame of pick-up alone by its unexplainedDb(), once the delay is
  // known (learn() would measure it again).
  void learnResidual(double unexplainedDb) noexcept;

  // Adds how far the part a frame of pick-up alone leaves unexplained stands
  // over the channel's noise floor, in dB (its level + unexplainedDb() -
  // floor). Where noise fills the frame, that part is the noise, and this
  // stays within a few dB; where the pick-up is smeared over many lags
  // (reflections), it is the pick-up's own, and stands far above.
  void learnExcess(double excessDb) noexcept;
  // True once kResidualFrames frames have given their excess.
  bool excessKnown() const noexcept { return excessFrames_ >= kResidualFrames; }
  // Mean (dB) of those excesses; meaningful once excessKnown().
  double pickupExcessDb() const noexcept { return excessDb_; }
  // Mean absolute deviation (dB) of those excesses from their mean.
  double pickupExcessDeviationDb() const noexcept { return excessDeviationDb_; }

  // True once the delay and the pick-up's unexplained part are known.
  bool ready() const noexcept { return lagKnown_ && residualFrames_ >= kResidualFrames; }
  std::size_t lag() const noexcept { return lag_; }
  // Mean (dB) of the unexplained part of pick-up frames; kFloorDb until ready().
  double pickupResidualDb() const noexcept { return residualDb_; }

  // 10 log10 of the part of self's energy (about zero) that the best scaled
  // copy of `other` at the learned delay, or one sample either side, leaves
  // unexplained: 0 dB for a frame unrelated to the other, far below for a
  // copy. Precondition: the delay is known.
  double unexplainedDb(std::span<const std::int16_t> self,
                       std::span<const std::int16_t> other) const noexcept;

 private:
  // Normalised correlation of self with other delayed by `lag`; 0 when
  // either is all zeros.
  double correlation(std::span<const std::int16_t> self, std::span<const std::int16_t> other,
                     std::size_t lag) const noexcept;

  std::size_t maxLag_;
  std::vector<double> sums_;  // per lag, the correlations of the learning frames
  std::size_t learned_ = 0;
  bool lagKnown_ = false;
  std::size_t lag_ = 0;
  std::size_t residualFrames_ = 0;
  double residualDb_ = kFloorDb;
  std::size_t excessFrames_ = 0;
  double excessDb_ = 0.0;
  double excessDeviationDb_ = 0.0;
};

}  // namespace vornix::host

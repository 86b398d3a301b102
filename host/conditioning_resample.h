// Upsampling of conditioned frames, so that the speech components analyse a
// low-rate recording at a rate their pitch tracker resolves voices at.
//
// The tracker works on five halvings of a frame; at 16 kHz and below the
// deeper levels hold a voice's period in too few samples, and it reports no
// pitch in many more voiced frames than at 44.1 kHz (docs/conditioning.md).
// Upsampling by a whole factor keeps every frame's time span: frame k of
// B samples at rate r becomes frame k of B·f samples at r·f, so frame times,
// and with them event times, stay as they were.
//
// Thread safety: a FrameUpsampler is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vornix::host {

// The whole factor by which frames of `rate` Hz are upsampled so that the
// components are fed at least `minimumRate` Hz: the smallest f with
// rate·f >= minimumRate, and 1 when `rate` reaches it already, when
// `minimumRate` is 0, or when this build has no resampler.
std::uint32_t upsamplingFactor(std::uint32_t rate, std::uint32_t minimumRate) noexcept;

class FrameUpsampler {
 public:
  // True when this build has the resampler (not in builds without the
  // library; upsamplingFactor is then always 1).
  static bool available() noexcept;

  // Steps the resampler is given at once by default: its per-call work is
  // paid once per eight frames (about 190 ms of a recording), and the drive
  // that feeds it reads that far ahead.
  static constexpr std::uint32_t kBatchSteps = 8;

  // `channels` channels (at least 1) of `rate` Hz in frames of `bufferSize`
  // samples (at least 1), fed out at rate·`factor` (factor at least 2) in
  // frames of bufferSize·factor samples. The resampler is run on every
  // `batchSteps` (at least 1) steps pushed; the output samples are the same
  // whatever the batch. Throws std::invalid_argument on a bad argument and
  // std::runtime_error when the resampler cannot be made (or the build has
  // none).
  FrameUpsampler(std::size_t channels, std::uint32_t rate, std::uint32_t factor,
                 std::uint32_t bufferSize, std::uint32_t batchSteps = kBatchSteps);
  ~FrameUpsampler();
  FrameUpsampler(const FrameUpsampler&) = delete;
  FrameUpsampler& operator=(const FrameUpsampler&) = delete;

  // Takes the next step's frames, one per channel of bufferSize samples.
  // Throws std::invalid_argument when the channel count or a size is wrong.
  void push(std::span<const std::span<std::int16_t>> frames);
  // True when the next output step is complete. Steps are resampled a batch
  // at a time and the resampler's filter looks a little ahead, so output
  // step k is complete only once the batch holding input step k has been
  // pushed whole, and for the last steps of a batch, the next batch too.
  bool ready() const noexcept;
  // Writes the next output step (bufferSize·factor samples per channel),
  // time-aligned with input step k of the same number: its sample j is the
  // signal at input sample j / factor. Rounded to the nearest integer and
  // held to the 16-bit range. Precondition: ready().
  void pop(std::span<const std::span<std::int16_t>> out);

  std::uint32_t factor() const noexcept { return factor_; }
  std::uint32_t outputFrame() const noexcept { return bufferSize_ * factor_; }

 private:
  struct Channel;
  // Runs the resampler on the steps batched so far.
  void resampleBatch();

  std::uint32_t factor_;
  std::uint32_t bufferSize_;
  std::uint32_t batchSteps_;
  std::uint32_t batched_ = 0;  // steps pushed and not yet resampled
  std::vector<std::unique_ptr<Channel>> channels_;
};

}  // namespace vornix::host

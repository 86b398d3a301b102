// Builds without the resampling library: recordings are analysed at their
// own rate, with or without conditioning.
#include <stdexcept>

#include "host/conditioning_resample.h"

namespace vornix::host {

struct FrameUpsampler::Channel {};

bool FrameUpsampler::available() noexcept {
  return false;
}

std::uint32_t upsamplingFactor(std::uint32_t /*rate*/, std::uint32_t /*minimumRate*/) noexcept {
  return 1;
}

FrameUpsampler::FrameUpsampler(std::size_t /*channels*/, std::uint32_t /*rate*/,
                               std::uint32_t factor, std::uint32_t bufferSize,
                               std::uint32_t batchSteps)
    : factor_(factor), bufferSize_(bufferSize), batchSteps_(batchSteps) {
  throw std::runtime_error("FrameUpsampler: this build has no resampler");
}

FrameUpsampler::~FrameUpsampler() = default;

void FrameUpsampler::push(std::span<const std::span<std::int16_t>> /*frames*/) {
  if (++batched_ == batchSteps_) resampleBatch();
}

bool FrameUpsampler::ready() const noexcept {
  return false;
}

void FrameUpsampler::pop(std::span<const std::span<std::int16_t>> /*out*/) {}

void FrameUpsampler::resampleBatch() {
  batched_ = 0;
}

}  // namespace vornix::host

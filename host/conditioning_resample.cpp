#include "host/conditioning_resample.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornix::host {

namespace {

struct SoxrDeleter {
  void operator()(soxr* s) const noexcept { soxr_delete(s); }
};
using SoxrHandle = std::unique_ptr<soxr, SoxrDeleter>;

// Four samples side by side (GCC's vector extension: SSE2 on x86-64).
using Floats = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));
using Shorts = std::int16_t __attribute__((vector_size(8)));

// A sample of the resampler's output as a 16-bit sample: held to the 16-bit
// range, then rounded to the nearest integer (half to even) by adding and
// taking away 1.5 * 2^23 in the default rounding mode, which leaves a value
// the conversion takes exactly.
std::int16_t rounded(float v) noexcept {
  v = v < -32768.0F ? -32768.0F : v;
  v = v > 32767.0F ? 32767.0F : v;
  v = (v + 12582912.0F) - 12582912.0F;
  return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

}  // namespace

// One channel's resampler, the steps batched for it and the output it has
// given that no step has taken yet.
struct FrameUpsampler::Channel {
  SoxrHandle soxr;
  std::vector<float> input;    // the batch's samples as float
  std::vector<float> pending;  // output not yet popped: [start, end)
  std::size_t start = 0;
  std::size_t end = 0;
};

bool FrameUpsampler::available() noexcept {
  return true;
}

std::uint32_t upsamplingFactor(std::uint32_t rate, std::uint32_t minimumRate) noexcept {
  if (rate == 0 || minimumRate <= rate) return 1;
  return (minimumRate + rate - 1U) / rate;
}

FrameUpsampler::FrameUpsampler(std::size_t channels, std::uint32_t rate, std::uint32_t factor,
                               std::uint32_t bufferSize, std::uint32_t batchSteps)
    : factor_(factor), bufferSize_(bufferSize), batchSteps_(batchSteps) {
  if (channels == 0 || rate == 0 || factor < 2 || bufferSize == 0 || batchSteps == 0) {
    throw std::invalid_argument(
        "FrameUpsampler: needs a channel, a rate, a factor of 2 or more, "
        "a frame of at least one sample and a batch of at least one step");
  }
  // Float samples in and out (rounded here, so no dither and the same
  // integers on every run), the library's quality for 16-bit output, since
  // the components get 16-bit samples: its filter is shorter than that of
  // the 20-bit high quality, and the pitch found is the same
  // (docs/conditioning.md). One thread.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_16_BITQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  for (std::size_t c = 0; c < channels; ++c) {
    soxr_error_t error = nullptr;
    SoxrHandle handle(soxr_create(static_cast<double>(rate),
                                  static_cast<double>(rate) * static_cast<double>(factor), 1,
                                  &error, &io, &quality, &runtime));
    if (error != nullptr || !handle) {
      throw std::runtime_error(std::string("FrameUpsampler: ") +
                               (error != nullptr ? error : "cannot make the resampler"));
    }
    auto channel = std::make_unique<Channel>();
    channel->soxr = std::move(handle);
    channel->input.resize(std::size_t{bufferSize} * batchSteps);
    channels_.push_back(std::move(channel));
  }
}

FrameUpsampler::~FrameUpsampler() = default;

void FrameUpsampler::push(std::span<const std::span<std::int16_t>> frames) {
  if (frames.size() != channels_.size()) {
    throw std::invalid_argument("FrameUpsampler::push: wrong channel count");
  }
  for (const std::span<std::int16_t> frame : frames) {
    if (frame.size() != bufferSize_) {
      throw std::invalid_argument("FrameUpsampler::push: wrong frame size");
    }
  }
  const std::size_t at = std::size_t{batched_} * bufferSize_;
  for (std::size_t c = 0; c < frames.size(); ++c) {
    std::transform(frames[c].begin(), frames[c].end(),
                   channels_[c]->input.begin() + static_cast<std::ptrdiff_t>(at),
                   [](std::int16_t s) { return static_cast<float>(s); });
  }
  if (++batched_ == batchSteps_) resampleBatch();
}

void FrameUpsampler::resampleBatch() {
  const std::size_t samples = std::size_t{batched_} * bufferSize_;
  batched_ = 0;
  for (const std::unique_ptr<Channel>& owned : channels_) {
    Channel& channel = *owned;
    // What earlier batches left moves to the front; the buffer grows only
    // while the resampler holds back more than it did before.
    std::copy(channel.pending.begin() + static_cast<std::ptrdiff_t>(channel.start),
              channel.pending.begin() + static_cast<std::ptrdiff_t>(channel.end),
              channel.pending.begin());
    channel.end -= channel.start;
    channel.start = 0;
    const std::size_t room = samples * factor_ * 2U + 64U;
    std::size_t offered = 0;
    while (offered < samples) {
      if (channel.pending.size() < channel.end + room) channel.pending.resize(channel.end + room);
      std::size_t taken = 0;
      std::size_t made = 0;
      const soxr_error_t error =
          soxr_process(channel.soxr.get(), channel.input.data() + offered, samples - offered,
                       &taken, channel.pending.data() + channel.end, room, &made);
      if (error != nullptr) throw std::runtime_error(std::string("FrameUpsampler: ") + error);
      channel.end += made;
      offered += taken;
      if (taken == 0 && made == 0) break;
    }
  }
}

bool FrameUpsampler::ready() const noexcept {
  const std::size_t need = std::size_t{bufferSize_} * factor_;
  return std::all_of(channels_.begin(), channels_.end(),
                     [need](const auto& channel) { return channel->end - channel->start >= need; });
}

void FrameUpsampler::pop(std::span<const std::span<std::int16_t>> out) {
  const std::size_t need = std::size_t{bufferSize_} * factor_;
  for (std::size_t c = 0; c < channels_.size() && c < out.size(); ++c) {
    Channel& channel = *channels_[c];
    const float* from = channel.pending.data() + channel.start;
    std::int16_t* to = out[c].data();
    const std::size_t n = std::min(need, out[c].size());
    std::size_t i = 0;
#if defined(__SSE2__)
    // Eight at a time: held to the range, then converted in the default
    // rounding mode (to the nearest, half to even), as below.
    const __m128 lowest = _mm_set1_ps(-32768.0F);
    const __m128 highest = _mm_set1_ps(32767.0F);
    for (; i + 8 <= n; i += 8) {
      const __m128 a = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(from + i), lowest), highest);
      const __m128 b = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(from + i + 4), lowest), highest);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i),
                       _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b)));
    }
#endif
    // Four at a time, the same operations as one at a time below.
    for (; i + 4 <= n; i += 4) {
      Floats v;
      std::memcpy(&v, from + i, sizeof v);
      v = v < Floats{} - 32768.0F ? Floats{} - 32768.0F : v;
      v = v > Floats{} + 32767.0F ? Floats{} + 32767.0F : v;
      v = (v + 12582912.0F) - 12582912.0F;
      const Shorts rounded = __builtin_convertvector(__builtin_convertvector(v, Ints), Shorts);
      std::memcpy(to + i, &rounded, sizeof rounded);
    }
    for (; i < n; ++i) to[i] = rounded(from[i]);
    channel.start += need;
  }
}

}  // namespace vornix::host

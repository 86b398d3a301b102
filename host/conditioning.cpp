#include "host/conditioning.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornix::host {

namespace {

// Full scale of a 16-bit sample: a square wave of this amplitude is 0 dBFS.
constexpr double kFullScale = 32768.0;

std::size_t framesIn(double seconds, std::uint32_t rate, std::uint32_t bufferSize) {
  const double frames = std::round(seconds * rate / bufferSize);
  return static_cast<std::size_t>(std::max(frames, 1.0));
}

}  // namespace

Conditioner::Conditioner(std::size_t channels, std::uint32_t rate, std::uint32_t bufferSize,
                         const ConditioningSettings& settings)
    : settings_(settings), bufferSize_(bufferSize) {
  if (channels == 0 || rate == 0 || bufferSize < 2) {
    throw std::invalid_argument(
        "conditioning needs at least one channel, a rate and frames of two samples");
  }
  floorWindowFrames_ = framesIn(settings.floorWindowSeconds, rate, bufferSize);
  // Whole frames covering the hangover time: 40 ms is 2 frames of 23.2 ms.
  hangoverFrames_ = static_cast<std::uint32_t>(
      std::ceil(settings.hangoverMs / 1000.0 * rate / bufferSize - 1e-9));
  holdFrames_ = static_cast<std::uint32_t>(std::ceil(settings.crosstalkHoldFrames - 1e-9));
  // 60 dB over the tail's frames; no tail dies away at once.
  tailDecayDb_ = settings.crosstalkTailMs > 0.0
                     ? 60.0 * bufferSize / (settings.crosstalkTailMs / 1000.0 * rate)
                     : 0.0;
  speechLevelFrames_ = static_cast<double>(framesIn(settings.speechLevelSeconds, rate, bufferSize));
  noiseRunFrames_ =
      static_cast<std::uint32_t>(std::ceil(kNoiseRunSeconds * rate / bufferSize - 1e-9));
  audibleDb_ = settings.noiseThreshold * 20.0 / std::numbers::ln10 - 20.0 * std::log10(kFullScale) -
               settings.speechCrestDb;
  // Rounding a scaled sample moves it by half a step at most, so a frame
  // scaled to this swing keeps a swing of at most half the gate's amplitude.
  targetSwing_ = std::max(0.0, 0.5 * std::exp(settings.noiseThreshold) - 1.0);
  channels_.reserve(channels);
  // The band level is measured at a lower rate: groups of `decimation_`
  // samples are averaged (a boxcar, whose first null lies at rate /
  // decimation) while the band's top stays below a fifth of the reduced
  // rate. At 44.1 kHz that is a quarter of the work for the filters, which
  // run per sample and would otherwise cost more than the tracker.
  decimation_ = 1;
  while (settings.bandHighHz > 0.0 && bufferSize % (decimation_ * 2) == 0 &&
         static_cast<double>(rate / (decimation_ * 2)) >= 2.5 * settings.bandHighHz) {
    decimation_ *= 2;
  }
  const auto bandRate = static_cast<std::uint32_t>(rate / decimation_);
  std::vector<Biquad> band;
  if (settings.bandLowHz > 0.0 && settings.bandLowHz < 0.45 * bandRate) {
    band.push_back(butterworth(true, settings.bandLowHz, bandRate));
  }
  if (settings.bandHighHz > 0.0 && settings.bandHighHz < 0.45 * bandRate) {
    band.push_back(butterworth(false, settings.bandHighHz, bandRate));
  }
  for (std::size_t c = 0; c < channels; ++c) {
    channels_.emplace_back(floorWindowFrames_, framesIn(kSpreadWindowSeconds, rate, bufferSize),
                           framesIn(kSpreadFloorSeconds, rate, bufferSize));
    channels_.back().band = band;
  }
  coupling_.resize(channels * channels);
  if (settings.crosstalk && settings.crosstalkMaxDelayMs > 0.0 && channels > 1) {
    const auto maxLag =
        static_cast<std::size_t>(std::lround(settings.crosstalkMaxDelayMs / 1000.0 * rate));
    delays_.assign(channels * channels, PickupDelay(maxLag));
    recorded_.assign(channels, std::vector<std::int16_t>(maxLag + 1 + bufferSize, 0));
  }
  step_.resize(channels);
  bandStep_.resize(channels);
  open_.resize(channels);
  passed_.resize(channels);
  fluctuating_.resize(channels);
}

namespace {

// The sum and the sum of squares of `samples`, exact. A square of a 16-bit
// sample fits 32 unsigned bits, and so does the sum of two: with SSE2 each
// instruction multiplies eight samples and adds them in pairs, the pairs'
// squares are widened to 64 bits and their plain sums kept in 32-bit lanes
// for a bounded stretch. Any order of adding gives the same integers.
void sampleSums(std::span<const std::int16_t> samples, std::int64_t& sum,
                std::uint64_t& squares) noexcept {
  sum = 0;
  squares = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  __m128i wide = zero;  // two 64-bit sums of squares
  while (samples.size() - i >= 8) {
    // 16384 steps add at most 2^15 * 2^16 to a lane: within 32 bits.
    const std::size_t stretch = std::min<std::size_t>((samples.size() - i) / 8, 16384);
    __m128i narrow = zero;  // four 32-bit plain sums
    for (std::size_t k = 0; k < stretch; ++k, i += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples.data() + i));
      narrow = _mm_add_epi32(narrow, _mm_madd_epi16(v, ones));
      const __m128i pairs = _mm_madd_epi16(v, v);  // unsigned: at most 2^31
      wide = _mm_add_epi64(wide, _mm_unpacklo_epi32(pairs, zero));
      wide = _mm_add_epi64(wide, _mm_unpackhi_epi32(pairs, zero));
    }
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), narrow);
    sum += std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }
  alignas(16) std::uint64_t halves[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves), wide);
  squares = halves[0] + halves[1];
#endif
  for (; i < samples.size(); ++i) {
    const std::int32_t x = samples[i];
    sum += x;
    squares += static_cast<std::uint32_t>(x * x);
  }
}

}  // namespace

Conditioner::FrameLevel Conditioner::measure(std::span<const std::int16_t> frame) noexcept {
  std::int64_t sum = 0;
  std::uint64_t sumSquares = 0;
  sampleSums(frame, sum, sumSquares);
  // The extremes are taken on the 16-bit samples themselves, so the loop
  // runs on vector lanes.
  std::int16_t low = std::numeric_limits<std::int16_t>::max();
  std::int16_t high = std::numeric_limits<std::int16_t>::min();
  for (const std::int16_t s : frame) {
    low = std::min(low, s);
    high = std::max(high, s);
  }
  FrameLevel level;
  const double n = static_cast<double>(frame.size());
  const double mean = static_cast<double>(sum) / n;
  // Sums of up to 2^20 squares of 16-bit values are exact in a double.
  const double variance = (static_cast<double>(sumSquares) - mean * static_cast<double>(sum)) / n;
  if (variance > 0.0) {
    level.db = std::max(kSilenceDbfs, 10.0 * std::log10(variance / (kFullScale * kFullScale)));
  }
  level.swing = 0.5 * (static_cast<double>(high) - static_cast<double>(low));
  return level;
}

// Second-order Butterworth sections after the audio cookbook formulas.
Conditioner::Biquad Conditioner::butterworth(bool highPass, double hz, std::uint32_t rate) {
  const double w = 2.0 * std::numbers::pi * hz / rate;
  const double alpha = std::sin(w) / std::sqrt(2.0);
  const double c = std::cos(w);
  const double a0 = 1.0 + alpha;
  Biquad q;
  q.b0 = (highPass ? (1.0 + c) : (1.0 - c)) / 2.0 / a0;
  q.b1 = (highPass ? -(1.0 + c) : (1.0 - c)) / a0;
  q.b2 = q.b0;
  q.a1 = -2.0 * c / a0;
  q.a2 = (1.0 - alpha) / a0;
  return q;
}

namespace {

double powerDb(double sumSquares, std::size_t groups) noexcept {
  if (groups == 0) return Conditioner::kSilenceDbfs;
  const double power = sumSquares / static_cast<double>(groups) / (kFullScale * kFullScale);
  return power > 0.0 ? std::max(Conditioner::kSilenceDbfs, 10.0 * std::log10(power))
                     : Conditioner::kSilenceDbfs;
}

}  // namespace

namespace {

// Two doubles side by side, one per channel: each lane goes through exactly
// the operations of the scalar filter, in the same order (SSE2 arithmetic is
// IEEE double in each lane, and no fused multiply-add is formed), so each
// channel's result is that of the scalar filter to the bit.
using DoublePair = double __attribute__((vector_size(16)));

struct BiquadPair {
  DoublePair b0, b1, b2, a1, a2, x1, x2, y1, y2;
  DoublePair run(DoublePair x) noexcept {
    const DoublePair y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

template <class Biquad>
BiquadPair pairOf(const Biquad& p, const Biquad& q) noexcept {
  return BiquadPair{{p.b0, q.b0}, {p.b1, q.b1}, {p.b2, q.b2}, {p.a1, q.a1}, {p.a2, q.a2},
                    {p.x1, q.x1}, {p.x2, q.x2}, {p.y1, q.y1}, {p.y2, q.y2}};
}

template <class Biquad>
void keepState(const BiquadPair& pair, int lane, Biquad& q) noexcept {
  q.x1 = pair.x1[lane];
  q.x2 = pair.x2[lane];
  q.y1 = pair.y1[lane];
  q.y2 = pair.y2[lane];
}

// Calls f with the decimation as a constant of the type (std::integral_constant)
// for the factors the constructor picks at the usual rates, so that each
// group's sum compiles to a few straight additions; with 0 for any other,
// which the callee then reads at run time.
template <class F>
decltype(auto) withDecimation(std::size_t decimation, F&& f) {
  switch (decimation) {
    case 1:
      return f(std::integral_constant<std::size_t, 1>{});
    case 2:
      return f(std::integral_constant<std::size_t, 2>{});
    case 4:
      return f(std::integral_constant<std::size_t, 4>{});
    case 8:
      return f(std::integral_constant<std::size_t, 8>{});
    default:
      return f(std::integral_constant<std::size_t, 0>{});
  }
}

// The sum of the `decimation` samples from `in` on.
template <std::size_t Fixed>
std::int32_t groupSum(const std::int16_t* in, std::size_t decimation) noexcept {
  const std::size_t n = Fixed != 0 ? Fixed : decimation;
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += in[i];
  return sum;
}

}  // namespace

void Conditioner::bandLevelsOfPair(std::size_t first,
                                   std::span<const std::span<std::int16_t>> frames) noexcept {
  // Two channels of the usual band (a high-pass and a low-pass) in the two
  // lanes of one register: the state stays in registers for the frame, and
  // the two recursions cost what one does.
  Channel& a = channels_[first];
  Channel& b = channels_[first + 1];
  BiquadPair high = pairOf(a.band[0], b.band[0]);
  BiquadPair low = pairOf(a.band[1], b.band[1]);
  DoublePair sum = {0.0, 0.0};
  const std::int16_t* inA = frames[first].data();
  const std::int16_t* inB = frames[first + 1].data();
  const std::size_t groups = bufferSize_ / decimation_;
  const double scale = 1.0 / static_cast<double>(decimation_);
  const DoublePair scales = {scale, scale};
  withDecimation(decimation_, [&](auto fixed) {
    constexpr std::size_t kFixed = decltype(fixed)::value;
    const std::size_t d = decimation_;
    for (std::size_t g = 0; g < groups; ++g) {
      const DoublePair in = {static_cast<double>(groupSum<kFixed>(inA + g * d, d)),
                             static_cast<double>(groupSum<kFixed>(inB + g * d, d))};
      const DoublePair y = low.run(high.run(in * scales));
      sum += y * y;
    }
  });
  keepState(high, 0, a.band[0]);
  keepState(low, 0, a.band[1]);
  keepState(high, 1, b.band[0]);
  keepState(low, 1, b.band[1]);
  bandStep_[first] = powerDb(sum[0], groups);
  bandStep_[first + 1] = powerDb(sum[1], groups);
}

void Conditioner::bandLevels(std::span<const std::span<std::int16_t>> frames) noexcept {
  std::size_t c = 0;
  while (c < channels_.size()) {
    if (c + 1 < channels_.size() && channels_[c].band.size() == 2 &&
        channels_[c + 1].band.size() == 2) {
      bandLevelsOfPair(c, frames);
      c += 2;
    } else {
      bandStep_[c] = bandLevel(channels_[c], frames[c]);
      ++c;
    }
  }
}

double Conditioner::bandLevel(Channel& channel,
                              std::span<const std::int16_t> frame) const noexcept {
  if (channel.band.empty()) return measure(frame).db;
  const std::size_t groups = frame.size() / decimation_;
  const double scale = 1.0 / static_cast<double>(decimation_);
  const double sumSquares = withDecimation(decimation_, [&](auto fixed) {
    constexpr std::size_t kFixed = decltype(fixed)::value;
    const std::size_t d = decimation_;
    const auto input = [&](std::size_t g) {
      return static_cast<double>(groupSum<kFixed>(frame.data() + g * d, d)) * scale;
    };
    double squares = 0.0;
    if (channel.band.size() == 2) {
      // The usual band with the filters' state in locals for the frame, so
      // the recursions do not wait on memory; the arithmetic, and so every
      // bit of the result, is that of the general loop below.
      Biquad high = channel.band[0];
      Biquad low = channel.band[1];
      for (std::size_t g = 0; g < groups; ++g) {
        const double y = low.run(high.run(input(g)));
        squares += y * y;
      }
      channel.band[0] = high;
      channel.band[1] = low;
    } else {
      for (std::size_t g = 0; g < groups; ++g) {
        double y = input(g);
        for (Biquad& q : channel.band) y = q.run(y);
        squares += y * y;
      }
    }
    return squares;
  });
  return powerDb(sumSquares, groups);
}

void Conditioner::attenuate(std::span<std::int16_t> frame, double swing) const noexcept {
  // Q16 gain below 1: |x * gain| stays within 16 bits, and the integer
  // arithmetic gives the same samples on every machine.
  const auto gain = static_cast<std::int64_t>(std::floor(targetSwing_ / swing * 65536.0));
  for (std::int16_t& s : frame) {
    s = static_cast<std::int16_t>((s * gain + 32768) >> 16);
  }
}

void Conditioner::record(std::span<const std::span<std::int16_t>> frames) {
  for (std::size_t c = 0; c < recorded_.size(); ++c) {
    std::vector<std::int16_t>& r = recorded_[c];
    const std::size_t keep = r.size() - bufferSize_;
    std::copy(r.end() - static_cast<std::ptrdiff_t>(keep), r.end(), r.begin());
    std::copy(frames[c].begin(), frames[c].end(), r.begin() + static_cast<std::ptrdiff_t>(keep));
  }
}

double Conditioner::leastDifference(std::size_t o, std::size_t c) const noexcept {
  const Coupling& coupling = coupling_[o * channels_.size() + c];
  if (!coupling.known || delays_.empty()) return kCrosstalkMinimumDb;
  const PickupDelay& delay = delays_[o * channels_.size() + c];
  if (!delay.ready() || delay.pickupResidualDb() > kProvenPickupDb) return kCrosstalkMinimumDb;
  return std::clamp(coupling.db - kCrosstalkMinimumDb, kStrongPickupMinimumDb, kCrosstalkMinimumDb);
}

bool Conditioner::reverberant(std::size_t o, std::size_t c) const noexcept {
  if (delays_.empty()) return false;
  const PickupDelay& delay = delays_[o * channels_.size() + c];
  return delay.ready() && delay.pickupResidualDb() + settings_.crosstalkOwnDb > 0.0;
}

Conditioner::Copy Conditioner::delayedCopy(std::size_t o, std::size_t c, bool clearPickup,
                                           double levelDb) {
  if (delays_.empty()) return Copy::kUnknown;
  PickupDelay& delay = delays_[o * channels_.size() + c];
  const std::span<const std::int16_t> self =
      std::span<const std::int16_t>(recorded_[c]).last(bufferSize_);
  const std::span<const std::int16_t> other = recorded_[o];
  if (!delay.ready()) {
    if (clearPickup) delay.learn(self, other);
    return Copy::kUnknown;
  }
  // A frame never leaves more than all of itself unexplained: when pick-up
  // alone leaves within CrosstalkOwnDb of that, the share cannot tell.
  const double own = delay.pickupResidualDb() + settings_.crosstalkOwnDb;
  // What a copy leaves is measured against the floor, but never below the
  // rounding of 16-bit samples: the pick-up is rounded on its own, and over
  // digital silence (a floor of kSilenceDbfs) that rounding alone would
  // pass for a voice of its own in every quiet frame of pick-up.
  const double floorDb = std::max(channels_[c].floorDb, kRoundingDbfs);
  if (own > 0.0) {
    const double unexplained = delay.unexplainedDb(self, other);
    const double excess = levelDb + unexplained - floorDb;
    if (clearPickup) {
      delay.learnResidual(unexplained);
      delay.learnExcess(excess);
    }
    // Where noise is what pick-up alone leaves (it stands within the gate's
    // margin of the floor), the copy still explains the pick-up down to the
    // noise, and what a frame leaves clearly over that is a voice of its
    // own.
    if (!delay.excessKnown()) return Copy::kUnknown;
    if (delay.pickupExcessDb() <= settings_.noiseMarginDb) {
      return excess >= delay.pickupExcessDb() + kOwnOverNoiseDb ? Copy::kOwnVoice : Copy::kPickUp;
    }
    // Over noise that fluctuates like voices, what pick-up alone leaves is
    // that noise, and it swings: a frame that leaves clearly more than it
    // typically does has a voice of its own (the end of a line fading under
    // the other speaker's start); under that, the levels decide. Where the
    // noise is steady and pick-up alone still leaves much (reflections), that
    // part follows the pick-up's own level, and the levels decide throughout.
    if (fluctuating_[c] != 0 &&
        excess >= delay.pickupExcessDb() +
                      settings_.crosstalkOverBabbleDeviations * delay.pickupExcessDeviationDb()) {
      return Copy::kOwnVoice;
    }
    return Copy::kUnknown;
  }
  const double unexplained = delay.unexplainedDb(self, other);
  // What the copy leaves must be clearly more than it leaves of pick-up
  // alone, loud enough on its own to open the gate, and loud enough for the
  // components to hear: its peaks (SpeechCrestDb over its level) must
  // reach their gate. A copy explains a fractional delay worse at high
  // frequencies, so the quiet, hissing ends of the other's words leave a
  // larger share than its voiced syllables do; passed as a voice of their
  // own, they carried the pick-up to the components as sound.
  if (unexplained >= own &&
      levelDb + unexplained >= std::max(floorDb + settings_.noiseMarginDb, audibleDb_)) {
    return Copy::kOwnVoice;
  }
  if (clearPickup) delay.learnResidual(unexplained);
  return Copy::kPickUp;
}

void Conditioner::seekPickup(Coupling& coupling, std::size_t o, std::size_t c, double difference,
                             double otherMoved) noexcept {
  const Channel& ch = channels_[c];
  const auto start = [&] {
    coupling.db = difference;
    coupling.known = coupling.seeded = true;
  };
  if (open_[c] == 0) {
    // Over noise that fluctuates like voices, the distance from the other's
    // speech down to the noise (this channel's gate shut).
    coupling.steady = 0;
    if (fluctuating_[c] != 0) start();
    return;
  }
  const Channel& other = channels_[o];
  const bool onset = ch.shutBefore >= kPickupQuietFrames && ch.openedAt >= other.openedAt &&
                     ch.openedAt - other.openedAt <= kPickupOnsetFrames;
  if (otherMoved > kSteadyRangeDb) {
    // Passed over: at the other's onsets and ends the two frames hold
    // different stretches of it (the pick-up arrives late).
  } else if (coupling.steady == 0 ||
             std::max(coupling.high, difference) - std::min(coupling.low, difference) >
                 kSteadyRangeDb) {
    coupling.low = coupling.high = difference;
    coupling.steady = 1;
  } else {
    coupling.low = std::min(coupling.low, difference);
    coupling.high = std::max(coupling.high, difference);
    ++coupling.steady;
  }
  if (onset || coupling.steady >= kSteadyFrames) start();
}

void Conditioner::process(std::span<const std::span<std::int16_t>> frames) {
  if (frames.size() != channels_.size()) {
    throw std::invalid_argument("conditioning: a step needs one frame per channel");
  }
  for (const auto& frame : frames) {
    if (frame.size() != bufferSize_) {
      throw std::invalid_argument("conditioning: a frame holds BufferSize samples");
    }
  }
  const double gateSwing = std::exp(settings_.noiseThreshold);
  // The gate of every channel first: crosstalk is judged against the other
  // channels' decisions in the same step.
  bandLevels(frames);
  record(frames);
  for (std::size_t c = 0; c < channels_.size(); ++c) {
    Channel& ch = channels_[c];
    const FrameLevel& level = step_[c] = measure(frames[c]);
    const double bandDb = bandStep_[c];
    ch.floorDb = ch.floor.push(level.db);
    ch.bandFloorDb = ch.bandFloor.push(bandDb);
    ch.floorSumDb += ch.floorDb;
    ++ch.frames;
    double opening = ch.bandFloorDb + settings_.noiseMarginDb;
    // Noise that fluctuates: its typical level stands well above its
    // minimum, and the gate is kept above its typical level by a multiple of
    // that distance. Stationary noise stands within a dB or two of its
    // minimum, and the margin over the floor decides as before. A typical
    // level further above the floor than kMaxSpreadDb is no noise's: it lies
    // in the speech of a talkative stretch, over silence.
    const double typicalDb = ch.spread.push(bandDb);
    double spreadDb = typicalDb - ch.spreadFloor.push(bandDb);
    if (typicalDb - ch.spreadDepth.push(bandDb) > kMaxNoiseDepthDb) spreadDb = 0.0;
    if (settings_.noiseSpreadFactor > 0.0 && spreadDb > 0.0 && spreadDb <= kMaxSpreadDb) {
      opening = std::max(opening, typicalDb + settings_.noiseSpreadFactor * spreadDb);
    }
    // Below the loud-speech level only where the noise fluctuates like
    // other voices: on stationary noise and silence the margin over the
    // floor already finds the weak edges of speech that this would cut.
    const double validSpreadDb = spreadDb <= kMaxSpreadDb ? std::max(spreadDb, 0.0) : 0.0;
    const bool fluctuating = ch.spreadTypical.push(validSpreadDb) >= kFluctuatingSpreadDb;
    // The loud-speech level is learned from the frames that open the gate
    // by the noise alone.
    const bool overNoise = bandDb >= opening;
    if (settings_.speechRelativeDb > 0.0 && ch.loudKnown && fluctuating) {
      // Clear of the noise's typical level, but never higher than the
      // least distance below the loud speech nor lower than the most.
      const double nearest = ch.loudDb - settings_.speechRelativeDb;
      const double farthest =
          ch.loudDb - std::max(settings_.speechRelativeMaxDb, settings_.speechRelativeDb);
      opening =
          std::max(opening, std::clamp(typicalDb + settings_.noiseClearanceDb, farthest, nearest));
    }
    const double closing = opening - settings_.hysteresisDb;
    // The loud-speech level: a high quantile of the band levels that stand
    // clear of the noise, started at the first such frame.
    if (overNoise) {
      if (!ch.loudKnown) {
        ch.loudDb = bandDb;
        ch.loudKnown = true;
      } else if (bandDb > ch.loudDb) {
        ch.loudDb += kSpeechQuantile * kSpeechStepDb;
      } else {
        ch.loudDb -= (1.0 - kSpeechQuantile) * kSpeechStepDb;
      }
    }
    if (bandDb >= opening || (ch.open && bandDb >= closing)) {
      if (!ch.open) {
        ch.openedAt = ch.frames;
        ch.shutBefore = ch.shut;
        ch.ownSinceOpened = false;
      }
      ch.shut = 0;
      ch.open = true;
      ch.hangover = hangoverFrames_;
      if (ch.noiseAudible && ch.loudKnown) {
        const double above = ch.loudDb - opening;
        const double span = settings_.hangoverNoneDb - settings_.hangoverShortDb;
        const double share = span > 0.0 ? (settings_.hangoverNoneDb - above) / span
                                        : (above < settings_.hangoverNoneDb ? 1.0 : 0.0);
        ch.hangover = static_cast<std::uint32_t>(
            std::ceil(std::clamp(share, 0.0, 1.0) * hangoverFrames_ - 1e-9));
      }
    } else if (ch.open && ch.hangover > 0) {
      --ch.hangover;
    } else {
      ch.open = false;
      ++ch.shut;
      ch.noiseAudible = level.swing >= gateSwing;
    }
    open_[c] = ch.open ? 1 : 0;
    fluctuating_[c] = fluctuating ? 1 : 0;
    ch.shutFrames = ch.open ? 0 : ch.shutFrames + 1;
    if (ch.shutFrames > noiseRunFrames_) {
      const double bin = std::floor((level.db - kSilenceDbfs) / kNoiseBinDb);
      ++ch.noiseLevels[static_cast<std::size_t>(
          std::clamp(bin, 0.0, static_cast<double>(kNoiseBins - 1)))];
      ++ch.noiseFrames;
    }
  }
  for (std::size_t c = 0; c < channels_.size(); ++c) {
    Channel& ch = channels_[c];
    const FrameLevel& level = step_[c];
    bool pass = open_[c] != 0;
    bool pickedUp = false;
    for (std::size_t o = 0; o < channels_.size(); ++o) {
      if (o == c) continue;
      Coupling& coupling = coupling_[o * channels_.size() + c];
      const double difference = step_[o].db - level.db;
      const double otherMoved = std::abs(step_[o].db - coupling.lastOtherDb);
      coupling.lastOtherDb = step_[o].db;
      coupling.heldDb =
          std::max(open_[o] != 0 ? step_[o].db : kSilenceDbfs, coupling.heldDb - tailDecayDb_);
      const double least = leastDifference(o, c);
      if (open_[o] == 0 || difference < least) {
        // The other's frame explains nothing, but in a reverberant room its
        // words of the moments before still sound here: judged by the
        // levels against them, dying away. Nothing is learned from it.
        const double held = coupling.heldDb - level.db;
        if (pass && settings_.crosstalk && tailDecayDb_ > 0.0 && coupling.known && held >= least &&
            held > coupling.db - settings_.crosstalkMarginDb && reverberant(o, c)) {
          pass = false;
          pickedUp = true;
          ++ch.crosstalkFrames;
          ch.hangover = 0;
        }
        continue;
      }
      if (!coupling.known) seekPickup(coupling, o, c, difference, otherMoved);
      // By the levels, the frame is crosstalk when it stands less than the
      // margin above the pick-up; a delayed copy of the other, where it can
      // tell, decides either way: it finds the quieter speaker's words in
      // an overlap, and the pick-up of a word's end that arrives late.
      const double learned = coupling.db;
      const bool byLevels = coupling.known && difference > learned - settings_.crosstalkMarginDb;
      bool crosstalk = false;
      const bool clearPickup = byLevels && difference >= learned - kClearPickupDb;
      if (pass && settings_.crosstalk) {
        const Copy copy = delayedCopy(o, c, clearPickup, level.db);
        crosstalk = copy == Copy::kUnknown ? byLevels : copy == Copy::kPickUp;
      } else if (clearPickup && settings_.crosstalk) {
        // Pick-up that c's gate shut out is as much pick-up alone: the delay
        // and what a copy leaves are learned from it too (in a noisy room
        // the gate shuts out most of it, and they were hardly ever learned).
        // There is nothing to judge.
        delayedCopy(o, c, true, level.db);
      }
      if (crosstalk) {
        pass = false;
        pickedUp = true;
        ++ch.crosstalkFrames;
        // The other's speech carried this gate: no hangover of its own.
        ch.hangover = 0;
      }
      // Nothing is learned before pick-up is evidenced, nor from the frame
      // whose difference started it, nor from one that stands more than
      // kCouplingOutlierDb over the pick-up learned so far: no pick-up
      // explains it.
      if (coupling.seeded) {
        coupling.seeded = false;
      } else if (coupling.known && difference <= coupling.db + kCouplingOutlierDb) {
        coupling.db += difference > coupling.db ? kCouplingQuantile * kCouplingStepDb
                                                : -(1.0 - kCouplingQuantile) * kCouplingStepDb;
      }
    }
    passed_[c] = pass ? 1 : 0;
    if (pass) {
      ch.ownSinceOpened = true;
      ch.crosstalkRun = 0;
    } else if (pickedUp) {
      // Nor does it hold the gate open over the hysteresis, as pick-up and
      // noise together would, so that the frames in which the other's
      // words sink back into the noise (too little over it for the levels
      // to judge) would pass as this channel's sound: the gate closes at
      // the first frame of crosstalk when nothing of the channel's own has
      // passed since it opened, and after CrosstalkHoldFrames of them in a row
      // when something has (in an overlap the quieter speaker's words come
      // and go between frames of pick-up).
      if (!ch.ownSinceOpened || ++ch.crosstalkRun >= holdFrames_) {
        ch.open = false;
        ch.crosstalkRun = 0;
      }
    } else {
      ch.crosstalkRun = 0;
    }
    if (pass) {
      if (level.swing >= gateSwing) {
        ++ch.speechFrames;
        ++ch.levelFrames;
        const double weight =
            std::max(1.0 / static_cast<double>(ch.levelFrames), 1.0 / speechLevelFrames_);
        // Averaged as power, as an active speech level is: a mean of the
        // decibels reads several dB under it on speech's wide range.
        ch.speechPower += weight * (std::pow(10.0, level.db / 10.0) - ch.speechPower);
      }
    } else if (settings_.enabled && level.swing >= gateSwing) {
      attenuate(frames[c], level.swing);
    }
  }
}

void Conditioner::startOver() {
  for (Channel& ch : channels_) {
    for (Biquad& q : ch.band) q.x1 = q.x2 = q.y1 = q.y2 = 0.0;
    ch.floorSumDb = 0.0;
    ch.open = false;
    ch.openedAt = 0;
    ch.ownSinceOpened = false;
    ch.crosstalkRun = 0;
    ch.noiseAudible = false;
    ch.shut = ch.shutBefore = 0;
    ch.hangover = 0;
    ch.speechPower = 0.0;
    ch.frames = ch.speechFrames = ch.crosstalkFrames = ch.levelFrames = ch.shutFrames = 0;
    std::fill(ch.noiseLevels.begin(), ch.noiseLevels.end(), std::uint64_t{0});
    ch.noiseFrames = 0;
  }
  for (Coupling& coupling : coupling_) {
    coupling.seeded = false;
    coupling.steady = 0;
    coupling.low = coupling.high = 0.0;
    coupling.lastOtherDb = coupling.heldDb = kSilenceDbfs;
  }
  for (std::vector<std::int16_t>& r : recorded_) std::fill(r.begin(), r.end(), std::int16_t{0});
  std::fill(open_.begin(), open_.end(), char{0});
  std::fill(passed_.begin(), passed_.end(), char{0});
}

bool Conditioner::passed(std::size_t channel) const {
  return passed_.at(channel) != 0;
}

void Conditioner::silence(std::span<std::int16_t> frame) const noexcept {
  if (frame.empty()) return;
  // The extremes by value, not by position, so the loop runs on vector lanes.
  std::int16_t low = std::numeric_limits<std::int16_t>::max();
  std::int16_t high = std::numeric_limits<std::int16_t>::min();
  for (const std::int16_t s : frame) {
    low = std::min(low, s);
    high = std::max(high, s);
  }
  const double swing = (static_cast<double>(high) - static_cast<double>(low)) / 2.0;
  if (swing >= std::exp(settings_.noiseThreshold)) attenuate(frame, swing);
}

Conditioner::ChannelLevels Conditioner::levels(std::size_t channel) const {
  const Channel& ch = channels_.at(channel);
  ChannelLevels out{};
  out.frames = ch.frames;
  out.speechFrames = ch.speechFrames;
  out.crosstalkFrames = ch.crosstalkFrames;
  out.currentNoiseFloorDbfs = ch.frames > 0 ? ch.floorDb : kSilenceDbfs;
  out.noiseFloorDbfs =
      ch.frames > 0 ? ch.floorSumDb / static_cast<double>(ch.frames) : kSilenceDbfs;
  if (ch.noiseFrames > 0) {
    // The lower edge of the bin that holds the middle frame.
    std::uint64_t below = 0;
    std::size_t bin = 0;
    while (bin + 1 < kNoiseBins && 2 * (below + ch.noiseLevels[bin]) <= ch.noiseFrames) {
      below += ch.noiseLevels[bin++];
    }
    out.noiseFloorDbfs = kSilenceDbfs + static_cast<double>(bin) * kNoiseBinDb;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double speechDb = ch.speechPower > 0.0
                              ? std::max(kSilenceDbfs, 10.0 * std::log10(ch.speechPower))
                              : kSilenceDbfs;
  out.speechLevelDbfs = ch.levelFrames > 0 ? speechDb : nan;
  out.snrDb = ch.levelFrames > 0 ? speechDb - out.noiseFloorDbfs : nan;
  out.tooNoisy = ch.levelFrames > 0 && out.snrDb < settings_.minSnrDb;
  out.tooQuiet = ch.levelFrames == 0 || out.speechLevelDbfs < settings_.minSpeechLevelDbfs;
  return out;
}

}  // namespace vornix::host

// Synthetic 16-bit frames for the pitch tracker's tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

namespace vornix::testing {

// Rounds to the nearest 16-bit sample, saturating at the type's limits.
inline std::int16_t toSample(double value) {
  const double clamped = std::clamp(value, -32768.0, 32767.0);
  return static_cast<std::int16_t>(std::lround(clamped));
}

// A sum of harmonics of `frequency`: `harmonics[h]` is the relative amplitude
// of harmonic h + 1; the sum is scaled so that the harmonics' amplitudes add up
// to `amplitude`.
inline std::vector<std::int16_t> harmonicTone(std::size_t n, double frequency, double amplitude,
                                              std::uint32_t sampleRate,
                                              std::span<const double> harmonics, double phase = 0.0,
                                              double offset = 0.0) {
  double total = 0.0;
  for (const double h : harmonics) total += std::fabs(h);
  std::vector<std::int16_t> frame(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / sampleRate;
    double value = 0.0;
    for (std::size_t h = 0; h < harmonics.size(); ++h) {
      value +=
          harmonics[h] *
          std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(h + 1) * t + phase);
    }
    frame[i] = toSample(offset + amplitude * value / total);
  }
  return frame;
}

inline std::vector<std::int16_t> sine(std::size_t n, double frequency, double amplitude,
                                      std::uint32_t sampleRate, double phase = 0.0) {
  const double one[] = {1.0};
  return harmonicTone(n, frequency, amplitude, sampleRate, one, phase);
}

// Uniform white noise in [-amplitude, amplitude].
inline std::vector<std::int16_t> whiteNoise(std::size_t n, double amplitude, std::mt19937& rng) {
  std::uniform_real_distribution<double> dist(-amplitude, amplitude);
  std::vector<std::int16_t> frame(n);
  for (auto& x : frame) x = toSample(dist(rng));
  return frame;
}

}  // namespace vornix::testing

namespace vornix::testing {

// A vowel-like voice: harmonics of a fundamental up to 4 kHz, falling as 1/h
// and raised around two formants (700 Hz and 1200 Hz), with a 5.5 Hz vibrato
// of +-4 % and a slow rise of 15 % over the whole signal. `f0` receives the
// instantaneous fundamental of every sample.
inline std::vector<std::int16_t> vibratoVowel(std::size_t n, double baseHz, std::uint32_t rate,
                                              std::vector<double>& f0) {
  std::vector<std::int16_t> signal(n);
  f0.assign(n, 0.0);
  const double duration = static_cast<double>(n) / rate;
  double phase = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    f0[i] = baseHz * (1.0 + 0.04 * std::sin(2.0 * std::numbers::pi * 5.5 * t)) *
            (1.0 + 0.15 * t / duration);
    phase += 2.0 * std::numbers::pi * f0[i] / rate;
    double value = 0.0;
    for (int h = 1; h * f0[i] < 4000.0; ++h) {
      const double fh = h * f0[i];
      const double weight = 1.0 / h + 0.6 / (1.0 + std::pow((fh - 700.0) / 130.0, 2)) +
                            0.4 / (1.0 + std::pow((fh - 1200.0) / 150.0, 2));
      value += weight * std::sin(h * phase);
    }
    signal[i] = toSample(6000.0 * value);
  }
  return signal;
}

}  // namespace vornix::testing

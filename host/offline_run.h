// The host's offline run: a configured system on the simulated clock, fed by
// its source components' recordings frame by frame, as fast as the work
// allows and with the same records on every run.
//
// The system's "source" components (host/audio_source.h) name the recordings
// and the components their frames go to. Every source must have the same
// rate and BufferSize: step k is frame k of every source, at
// origin + floor(k × BufferSize × 10^6 / rate) µs on the simulated clock. A
// step advances the clock (ending the waits that fall due), conditions the
// step's frames (host/conditioning.h), injects them in source order and lets
// the system settle. With conditioning on, a recording below the
// conditioning's ResampleHz reaches the sources' targets upsampled by a whole
// factor, their SamplingFrequency and BufferSize scaled alike, so step times
// stay as they are (host/conditioning_resample.h). A source whose recording
// has ended gives silence until every one has; then `tail` more steps of
// silence let the last utterances close.
//
// The run never drops a message: one that the instance's store or queues
// refused (a temporal store at its configured maximum, an object under the
// instance's names that is not ours) fails the run with a line saying so.
//
// Records reach the caller step by step, each step's ordered by sender
// (configuration order; the host's own messages last; one sender's records
// in the order it posted them), so the order never depends on anything but
// the input.
//
// Thread safety: one run per thread; runs on different threads are
// independent (each has its own instance and clock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/audio_source.h"
#include "host/conditioning.h"
#include "host/config.h"
#include "host/system.h"

namespace vornix::host {

struct OfflineRunOptions {
  // How the system is made; the simulated clock is always used, starting at
  // `origin`.
  SystemOptions system;
  Micros origin = 1'000'000;
  // Silence after the end; by default long enough for the longest
  // SegmentIntervalThreshold + PauseThreshold of the sources' targets
  // (capped at 60 s) and 100 ms more.
  std::optional<std::uint32_t> tailMs;
  ConditioningSettings conditioning;
  // Called after every step with the steps done and the steps expected.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // When given and set (by a signal handler, say), the run stops before its
  // next step, as a failed run ("stopped" set).
  const std::atomic<bool>* stop = nullptr;
};

// What became of one source.
struct SourceOutcome {
  AudioSourceSettings settings;
  std::uint64_t declaredFrames = 0;  // sample frames the header declares
  std::uint64_t framesRead = 0;      // sample frames read
  bool failed = false;               // a read error ended the stream
  Conditioner::ChannelLevels levels{};
};

struct OfflineRunResult {
  bool ok = false;
  bool stopped = false;  // `stop` ended the run early
  // Why the run failed, one line each ("<file>: truncated: ...", a component
  // that failed); empty when ok.
  std::vector<std::string> errors;
  std::vector<SourceOutcome> sources;  // in configuration order
  std::uint32_t rate = 0;
  // The samples per frame at `rate`: frame k reached the components with the
  // clock at origin + frameOffsetOf(k, frameSamples, rate).
  std::uint32_t frameSamples = 0;
  // The length of the longest recording, in ms.
  double durationMs = 0.0;
};

// Runs `config` offline. `onRecord` receives every sink record in the order
// described above. Errors that prevent the start (no source, sources that
// cannot be read or differ in rate or frame size, a system that cannot be
// made) come back with ok false and nothing run.
OfflineRunResult runOffline(const SystemConfig& config, const OfflineRunOptions& options,
                            const std::function<void(SinkRecord&&)>& onRecord);

}  // namespace vornix::host

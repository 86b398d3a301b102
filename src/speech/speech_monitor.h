// SpeechMonitor: turns the tracker's per-frame pitch and sound flag into
// speech events.
//
// Frame by frame it decides whether the speaker is speaking, pausing or
// silent, limits the pitch (ceiling, floor, largest step), detects a hum (a
// steady pitch held for a while) and sound without pitch, keeps the pitch of
// the current utterance in a ring, and posts "SpeechOn", "SpeechOff" (with
// the utterance's pitch values and a one-line pitch view) and "SpeechPause".
// Entries set between two posts accumulate in one current message.
//
// Parameters: "ModuleID", "PitchMonitorWindow" and "PrintPitch" are read at
// construction; "PitchLowPass", "PitchHighPass", "PitchDeltaConstraint",
// "PauseThreshold", "SegmentIntervalThreshold", "HumDurationThreshold",
// "HumPitchThreshold" and "SpeechOnDelay" anew at every frame, all with the
// integer getter (a real-valued setting reads as 0).
//
// Thread safety: one thread (the frame loop's) uses a monitor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/data_message.h"
#include "speech/speech_port.h"

namespace vornix {

class SpeechMonitor {
 public:
  enum State : std::int32_t { Speaking = 0, Pausing = 1, Silent = 2 };

  struct PitchSample {
    double pitch = 0.0;  // 0.0 for a frame at or below the floor
    std::int64_t time = 0;
  };

  // Reads the construction parameters through `port` (not owned; it must
  // stay valid until replaced with setPort or the monitor is destroyed). A
  // "PitchMonitorWindow" below 1 gives a ring of one entry, logged once.
  explicit SpeechMonitor(SpeechPort& port);

  // Gives the monitor the port of a new run of the frame loop.
  void setPort(SpeechPort& port) noexcept { port_ = &port; }

  // One analysed frame: its time in ms, the tracker's pitch (limited in
  // place) and sound flag.
  void processFrame(std::int64_t timeMs, double& pitch, bool soundPresent);

  State state() const noexcept { return state_; }
  std::uint32_t monitorWindow() const noexcept { return monitorWindow_; }

  // The character the pitch view shows for a pitch.
  static char viewCharacter(double pitch) noexcept;

 private:
  void readFrameParameters();
  void updateNoPitch(double pitch, bool soundPresent);
  void updateHum(double pitch, std::int64_t timeMs);
  void advanceRing(double pitch, std::int64_t timeMs);
  void addPitchEntries(std::int64_t timeMs, double pitch);
  void addNoPitchEntries(std::int64_t timeMs);
  void postSpeechOn(std::int64_t t);
  void postSpeechPause(std::int64_t t);
  void postSpeechOff(std::int64_t t);
  void post(const char* postName);
  static bool reaches(std::int64_t difference, std::uint32_t threshold) noexcept;

  std::uint32_t moduleId_ = 0;
  double pitchLowPass_ = 0.0;
  double pitchHighPass_ = 0.0;
  double pitchDeltaConstraint_ = 0.0;
  std::uint32_t monitorWindow_ = 1;
  std::uint32_t pauseThreshold_ = 0;
  std::uint32_t segmentIntervalThreshold_ = 0;
  std::uint32_t humDurationThreshold_ = 0;
  double humPitchThreshold_ = 0.0;
  std::int32_t speechOnDelay_ = 0;
  SpeechPort* port_;
  bool printPitch_ = false;
  State state_ = Silent;
  std::int32_t hum_ = 0;
  std::int32_t noPitch_ = 0;
  bool humChanged_ = false;
  bool noPitchChanged_ = false;
  std::int64_t speechEndTime_ = 0;
  std::int64_t pauseRefTime_ = 0;
  bool pausePending_ = false;
  std::int32_t ringStart_ = -1;
  std::int32_t ringEnd_ = -1;
  std::vector<PitchSample> pitchRing_;
  double lastPitch_ = -1.0;
  bool humTracking_ = false;
  std::int64_t humStart_ = 0;
  double lastHumPitch_ = 0.0;
  std::unique_ptr<DataMessage> currentMessage_;
  // Frames with sound still to skip before "SpeechOn"; set from
  // "SpeechOnDelay" on the first frame and refilled by silent frames.
  std::int32_t delayCounter_ = 0;
  bool sawFirstFrame_ = false;
};

}  // namespace vornix

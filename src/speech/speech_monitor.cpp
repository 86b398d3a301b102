#include "speech/speech_monitor.h"

#include <cmath>
#include <limits>

#include "util/clock.h"
#include "util/format.h"

namespace vornix {

namespace {

// Parameters are signed 64-bit integers; the monitor's fields are 32 bits
// wide and take the low 32 bits, as a 32-bit field written from a 64-bit
// value does.
std::uint32_t low32(std::int64_t value) noexcept {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
}

std::int32_t signed32(std::int64_t value) noexcept {
  return static_cast<std::int32_t>(low32(value));
}

}  // namespace

SpeechMonitor::SpeechMonitor(SpeechPort& port)
    : port_(&port), currentMessage_(std::make_unique<DataMessage>()) {
  moduleId_ = low32(port.integerParameter("ModuleID"));
  const std::int64_t window = port.integerParameter("PitchMonitorWindow");
  if (window < 1) {
    // The ring is written at the start of every utterance: it needs a slot.
    monitorWindow_ = 1;
    port.log(0,
             formatString("PitchMonitorWindow %lld raised to 1", static_cast<long long>(window)));
  } else {
    monitorWindow_ = window > std::numeric_limits<std::int32_t>::max()
                         ? static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())
                         : static_cast<std::uint32_t>(window);
  }
  pitchRing_.resize(monitorWindow_);
  printPitch_ = port.boolParameter("PrintPitch");
}

char SpeechMonitor::viewCharacter(double p) noexcept {
  if (p < 5) return '_';
  if (p < 30) return '.';
  if (p < 60) return ':';
  if (p < 90) return '|';
  if (p < 120) return '*';
  if (p < 150) return 'o';
  return 'O';
}

bool SpeechMonitor::reaches(std::int64_t difference, std::uint32_t threshold) noexcept {
  return difference >= 0 && difference >= static_cast<std::int64_t>(threshold);
}

void SpeechMonitor::readFrameParameters() {
  SpeechPort& p = *port_;
  pitchLowPass_ = static_cast<double>(p.integerParameter("PitchLowPass"));
  pitchHighPass_ = static_cast<double>(p.integerParameter("PitchHighPass"));
  pitchDeltaConstraint_ = static_cast<double>(p.integerParameter("PitchDeltaConstraint"));
  pauseThreshold_ = low32(p.integerParameter("PauseThreshold"));
  segmentIntervalThreshold_ = low32(p.integerParameter("SegmentIntervalThreshold"));
  humDurationThreshold_ = low32(p.integerParameter("HumDurationThreshold"));
  humPitchThreshold_ = static_cast<double>(p.integerParameter("HumPitchThreshold"));
  speechOnDelay_ = signed32(p.integerParameter("SpeechOnDelay"));
}

void SpeechMonitor::updateNoPitch(double pitch, bool soundPresent) {
  const std::int32_t next = (soundPresent && pitch == 0.0) ? 1 : 0;
  noPitchChanged_ = next != noPitch_;
  noPitch_ = next;
}

void SpeechMonitor::updateHum(double pitch, std::int64_t timeMs) {
  const std::int32_t before = hum_;
  if (pitch == 0.0) {
    hum_ = 0;
    humTracking_ = false;
  } else if (std::fabs(pitch - lastHumPitch_) <= humPitchThreshold_) {
    if (!humTracking_) {
      humStart_ = timeMs;
      humTracking_ = true;
    } else if (reaches(timeMs - humStart_, humDurationThreshold_)) {
      hum_ = 1;
    }
  } else if (humTracking_) {
    hum_ = 0;
    humTracking_ = false;
  }
  humChanged_ = hum_ != before;
  lastHumPitch_ = pitch;
}

void SpeechMonitor::advanceRing(double pitch, std::int64_t timeMs) {
  const auto next = [this](std::int32_t i) {
    return i == static_cast<std::int32_t>(monitorWindow_) - 1 ? 0 : i + 1;
  };
  ringEnd_ = next(ringEnd_);
  if (ringEnd_ == ringStart_) ringStart_ = next(ringStart_);
  const bool voiced = pitch > pitchHighPass_;
  pitchRing_[static_cast<std::size_t>(ringEnd_)] = PitchSample{voiced ? pitch : 0.0, timeMs};
  if (voiced) lastPitch_ = pitch;
}

void SpeechMonitor::processFrame(std::int64_t timeMs, double& pitch, bool soundPresent) {
  readFrameParameters();
  humChanged_ = false;
  updateNoPitch(pitch, soundPresent);
  if (!sawFirstFrame_) {
    sawFirstFrame_ = true;
    delayCounter_ = speechOnDelay_;
  }

  if (soundPresent) {
    if (pitch > pitchLowPass_) pitch = pitchLowPass_;
    if (pitch > pitchHighPass_ && lastPitch_ != -1.0) {
      if (pitch < lastPitch_ - pitchDeltaConstraint_) {
        pitch = lastPitch_ - pitchDeltaConstraint_;
      } else if (pitch > lastPitch_ + pitchDeltaConstraint_) {
        pitch = lastPitch_ + pitchDeltaConstraint_;
      }
    }
    switch (state_) {
      case Silent: {
        if (delayCounter_ > 0) {
          --delayCounter_;
          return;
        }
        state_ = Speaking;
        ringStart_ = ringEnd_ = 0;
        const bool voiced = pitch > pitchHighPass_;
        pitchRing_[0] = PitchSample{voiced ? pitch : 0.0, timeMs};
        if (voiced) lastPitch_ = pitch;
        postSpeechOn(timeMs);
        return;
      }
      case Pausing:
        state_ = Speaking;
        [[fallthrough]];
      case Speaking:
        updateHum(pitch, timeMs);
        advanceRing(pitch, timeMs);
        addPitchEntries(timeMs, pitch);
        return;
    }
    return;
  }

  switch (state_) {
    case Speaking:
      state_ = Pausing;
      speechEndTime_ = pauseRefTime_ = timeMs;
      pausePending_ = true;
      return;
    case Pausing:
      if (reaches(timeMs - speechEndTime_, segmentIntervalThreshold_)) {
        state_ = Silent;
        lastPitch_ = -1.0;
        postSpeechOff(speechEndTime_);
        pauseRefTime_ = timeMs;
        pausePending_ = true;
      } else {
        addNoPitchEntries(timeMs);
      }
      return;
    case Silent:
      hum_ = 0;
      humTracking_ = false;
      delayCounter_ = speechOnDelay_;
      if (pausePending_ && reaches(timeMs - pauseRefTime_, pauseThreshold_)) {
        postSpeechPause(timeMs);
        pausePending_ = false;
      }
      return;
  }
}

void SpeechMonitor::addPitchEntries(std::int64_t timeMs, double pitch) {
  DataMessage& m = *currentMessage_;
  m.setDouble("pitch", pitch);
  m.setInt("pitchtimems", timeMs);
  if (humChanged_) m.setInt("hum", hum_ == 1 ? 1 : 0);
  if (noPitchChanged_) m.setInt("speechNoPitch", noPitch_ == 1 ? 1 : 0);
  if (humChanged_ || noPitchChanged_) m.setInt("ModuleID", moduleId_);
}

void SpeechMonitor::addNoPitchEntries(std::int64_t timeMs) {
  if (!noPitchChanged_) return;
  DataMessage& m = *currentMessage_;
  m.setInt("timestamp", timeMs);
  m.setInt("speechNoPitch", noPitch_ == 1 ? 1 : 0);
  m.setInt("ModuleID", moduleId_);
}

void SpeechMonitor::post(const char* postName) {
  currentMessage_->setInt("ModuleID", moduleId_);
  currentMessage_->setCreatedTime(currentTime());
  port_->post(postName, std::move(currentMessage_));
  currentMessage_ = std::make_unique<DataMessage>();
}

void SpeechMonitor::postSpeechOn(std::int64_t t) {
  currentMessage_->setInt("timestamp", t);
  post("SpeechOn");
}

void SpeechMonitor::postSpeechPause(std::int64_t t) {
  currentMessage_->setInt("timestamp", t);
  post("SpeechPause");
}

void SpeechMonitor::postSpeechOff(std::int64_t t) {
  DataMessage& m = *currentMessage_;
  m.setInt("timestamp", t);
  const std::int64_t window = monitorWindow_;
  const std::int64_t count = ringStart_ <= ringEnd_ ? std::int64_t{ringEnd_} + 1 : window;
  m.setInt("PitchCollectionCount", count);

  std::string view;
  std::int64_t startTime = 0;
  std::int64_t endTime = 0;
  std::int64_t listed = 0;
  const auto list = [&](std::int64_t index) {
    const PitchSample& sample = pitchRing_[static_cast<std::size_t>(index)];
    m.setDouble(listed, "pitchvalue", sample.pitch);
    m.setInt(listed, "pitchtime", sample.time);
    view.push_back(viewCharacter(sample.pitch));
    if (listed == 0) startTime = sample.time;
    endTime = sample.time;
    ++listed;
  };
  if (count < window) {
    for (std::int64_t i = ringStart_; i >= 0 && i <= ringEnd_; ++i) list(i);
  } else {
    std::int64_t index = ringStart_ < 0 ? 0 : ringStart_;
    for (std::int64_t j = 0; j < count; ++j) {
      list(index);
      index = index + 1 == window ? 0 : index + 1;
    }
  }

  if (printPitch_) {
    port_->log(0, formatString("Pitch View: %s [%lld]", view.c_str(),
                               static_cast<long long>(endTime - startTime)));
  }
  m.setInt("Duration", (endTime - startTime) * 1000);
  m.setInt("PitchCount", listed);
  m.setString("PitchView", view.c_str());
  post("SpeechOff");
}

}  // namespace vornix

// Utterance starts read back to the first frame with sound: the speech
// component's SpeechOn delay and when it is spent, on the offline clock.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../cli/speech_onsets.cpp"  // NOLINT(bugprone-suspicious-include)
#include "runtime/data_message.h"
#include "speech/speech_monitor.h"
#include "speech/speech_port.h"

namespace loquant::cli {
namespace {

// 372 samples at 16 kHz: frame k is stamped floor(k × 23.25) ms.
constexpr FrameClock kClock{1'000'000ULL, 372, 16000};
constexpr OnsetRule kRule{2, 300};

double stamp(int k) {
  return static_cast<double>((k * 2325) / 100);
}

std::vector<double> starts(const std::vector<Utterance>& utterances) {
  std::vector<double> out;
  for (const Utterance& u : utterances) out.push_back(u.startMs);
  return out;
}

TEST(SpeechOnsets, StartsOffTheFrameClockOrWithoutADelayStayAsPosted) {
  const std::vector<Utterance> posted = {{stamp(10) + 0.5, stamp(30) + 1}, {stamp(60), stamp(70)}};
  std::vector<Utterance> offClock = posted;
  backdateOnsets(offClock, kClock, kRule);
  // The first is not on a frame; the second follows an end that is not.
  EXPECT_EQ(starts(offClock), starts(posted));

  std::vector<Utterance> noDelay = {{stamp(10), stamp(30)}};
  backdateOnsets(noDelay, kClock, OnsetRule{0, 300});
  EXPECT_EQ(starts(noDelay), std::vector<double>{stamp(10)});
  backdateOnsets(noDelay, FrameClock{1'000'000ULL, 0, 16000}, kRule);
  EXPECT_EQ(starts(noDelay), std::vector<double>{stamp(10)});
}

// The speech component's own monitor, fed frames with and without sound on
// the offline clock, keeps its utterances here: SpeechOn and SpeechOff as
// posted.
class UtterancePort final : public vornix::SpeechPort {
 public:
  explicit UtterancePort(std::map<std::string, std::int64_t> parameters)
      : parameters_(std::move(parameters)) {}
  std::int64_t integerParameter(const char* name) override {
    const auto it = parameters_.find(name);
    return it == parameters_.end() ? 0 : it->second;
  }
  bool boolParameter(const char*) override { return false; }
  int post(const char* postName, std::unique_ptr<vornix::DataMessage> message) override {
    const std::string name = postName;
    const double at = static_cast<double>(message->getInt("timestamp")) - 1000.0;
    if (name == "SpeechOn") utterances.push_back({at, at});
    if (name == "SpeechOff") utterances.back().endMs = at;
    return 1;
  }
  void log(std::uint8_t, const std::string&) override {}

  std::vector<Utterance> utterances;

 private:
  std::map<std::string, std::int64_t> parameters_;
};

TEST(SpeechOnsets, EveryStartIsTheFirstFrameOfItsSoundAsTheMonitorCountsIt) {
  // Random runs of frames with and without sound, through the monitor at
  // several delays, thresholds and frame clocks: each start read back is
  // the first frame of the run of sound that SpeechOn was posted in.
  std::mt19937 random(7);
  std::uniform_int_distribution<int> runLength(1, 30);
  for (const FrameClock clock : {FrameClock{1'000'000ULL, 1024, 44100}, kClock}) {
    for (const std::int64_t delay : {0, 1, 2, 3}) {
      for (const std::int64_t threshold : {0, 50, 300, 500}) {
        UtterancePort port({{"PitchMonitorWindow", 64},
                            {"SpeechOnDelay", delay},
                            {"SegmentIntervalThreshold", threshold},
                            {"PauseThreshold", 500}});
        vornix::SpeechMonitor monitor(port);
        std::vector<bool> sound;
        for (bool on = random() % 2 == 0; sound.size() < 2000; on = !on) {
          sound.insert(sound.end(), static_cast<std::size_t>(runLength(random)), on);
        }
        for (std::size_t k = 0; k < sound.size(); ++k) {
          const std::uint64_t micros =
              clock.originMicros + vornix::host::frameOffsetOf(k, clock.frameSamples, clock.rate);
          double pitch = sound[k] ? 100.0 : 0.0;
          monitor.processFrame(static_cast<std::int64_t>(micros / 1000U), pitch, sound[k]);
        }
        std::vector<Utterance> read = port.utterances;
        ASSERT_GT(read.size(), 10U);
        backdateOnsets(read, clock, OnsetRule{delay, threshold});
        const FrameStamps stamps(clock);
        for (std::size_t i = 0; i < read.size(); ++i) {
          auto k = static_cast<std::size_t>(*stamps.frameAt(port.utterances[i].startMs));
          while (k > 0 && sound[k - 1]) --k;
          EXPECT_EQ(read[i].startMs, stamps.at(k))
              << "utterance " << i << ", delay " << delay << ", threshold " << threshold
              << ", frame of " << clock.frameSamples;
        }
      }
    }
  }
}

}  // namespace
}  // namespace loquant::cli

// Helpers of the tests of `loquant run` and `loquant inspect`: a system with
// one source playing a recording into a speech component, instance numbers
// of this test process, and the inspect output's counters.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"
#include "support/instance_objects.h"
#include "support/test_instances.h"
#include "support/test_process.h"

namespace loquant::test {

// One source playing a mono recording into a speech component, and a sink.
inline std::string configText(std::uint16_t instance, const std::string& recording) {
  return "instance = " + std::to_string(instance) +
         "\n\n"
         "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
         "[components.parameters]\nFile = \"" +
         recording +
         "\"\nTarget = \"speaker1\"\nBufferSize = 372\n\n"
         "[[components]]\nname = \"speaker1\"\nentry = \"Runtime\"\n"
         "[components.parameters]\nBufferSize = 372\nSamplingFrequency = 16000\n"
         "AmplitudeThreshold = 0.75\nNoiseThreshold = 5.0\nModuleID = 1\n"
         "PitchMonitorWindow = 4096\nPitchLowPass = 250\nPitchHighPass = 30\n"
         "PitchDeltaConstraint = 40\nPauseThreshold = 500\nSegmentIntervalThreshold = 300\n"
         "HumDurationThreshold = 1500\nHumPitchThreshold = 2\nSpeechOnDelay = 0\n"
         "[[components.triggers]]\nname = \"AudioFrame\"\ntype = \"Audio.Frame\"\n"
         "posts = [ { name = \"SpeechOn\", type = \"Speech.On\" },\n"
         "          { name = \"SpeechOff\", type = \"Speech.Off\" },\n"
         "          { name = \"SpeechPause\", type = \"Speech.Pause\", ttl = 60000000 } ]\n\n"
         "[[components]]\nname = \"out\"\nentry = \"sink\"\n";
}

// An instance number of this test process alone; another at every call.
inline std::uint16_t ownInstance() {
  return vornix::test::testInstance();
}

// The named objects of the instance that outlive its stop.
inline std::vector<std::string> objectsOf(std::uint16_t instance) {
  return vornix::test::leftAfterStop(instance);
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// The "received" column of a component's row in the inspect output.
inline std::optional<unsigned long long> received(const std::string& inspect,
                                                  const std::string& name) {
  const std::regex row("^\\s*\\d+\\s+" + name + "\\s+\\d+\\s+(\\d+)\\s");
  for (const std::string& line : lines(inspect)) {
    std::smatch m;
    if (std::regex_search(line, m, row)) return std::stoull(m[1]);
  }
  return std::nullopt;
}

}  // namespace loquant::test

// Shared fixtures of the analysis tests: recorders for posts and lines, and
// messages shaped as the speech monitor posts them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analysis/poster.h"
#include "runtime/data_message.h"

namespace vornix::testing {

struct Post {
  std::string name;  // "<null>" for a null post name
  std::unique_ptr<DataMessage> message;
};

class RecordingPoster final : public Poster {
 public:
  int post(const char* postName, std::unique_ptr<DataMessage> message) override {
    posts.push_back({postName != nullptr ? postName : "<null>", std::move(message)});
    return 1;
  }
  std::vector<Post> posts;
};

class RecordingWriter final : public LineWriter {
 public:
  void write(std::string_view t) override { text += t; }
  std::string text;
};

// Entry names of a message in record order.
inline std::vector<std::string> entryNames(const DataMessage& message) {
  std::vector<std::string> names;
  message.forEachEntry([&](const EntryView& e) {
    names.emplace_back(e.name);
    return true;
  });
  return names;
}

struct Sample {
  double value;
  std::int64_t time;
};

// A "SpeechOff" message as the speech monitor writes it: the last frame's
// "pitch"/"pitchtimems", then "timestamp", "PitchCollectionCount", the
// indexed samples, "Duration", "PitchCount", "PitchView" and the integer
// "ModuleID".
inline std::unique_ptr<DataMessage> speechOff(std::int64_t timestamp,
                                              const std::vector<Sample>& samples,
                                              std::int64_t moduleId = 1) {
  auto m = std::make_unique<DataMessage>();
  if (samples.size() > 1) {
    m->setDouble("pitch", samples.back().value);
    m->setInt("pitchtimems", samples.back().time);
  }
  m->setInt("timestamp", timestamp);
  const auto count = static_cast<std::int64_t>(samples.size());
  m->setInt("PitchCollectionCount", count);
  std::string view;
  for (std::int64_t i = 0; i < count; ++i) {
    const Sample& s = samples[static_cast<std::size_t>(i)];
    m->setDouble(i, "pitchvalue", s.value);
    m->setInt(i, "pitchtime", s.time);
    view += s.value < 5 ? '_' : '*';
  }
  const std::int64_t span = samples.empty() ? 0 : samples.back().time - samples.front().time;
  m->setInt("Duration", span * 1000);
  m->setInt("PitchCount", count);
  m->setString("PitchView", view.c_str());
  m->setInt("ModuleID", moduleId);
  return m;
}

// A "SpeechOn" or "SpeechPause" message: "timestamp" and "ModuleID".
inline std::unique_ptr<DataMessage> speechEvent(std::int64_t timestamp, std::int64_t moduleId) {
  auto m = std::make_unique<DataMessage>();
  m->setInt("timestamp", timestamp);
  m->setInt("ModuleID", moduleId);
  return m;
}

}  // namespace vornix::testing

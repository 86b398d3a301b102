// The live view of `loquant listen` on a terminal: one line per speaker,
// redrawn in place on stderr a few times a second: the level of the audio
// just heard, whether the speaker is speaking (between a SpeechOn and its
// SpeechOff), and the voice's fundamental of the last utterance (the median
// of its tracked pitch, doubled to Hz: see README, "Pitch values").
//
// Thread safety: level() from the capture thread, record() from the routing
// thread, draw() and clear() from the controlling thread; all may overlap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host/system.h"

namespace loquant::cli {

class LiveView {
 public:
  LiveView(std::vector<std::string> speakers, std::FILE* terminal);

  // The RMS level (dBFS) of a frame of speaker `index`.
  void level(std::size_t index, std::span<const std::int16_t> frame);
  // Takes note of speech events of the speaker `record.source` describes.
  void record(const vornix::host::SinkRecord& record);
  // Redraws the lines (the first call draws them).
  void draw();
  // Removes the lines, leaving the cursor where they began.
  void clear();

  // The median of the non-zero "pitchvalue" entries of a SpeechOff message,
  // doubled (Hz); 0 when there is none.
  static double utteranceHz(const vornix::DataMessage& message);
  // The RMS level of `frame` in dBFS (-120 for silence).
  static double levelDbfs(std::span<const std::int16_t> frame) noexcept;

 private:
  struct Speaker {
    std::atomic<double> levelDb{-120.0};
    std::atomic<bool> speaking{false};
    std::atomic<double> hz{0.0};
  };
  std::vector<std::string> names_;
  std::unique_ptr<Speaker[]> speakers_;
  std::FILE* terminal_;
  std::mutex drawing_;
  bool drawn_ = false;
};

}  // namespace loquant::cli

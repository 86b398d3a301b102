#include "live_view.h"

#include <algorithm>
#include <cmath>

#include "pitch_entries.h"

namespace loquant::cli {

LiveView::LiveView(std::vector<std::string> speakers, std::FILE* terminal)
    : names_(std::move(speakers)),
      speakers_(std::make_unique<Speaker[]>(names_.size())),
      terminal_(terminal) {}

double LiveView::levelDbfs(std::span<const std::int16_t> frame) noexcept {
  if (frame.empty()) return -120.0;
  double sum = 0.0;
  for (const std::int16_t s : frame) sum += static_cast<double>(s) * s;
  const double rms = std::sqrt(sum / static_cast<double>(frame.size())) / 32768.0;
  return rms > 1e-6 ? std::max(-120.0, 20.0 * std::log10(rms)) : -120.0;
}

double LiveView::utteranceHz(const vornix::DataMessage& message) {
  bool found = false;
  const std::int64_t count = message.getInt("PitchCount", &found);
  if (!found || count <= 0) return 0.0;
  std::vector<double> values;
  for (const IndexedPitch& p : readPitchList(message, count)) {
    if (p.hz > 0.0 && std::isfinite(p.hz)) values.push_back(p.hz);
  }
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return 2.0 * *middle;
}

void LiveView::level(std::size_t index, std::span<const std::int16_t> frame) {
  if (index < names_.size()) speakers_[index].levelDb.store(levelDbfs(frame));
}

void LiveView::record(const vornix::host::SinkRecord& record) {
  if (record.source < 0 || static_cast<std::size_t>(record.source) >= names_.size()) return;
  Speaker& speaker = speakers_[static_cast<std::size_t>(record.source)];
  if (record.postName == "SpeechOn") {
    speaker.speaking.store(true);
  } else if (record.postName == "SpeechOff") {
    speaker.speaking.store(false);
    if (const double hz = utteranceHz(record.message); hz > 0.0) speaker.hz.store(hz);
  }
}

void LiveView::draw() {
  std::lock_guard<std::mutex> lock(drawing_);
  if (drawn_) std::fprintf(terminal_, "\x1b[%zuA", names_.size());
  for (std::size_t i = 0; i < names_.size(); ++i) {
    const Speaker& s = speakers_[i];
    const double db = s.levelDb.load();
    // A bar of 30 cells from -90 to 0 dBFS.
    const int cells = std::clamp(static_cast<int>((db + 90.0) / 3.0), 0, 30);
    const std::string bar = std::string(static_cast<std::size_t>(cells), '#') +
                            std::string(static_cast<std::size_t>(30 - cells), '.');
    const double hz = s.hz.load();
    std::fprintf(terminal_, "\r\x1b[2K%-10s %6.1f dBFS %s %-8s", names_[i].c_str(), db, bar.c_str(),
                 s.speaking.load() ? "speaking" : "-");
    if (hz > 0.0) {
      std::fprintf(terminal_, " F0 %.0f Hz (last utterance)\n", hz);
    } else {
      std::fputs(" F0 -\n", terminal_);
    }
  }
  std::fflush(terminal_);
  drawn_ = true;
}

void LiveView::clear() {
  std::lock_guard<std::mutex> lock(drawing_);
  if (!drawn_) return;
  std::fprintf(terminal_, "\x1b[%zuA", names_.size());
  for (std::size_t i = 0; i < names_.size(); ++i) std::fputs("\r\x1b[2K\n", terminal_);
  std::fprintf(terminal_, "\x1b[%zuA", names_.size());
  std::fflush(terminal_);
  drawn_ = false;
}

}  // namespace loquant::cli

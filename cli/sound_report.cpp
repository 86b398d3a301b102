#include "sound_report.h"

#include <mutex>

#include "soundfile/sound_file.h"

namespace loquant::cli {

namespace {

std::mutex reportGuard;
std::string& report() {
  static std::string text;
  return text;
}

void keep(const char* text) {
  std::lock_guard<std::mutex> lock(reportGuard);
  std::string& r = report();
  r = text != nullptr ? text : "";
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
}

}  // namespace

void captureSoundFileReports() {
  vornix::setSoundFileErrorCallback(keep);
  std::lock_guard<std::mutex> lock(reportGuard);
  report().clear();
}

std::string lastSoundFileReport(const char* fallback) {
  std::lock_guard<std::mutex> lock(reportGuard);
  return report().empty() ? std::string(fallback) : report();
}

}  // namespace loquant::cli

#include "sound_report.h"

#include <mutex>
#include <string_view>

#include "soundfile/sound_file.h"

namespace loquant::cli {

namespace {

std::mutex reportGuard;
std::string& report() {
  static std::string text;
  return text;
}

// The routines print a rate that is not a number as the infinity their
// decoder gives for every value with the largest exponent ("sample rate inf
// not supported"): say what is known instead.
void nameNonFiniteRate(std::string& r) {
  for (const std::string_view shown : {"inf", "-inf", "nan", "-nan"}) {
    const std::string said = "sample rate " + std::string(shown) + " not supported";
    const std::size_t at = r.find(said);
    if (at != std::string::npos) {
      r.replace(at, said.size(), "sample rate not a finite number");
      return;
    }
  }
}

void keep(const char* text) {
  std::lock_guard<std::mutex> lock(reportGuard);
  std::string& r = report();
  r = text != nullptr ? text : "";
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
  nameNonFiniteRate(r);
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

// A short tour of the message record: builds a speech message as the speech
// monitor would, prints its entries, and shows its limited copy.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/data_message.h"
#include "util/clock.h"
#include "util/format.h"

namespace {

void print(const vornix::DataMessage& message, const char* title) {
  std::printf("%s: %u bytes, %u entries, created %s\n", title, message.size(), message.userCount(),
              vornix::formatTimeString(message.getCreatedTime(), false, true, false).c_str());
  message.forEachEntry([](const vornix::EntryView& entry) {
    std::printf("  %-24.*s ", static_cast<int>(entry.name.size()), entry.name.data());
    switch (entry.kind) {
      case vornix::RecordKind::kInteger: {
        std::int64_t v = 0;
        std::memcpy(&v, entry.value.data(), sizeof v);
        std::printf("integer %" PRId64 "\n", v);
        break;
      }
      case vornix::RecordKind::kFloat: {
        double v = 0;
        std::memcpy(&v, entry.value.data(), sizeof v);
        std::printf("real    %g\n", v);
        break;
      }
      case vornix::RecordKind::kText:
        std::printf("text    \"%s\"\n", reinterpret_cast<const char*>(entry.value.data()));
        break;
      default:
        std::printf("kind 0x%X, %zu bytes\n", static_cast<unsigned>(entry.kind),
                    entry.value.size());
    }
    return true;
  });
}

}  // namespace

int main() {
  vornix::DataMessage off;
  off.setInt("timestamp", 1000);
  const double pitches[] = {110.0, 108.0, 104.0, 101.0};
  for (std::int64_t i = 0; i < 4; ++i) {
    off.setDouble(i, "pitchvalue", pitches[i]);
    off.setInt(i, "pitchtime", 1000 + 23 * i);
  }
  off.setInt("PitchCount", 4);
  off.setString("PitchView", "****");
  off.setInt("ModuleID", 1);
  print(off, "SpeechOff");

  std::vector<std::uint8_t> blob(6000, 0x5A);
  off.setData("Audio", blob);
  print(vornix::DataMessage(off, 4096), "Limited copy (4096)");
  std::printf("%s in the original record\n", vornix::byteSizeText(off.size()).c_str());
  return 0;
}

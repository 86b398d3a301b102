// A host of one's own over an installed Loquant: it makes a component handle,
// hands it to each of the six entry points on a thread of its own, and stops
// them; it also builds a message record and reads it back. Exit status 0 when
// everything answered as the interface says.
#include <loquant/loquant.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "runtime/data_message.h"
#include "runtime/zel_api.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

template <typename Entry>
void runStopped(const char* name, Entry entry, int component) {
  // A handle without sections: the component reads no parameters, and a
  // cleared running flag ends its loop at once with the normal-end code.
  vornix::HostContext context;
  vornix::ZelAPI handle(&context, static_cast<std::uint32_t>(component),
                        "consumer-" + std::to_string(component));
  handle.setRunning(false);
  std::int32_t result = -100;
  std::thread task([&] { result = entry(&handle); });
  task.join();
  check(result == 0, std::string(name) + " over a stopped handle returns 0");
  check(entry(nullptr) == (sizeof(entry(nullptr)) == 1 ? 255 : -1),
        std::string(name) + " answers a null handle");
}

}  // namespace

int main() {
  runStopped("AnalyzeSingle", &AnalyzeSingle, 1);
  runStopped("AnalyzeSingleContinuous", &AnalyzeSingleContinuous, 2);
  runStopped("AnalyzeTwo", &AnalyzeTwo, 3);
  runStopped("PitchTrackerDetector", &PitchTrackerDetector, 4);
  runStopped("Runtime", &Runtime, 5);
  runStopped("Test", &Test, 6);

  vornix::DataMessage message;
  message.setInt("timestamp", 1557);
  message.setString("Vector", "Down_Below");
  const char* vector = message.getString("Vector");
  check(message.getInt("timestamp") == 1557 && vector != nullptr &&
            std::strcmp(vector, "Down_Below") == 0,
        "a message record keeps its entries");
  return failures == 0 ? 0 : 1;
}

#include "live_system.h"

#include <cstdio>

namespace loquant::cli {

bool startLiveSystem(std::string_view verb, const vornix::host::SystemConfig& config,
                     const std::string& library, const std::string& publish, LiveSystem& live) {
  const std::string prefix = "loquant " + std::string(verb);
  std::string error;
  if (!publish.empty()) {
    live.publisher = EventPublisher::open(publish, stderr, error);
    if (!live.publisher) {
      std::fprintf(stderr, "%s: %s\n", prefix.c_str(), error.c_str());
      return false;
    }
  }
  vornix::host::SystemOptions options;
  options.libraryPath = !library.empty() ? library : config.library;
  options.logOutput = stderr;
  live.system = vornix::host::System::create(config, options, error);
  if (!live.system) {
    std::fprintf(stderr, "%s: %s\n", prefix.c_str(), error.c_str());
    return false;
  }
  if (!live.system->missing().empty()) {
    live.system.reset();
    return false;
  }
  return true;
}

void publishLine(const LiveSystem& live, const vornix::host::SinkRecord& record,
                 std::string_view jsonLine, std::uint16_t instance) {
  if (!live.publisher) return;
  if (jsonLine.ends_with('\n')) jsonLine.remove_suffix(1);
  live.publisher->publish(record.sender, record.postName, jsonLine, instance);
}

}  // namespace loquant::cli

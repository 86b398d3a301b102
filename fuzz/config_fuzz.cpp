// Fuzzes the configuration reader over arbitrary text. Whatever the text, it
// gives either a configuration or an error that names a line inside the
// text; an accepted configuration holds only what the checks promise.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.h"
#include "host/config.h"

using vornix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vornix::fuzz::silenceLogs();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vornix::host::ConfigResult result = vornix::host::parseConfig(text, "fuzz.toml");
  if (const auto* error = std::get_if<vornix::host::ConfigError>(&result)) {
    check(!error->reason.empty());
    const auto lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
    check(error->line >= 0 && error->line <= lines + 1);
    check(error->text().find(error->reason) != std::string::npos);
    return 0;
  }
  const auto& config = std::get<vornix::host::SystemConfig>(result);
  for (const auto& component : config.components) {
    check(!component.name.empty());
    check(config.find(component.name) == &component);
    for (const auto& trigger : component.triggers) {
      for (const auto& post : trigger.posts) {
        for (const auto& triple : post.content) {
          check(triple.type == "S" || triple.type == "I" || triple.type == "F");
        }
      }
    }
  }
  return 0;
}

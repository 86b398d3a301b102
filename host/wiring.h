// Wiring: what a configuration connects, worked out once when a system is
// made. For every component its triggers, each carrying the "TriggerSpec"
// bytes that encode the trigger's post specifications and their content
// triples; the name of every post by (sender, post tag); what kind of
// built-in component it is, if any; and which source's frames alone lead
// to it, so that a record can be attributed to the speaker it describes
// without reading meaning into component names.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/config.h"
#include "host/type_registry.h"
#include "runtime/data_message.h"
#include "runtime/message_type.h"

namespace vornix::host {

// Components the host runs itself instead of the library: "sink" turns
// every message routed to it into a record; "source" plays a recording
// (host/audio_source.h) and "capture" records a device (host/live_capture.h),
// both of kind source.
enum class BuiltIn { none, sink, source };
BuiltIn builtInKind(std::string_view entry) noexcept;

struct Trigger {
  std::string name;
  MessageType pattern;
  // Carries the "TriggerSpec" entry; shared by every pair queued for the
  // trigger, never changed.
  std::shared_ptr<const DataMessage> message;
};

struct ComponentWiring {
  std::uint32_t id = 0;  // 1-based, in configuration order
  BuiltIn builtIn = BuiltIn::none;
  std::vector<Trigger> triggers;
  // The index (among the sources, in configuration order) of the one
  // source whose frames lead to this component through targets and
  // trigger patterns; -1 when none or several do.
  int source = -1;
};

class Wiring {
 public:
  // Numbers the components 1..N in configuration order, interns every type
  // in `types` and encodes every trigger. Null with the reason in `error`
  // when a name or content does not fit its field or the type levels run
  // out.
  [[nodiscard]] static std::optional<Wiring> build(const SystemConfig& config, TypeRegistry& types,
                                                   std::string& error);

  // In configuration order: components()[i].id == i + 1.
  const std::vector<ComponentWiring>& components() const noexcept { return components_; }
  std::vector<ComponentWiring>& components() noexcept { return components_; }
  // The id of the component named `name`; 0 when there is none.
  std::uint32_t idOf(const std::string& name) const;
  // The name of the post with tag `postTag` that component `from` posts;
  // empty when there is none.
  const std::string& postName(std::uint32_t from, std::uint32_t postTag) const;
  // The source index of component `id` (see ComponentWiring::source).
  int sourceOf(std::uint32_t id) const noexcept;
  // How many source components there are.
  int sourceCount() const noexcept { return sources_; }

 private:
  void attributeSources(const SystemConfig& config, TypeRegistry& types);

  std::vector<ComponentWiring> components_;
  std::map<std::string, std::uint32_t> ids_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> postNames_;
  int sources_ = 0;
};

}  // namespace vornix::host

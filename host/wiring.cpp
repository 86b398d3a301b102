#include "host/wiring.h"

#include <set>

#include "host/trigger_spec_writer.h"

namespace vornix::host {

BuiltIn builtInKind(std::string_view entry) noexcept {
  if (entry == "sink") return BuiltIn::sink;
  if (entry == "source") return BuiltIn::source;
  // A capture (host/live_capture.h) is a source whose frames come from a
  // device instead of a file.
  if (entry == "capture") return BuiltIn::source;
  return BuiltIn::none;
}

std::optional<Wiring> Wiring::build(const SystemConfig& config, TypeRegistry& types,
                                    std::string& error) {
  Wiring wiring;
  std::uint32_t nextId = 1;
  for (const ComponentConfig& c : config.components) wiring.ids_[c.name] = nextId++;
  if (!types.intern("Audio.Frame")) {
    error = "too many type level names";
    return std::nullopt;
  }
  std::uint32_t nextTag = 1;
  for (const ComponentConfig& cfg : config.components) {
    ComponentWiring component;
    component.id = wiring.ids_[cfg.name];
    component.builtIn = builtInKind(cfg.entry);
    for (const TriggerConfig& t : cfg.triggers) {
      const std::optional<MessageType> pattern = types.intern(t.pattern);
      if (!pattern) {
        error = "too many type level names";
        return std::nullopt;
      }
      std::vector<PostSpecBytes> posts;
      for (const PostConfig& p : t.posts) {
        const std::optional<MessageType> postType = types.intern(p.type);
        const std::optional<MessageType> postContext = types.intern(p.context);
        if (!postType || !postContext) {
          error = "too many type level names";
          return std::nullopt;
        }
        PostSpecBytes spec;
        spec.targetId = p.target.empty() ? 0 : wiring.idOf(p.target);
        spec.type = *postType;
        spec.context = *postContext;
        spec.postTag = p.postTag != 0 ? p.postTag : nextTag++;
        spec.defaultTtl = p.ttl;
        spec.dropFlags = p.drop ? 1 : 0;
        spec.tripleCount = static_cast<std::uint32_t>(p.content.size());
        spec.postName = p.name;
        // Content triples travel as one text: "T||name||value", joined by "||".
        for (const ContentTriple& triple : p.content) {
          if (!spec.content.empty()) spec.content += "||";
          spec.content += triple.type + "||" + triple.name + "||" + triple.value;
        }
        wiring.postNames_[{component.id, spec.postTag}] = p.name;
        posts.push_back(std::move(spec));
      }
      std::optional<std::vector<std::uint8_t>> bytes = buildTriggerSpec(t.name, posts);
      if (!bytes) {
        error = "component '" + cfg.name + "', trigger '" + t.name +
                "': a name or content is too long for its field";
        return std::nullopt;
      }
      auto message = std::make_shared<DataMessage>();
      message->setData("TriggerSpec", *bytes);
      component.triggers.push_back(Trigger{t.name, *pattern, std::move(message)});
    }
    wiring.components_.push_back(std::move(component));
  }
  wiring.attributeSources(config, types);
  return wiring;
}

void Wiring::attributeSources(const SystemConfig& config, TypeRegistry& types) {
  const std::size_t n = components_.size();
  std::vector<std::set<int>> reach(n);
  // A source's frames go to its target only.
  for (std::size_t i = 0; i < n; ++i) {
    if (components_[i].builtIn != BuiltIn::source) continue;
    const int index = sources_++;
    for (const ParameterSpec& p : config.components[i].parameters) {
      const auto* target = std::get_if<std::string>(&p.value);
      if (p.name != "Target" || target == nullptr) continue;
      if (const std::uint32_t id = idOf(*target); id != 0) reach[id - 1].insert(index);
    }
  }
  // A post reaches its target, or every component with a trigger for its
  // type; what reaches the poster reaches them too, until nothing changes.
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t from = 0; from < n; ++from) {
      if (reach[from].empty()) continue;
      for (const TriggerConfig& t : config.components[from].triggers) {
        for (const PostConfig& p : t.posts) {
          const std::optional<MessageType> type = types.intern(p.type);
          for (std::size_t to = 0; to < n; ++to) {
            bool reaches = false;
            if (!p.target.empty()) {
              reaches = idOf(p.target) == components_[to].id;
            } else if (type) {
              for (const Trigger& trigger : components_[to].triggers) {
                reaches = reaches || typeMatches(*type, trigger.pattern);
              }
            }
            if (!reaches) continue;
            const std::size_t before = reach[to].size();
            reach[to].insert(reach[from].begin(), reach[from].end());
            changed = changed || reach[to].size() != before;
          }
        }
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    components_[i].source = reach[i].size() == 1 ? *reach[i].begin() : -1;
  }
}

std::uint32_t Wiring::idOf(const std::string& name) const {
  const auto found = ids_.find(name);
  return found != ids_.end() ? found->second : 0;
}

const std::string& Wiring::postName(std::uint32_t from, std::uint32_t postTag) const {
  static const std::string kNone;
  const auto found = postNames_.find({from, postTag});
  return found != postNames_.end() ? found->second : kNone;
}

int Wiring::sourceOf(std::uint32_t id) const noexcept {
  return id >= 1 && id <= components_.size() ? components_[id - 1].source : -1;
}

}  // namespace vornix::host

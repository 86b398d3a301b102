#include "host/type_registry.h"

namespace vornix::host {

std::optional<MessageType> TypeRegistry::intern(const TypePath& path) {
  MessageType type;
  if (path.size() > MessageType::kLevels) return std::nullopt;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == "*") {
      type.levels[i] = MessageType::kAny;
      continue;
    }
    auto found = numbers_.find(path[i]);
    if (found == numbers_.end()) {
      if (next_ >= MessageType::kAny) return std::nullopt;
      found = numbers_.emplace(path[i], next_++).first;
    }
    type.levels[i] = found->second;
  }
  return type;
}

std::vector<LevelName> TypeRegistry::levels() const {
  std::vector<LevelName> out;
  out.reserve(numbers_.size());
  for (const auto& [name, level] : numbers_) out.push_back(LevelName{level, name});
  return out;
}

}  // namespace vornix::host

#include "util/object_names.h"

namespace vornix {

std::string fullObjectName(std::string_view kind, std::string_view logicalName) {
  const std::size_t end = logicalName.find('\0');
  if (end != std::string_view::npos) logicalName = logicalName.substr(0, end);
  std::string name = "Local\\";
  name.reserve(name.size() + kind.size() + logicalName.size());
  name += kind;
  name += logicalName;
  return name;
}

}  // namespace vornix

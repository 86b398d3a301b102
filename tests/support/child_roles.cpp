#include "support/child_roles.h"

#include <map>
#include <mutex>
#include <string>

namespace vornix::test {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ChildRole, std::less<>> roles;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

bool registerChildRole(const char* name, ChildRole role) {
  Registry& r = registry();
  const std::lock_guard<std::mutex> lock(r.mutex);
  r.roles.emplace(name, role);
  return true;
}

namespace detail {

ChildRole findChildRole(std::string_view name) {
  Registry& r = registry();
  const std::lock_guard<std::mutex> lock(r.mutex);
  const auto found = r.roles.find(name);
  return found != r.roles.end() ? found->second : nullptr;
}

}  // namespace detail
}  // namespace vornix::test

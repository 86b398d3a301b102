// The component library as the host loads it: by path, entry points found by
// their export names. The library stays loaded while the object lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace vornix {
class ZelAPI;
}

namespace vornix::host {

// An entry point, of either result width.
struct EntryPoint {
  using Wide = std::int32_t (*)(ZelAPI*);
  using Narrow = std::uint8_t (*)(ZelAPI*);
  std::variant<std::monostate, Wide, Narrow> function;

  explicit operator bool() const noexcept { return function.index() != 0; }
  // Calls it; the result widened to 32 bits (an 8-bit 255 stays 255).
  std::int32_t operator()(ZelAPI* api) const;
};

class ComponentLibrary {
 public:
  // Loads the library at `path`; null with the reason in `error` on failure.
  [[nodiscard]] static std::unique_ptr<ComponentLibrary> open(const std::string& path,
                                                              std::string& error);
  // The library built with this host, found beside the running program or in
  // the build tree.
  static std::string defaultPath();

  class Key {
    friend class ComponentLibrary;
    Key() = default;
  };
  ComponentLibrary(Key, std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}
  ~ComponentLibrary();
  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  // The entry point exported under `name`; empty when the library has none
  // or `name` is not one of the six entry points.
  EntryPoint find(const std::string& name) const;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
  void* handle_;
};

}  // namespace vornix::host

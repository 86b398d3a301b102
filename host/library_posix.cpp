#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "host/library.h"

namespace vornix::host {

namespace {
// The entry points and their result widths.
constexpr std::array<const char*, 4> kWide = {"AnalyzeSingle", "AnalyzeSingleContinuous",
                                              "AnalyzeTwo", "PitchTrackerDetector"};
constexpr std::array<const char*, 2> kNarrow = {"Runtime", "Test"};
}  // namespace

std::int32_t EntryPoint::operator()(ZelAPI* api) const {
  if (const auto* wide = std::get_if<Wide>(&function)) return (*wide)(api);
  if (const auto* narrow = std::get_if<Narrow>(&function)) return (*narrow)(api);
  return -1;
}

std::unique_ptr<ComponentLibrary> ComponentLibrary::open(const std::string& path,
                                                         std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "cannot be loaded";
    return nullptr;
  }
  return std::make_unique<ComponentLibrary>(Key{}, path, handle);
}

std::string ComponentLibrary::defaultPath() {
  // Beside the program first (an installed or copied tree), then lib/ next to
  // its folder, then the build tree this host was built in.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const auto& candidate : {self.parent_path() / "libloquant.so",
                                  self.parent_path().parent_path() / "lib" / "libloquant.so",
                                  self.parent_path().parent_path() / "src" / "libloquant.so"}) {
      if (std::filesystem::exists(candidate, ec)) return candidate.string();
    }
  }
  return LOQUANT_DEFAULT_LIBRARY;
}

ComponentLibrary::~ComponentLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

EntryPoint ComponentLibrary::find(const std::string& name) const {
  EntryPoint entry;
  for (const char* wide : kWide) {
    if (name == wide) entry.function = reinterpret_cast<EntryPoint::Wide>(dlsym(handle_, wide));
  }
  for (const char* narrow : kNarrow) {
    if (name == narrow) entry.function = reinterpret_cast<EntryPoint::Narrow>(dlsym(handle_, narrow));
  }
  // A symbol that is missing leaves a null pointer of the right kind.
  if (const auto* w = std::get_if<EntryPoint::Wide>(&entry.function); w != nullptr && *w == nullptr) {
    entry.function = std::monostate{};
  }
  if (const auto* n = std::get_if<EntryPoint::Narrow>(&entry.function); n != nullptr && *n == nullptr) {
    entry.function = std::monostate{};
  }
  return entry;
}

}  // namespace vornix::host

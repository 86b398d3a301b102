#include "host/library.h"

#include <array>

#include "host/library_os.h"

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
  void* handle = os::loadLibrary(path, error);
  if (handle == nullptr) return nullptr;
  return std::make_unique<ComponentLibrary>(Key{}, path, handle);
}

std::string ComponentLibrary::defaultPath() {
  std::string beside = os::libraryBesideProgram();
  return beside.empty() ? os::expectedLibrary() : beside;
}

ComponentLibrary::~ComponentLibrary() {
  if (handle_ != nullptr) os::unloadLibrary(handle_);
}

EntryPoint ComponentLibrary::find(const std::string& name) const {
  // A missing symbol leaves the entry empty rather than a null function.
  EntryPoint entry;
  for (const char* wide : kWide) {
    if (name != wide) continue;
    if (const os::RawSymbol symbol = os::librarySymbol(handle_, wide)) {
      entry.function = reinterpret_cast<EntryPoint::Wide>(symbol);
    }
  }
  for (const char* narrow : kNarrow) {
    if (name != narrow) continue;
    if (const os::RawSymbol symbol = os::librarySymbol(handle_, narrow)) {
      entry.function = reinterpret_cast<EntryPoint::Narrow>(symbol);
    }
  }
  return entry;
}

}  // namespace vornix::host

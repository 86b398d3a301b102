// Libraries on POSIX: dlopen, dlsym, dlclose.
#include <dlfcn.h>

#include <filesystem>

#include "host/library_os.h"

namespace vornix::host::os {

void* loadLibrary(const std::string& path, std::string& error) {
  // A component library stays loaded for the life of the process, as with a
  // host that loads its components once: its process-wide state (the
  // Runtime and analysis state that later runs carry on from) must not go
  // away with one system and come back fresh with the next.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "cannot be loaded";
  }
  return handle;
}

RawSymbol librarySymbol(void* library, const char* name) noexcept {
  return reinterpret_cast<RawSymbol>(dlsym(library, name));
}

void unloadLibrary(void* library) noexcept {
  dlclose(library);
}

std::string libraryBesideProgram() {
  // Beside the program first (an installed or copied tree), then lib/ next to
  // its folder, then the build tree this host was built in.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  for (const auto& candidate : {self.parent_path() / "libloquant.so",
                                self.parent_path().parent_path() / "lib" / "libloquant.so",
                                self.parent_path().parent_path() / "src" / "libloquant.so"}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return {};
}

}  // namespace vornix::host::os

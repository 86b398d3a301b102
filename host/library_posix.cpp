// Libraries on POSIX: dlopen, dlsym, dlclose.
#include <dlfcn.h>

#include <algorithm>
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

namespace {

std::filesystem::path programPath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self;
}

}  // namespace

std::string libraryBesideProgram() {
  // Beside the program first (a copied tree), then where the install rules
  // put it relative to the program, then lib/ next to its folder, then the
  // build tree's src/ next to it (cli/loquant -> src/libloquant.so).
  const std::filesystem::path self = programPath();
  if (self.empty()) return {};
  std::error_code ec;
  const std::filesystem::path folder = self.parent_path();
  for (const auto& candidate : {folder / "libloquant.so", folder / LOQUANT_INSTALLED_LIBRARY,
                                folder.parent_path() / "lib" / "libloquant.so",
                                folder.parent_path() / "src" / "libloquant.so"}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return {};
}

std::string expectedLibrary() {
  const std::filesystem::path self = programPath();
  std::error_code ec;
  const std::filesystem::path tree =
      std::filesystem::weakly_canonical(std::filesystem::path(LOQUANT_BUILD_TREE), ec);
  if (!self.empty() && !ec) {
    const auto mismatch = std::mismatch(tree.begin(), tree.end(), self.begin(), self.end());
    if (mismatch.first == tree.end()) return LOQUANT_DEFAULT_LIBRARY;
  }
  if (self.empty()) return "libloquant.so";
  return (self.parent_path() / LOQUANT_INSTALLED_LIBRARY).lexically_normal().string();
}

}  // namespace vornix::host::os

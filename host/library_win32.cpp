// Libraries on Win32: LoadLibraryA, GetProcAddress, FreeLibrary. The entry
// points are found by their undecorated export names (the module-definition
// file of the DLL), with the C calling convention of the entry-point types.
#include <windows.h>

#include <filesystem>
#include <vector>

#include "host/library_os.h"

namespace vornix::host::os {

namespace {

std::string systemErrorText(DWORD code) {
  char* buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer), 0,
      nullptr);
  std::string text = length != 0 && buffer != nullptr ? std::string(buffer, length)
                                                      : "error " + std::to_string(code);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::filesystem::path programPath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::filesystem::path(std::string(buffer.data(), length));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

void* loadLibrary(const std::string& path, std::string& error) {
  HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error = systemErrorText(::GetLastError());
    return nullptr;
  }
  // A component library stays loaded for the life of the process, as on
  // POSIX: its process-wide state (the Runtime and analysis state that later
  // runs carry on from) must not go away with one system and come back fresh
  // with the next. Pinning makes every later FreeLibrary leave it mapped.
  HMODULE pinned = nullptr;
  if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(module), &pinned) == 0) {
    error = "cannot be kept loaded: " + systemErrorText(::GetLastError());
    ::FreeLibrary(module);
    return nullptr;
  }
  return module;
}

RawSymbol librarySymbol(void* library, const char* name) noexcept {
  // FARPROC converts to the generic function type without a cast warning.
  return reinterpret_cast<RawSymbol>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void unloadLibrary(void* library) noexcept {
  ::FreeLibrary(static_cast<HMODULE>(library));
}

std::string libraryBesideProgram() {
  const std::filesystem::path self = programPath();
  if (self.empty()) return {};
  std::error_code ec;
  for (const auto& candidate : {self.parent_path() / "loquant.dll",
                                self.parent_path().parent_path() / "bin" / "loquant.dll",
                                self.parent_path().parent_path() / "src" / "loquant.dll"}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return {};
}

std::string expectedLibrary() {
  return LOQUANT_DEFAULT_LIBRARY;
}

}  // namespace vornix::host::os

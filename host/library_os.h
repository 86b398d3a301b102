// The operating system's part of ComponentLibrary: loading a library file,
// finding a symbol in it and letting it go. One implementation file per
// system (library_posix.cpp, library_win32.cpp), chosen by the build.
#pragma once

#include <string>

namespace vornix::host::os {

// A function found in a loaded library, of no particular signature; it
// converts to the entry points' function types.
using RawSymbol = void (*)();

// Loads the library at `path`; null with the system's reason in `error`.
// The result is released with unloadLibrary.
[[nodiscard]] void* loadLibrary(const std::string& path, std::string& error);
// The exported function `name`; null when the library has none.
RawSymbol librarySymbol(void* library, const char* name) noexcept;
void unloadLibrary(void* library) noexcept;

// The library file built with this host, looked for beside the running
// program, in lib/ next to its folder and in the build tree's src/; empty
// when none of them exists.
std::string libraryBesideProgram();

}  // namespace vornix::host::os

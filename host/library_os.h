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
// program, where the install rules put it relative to the program's folder
// (POSIX: ../lib/libloquant.so.N), in lib/ next to its folder and in the
// build tree's src/ next to it; empty when none of them exists.
std::string libraryBesideProgram();
// The library a program should use when libraryBesideProgram() found none:
// the build tree's own for a program of that build tree (its tests), else
// where an installed program's library belongs, so that the error of
// loading it names the file that is missing. Never a build tree's library
// for a program outside it.
std::string expectedLibrary();

}  // namespace vornix::host::os

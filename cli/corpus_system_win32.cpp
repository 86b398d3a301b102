#include <windows.h>

#include <array>
#include <string>

#include "corpus_files.h"

namespace loquant::cli::corpus {

long processId() noexcept {
  return static_cast<long>(GetCurrentProcessId());
}

std::string hostName() {
  std::array<char, MAX_COMPUTERNAME_LENGTH + 1> name{};
  DWORD size = static_cast<DWORD>(name.size());
  if (GetComputerNameA(name.data(), &size) == 0) return "localhost";
  return std::string(name.data(), size);
}

bool processRuns(long id) noexcept {
  if (id <= 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

}  // namespace loquant::cli::corpus

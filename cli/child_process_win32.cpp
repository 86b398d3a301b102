#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

namespace loquant::cli {

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"')
      out.append(backslashes * 2 + 1, '\\');
    else
      out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& args,
                                                const std::string& outputPath, std::string& error) {
  char self[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    error = "cannot find this program's file";
    return std::nullopt;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out = CreateFileA(outputPath.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    error = "cannot create '" + outputPath + "'";
    return std::nullopt;
  }
  std::string line = quoted(self);
  for (const std::string& a : args) line += " " + quoted(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(out);
  if (!started) {
    error = "cannot start a child process (error " + std::to_string(GetLastError()) + ")";
    return std::nullopt;
  }
  CloseHandle(process.hThread);
  return ChildProcess(reinterpret_cast<std::intptr_t>(process.hProcess));
}

std::pair<std::size_t, int> ChildProcess::waitAny(std::span<ChildProcess> children) {
  std::vector<HANDLE> handles;
  std::vector<std::size_t> index;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (children[i].ended_) continue;
    handles.push_back(reinterpret_cast<HANDLE>(children[i].handle_));
    index.push_back(i);
  }
  if (handles.empty()) return {children.size(), 1};
  const DWORD which =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
  const std::size_t k = which >= WAIT_OBJECT_0 && which < WAIT_OBJECT_0 + handles.size()
                            ? static_cast<std::size_t>(which - WAIT_OBJECT_0)
                            : 0;
  ChildProcess& child = children[index[k]];
  DWORD code = 1;
  WaitForSingleObject(handles[k], INFINITE);
  GetExitCodeProcess(handles[k], &code);
  CloseHandle(handles[k]);
  child.ended_ = true;
  return {index[k], static_cast<int>(code)};
}

ChildProcess::~ChildProcess() {
  if (ended_ || handle_ == -1) return;
  auto* handle = reinterpret_cast<HANDLE>(handle_);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

}  // namespace loquant::cli

// Child roles on Windows: the child is this test program started anew with
// CreateProcessA, told through two environment variables which role to run;
// it runs only the hidden test below, which runs the role and ends the
// process with the role's exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "support/child_roles.h"
#include "support/test_process.h"

namespace vornix::test {
namespace {

constexpr const char* kRoleVariable = "LOQUANT_TEST_CHILD_ROLE";
constexpr const char* kArgumentVariable = "LOQUANT_TEST_CHILD_ARGUMENT";

std::string variable(const char* name) {
  std::vector<char> buffer(4096);
  const DWORD length =
      ::GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
  return length > 0 && length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

std::string programPath() {
  std::vector<char> buffer(32768);
  const DWORD length =
      ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::string(buffer.data(), length);
}

// The environment is the process's: starts are made one at a time.
std::mutex& startMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  int status = -1;
  bool ended = false;
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
  if (!impl_->ended && ::WaitForSingleObject(impl_->process, 0) == WAIT_TIMEOUT) {
    ::TerminateProcess(impl_->process, kKilledStatus);
    ::WaitForSingleObject(impl_->process, 10'000);
  }
  ::CloseHandle(impl_->process);
}

std::unique_ptr<ChildProcess> ChildProcess::start(std::string_view role,
                                                  std::string_view argument) {
  if (detail::findChildRole(role) == nullptr) return nullptr;
  const std::string command = "\"" + programPath() +
                              "\" --gtest_filter=LoquantChildProcess.DISABLED_RunRole"
                              " --gtest_also_run_disabled_tests";
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  BOOL made = FALSE;
  {
    const std::lock_guard<std::mutex> lock(startMutex());
    const std::string roleText(role);
    const std::string argumentText(argument);
    ::SetEnvironmentVariableA(kRoleVariable, roleText.c_str());
    ::SetEnvironmentVariableA(kArgumentVariable, argumentText.c_str());
    made = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info);
    ::SetEnvironmentVariableA(kRoleVariable, nullptr);
    ::SetEnvironmentVariableA(kArgumentVariable, nullptr);
  }
  if (made == FALSE) return nullptr;
  ::CloseHandle(info.hThread);
  auto impl = std::make_unique<Impl>();
  impl->process = info.hProcess;
  return std::make_unique<ChildProcess>(std::move(impl));
}

int ChildProcess::wait(std::uint32_t timeoutMs) {
  if (impl_->ended) return impl_->status;
  if (::WaitForSingleObject(impl_->process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (::GetExitCodeProcess(impl_->process, &code) == FALSE) return -1;
  impl_->ended = true;
  impl_->status = static_cast<int>(code);
  return impl_->status;
}

void ChildProcess::kill() {
  if (!impl_->ended) ::TerminateProcess(impl_->process, kKilledStatus);
}

void killSelf() {
  ::TerminateProcess(::GetCurrentProcess(), kKilledStatus);
  std::_Exit(kKilledStatus);  // not reached
}

std::uint32_t processId() {
  return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

// Runs only in a child started above: the role's exit code ends the process
// before the test framework reports anything.
TEST(LoquantChildProcess, DISABLED_RunRole) {
  const std::string role = variable(kRoleVariable);
  const ChildRole body = detail::findChildRole(role);
  ASSERT_NE(body, nullptr) << "no child role '" << role << "'";
  const int code = body(variable(kArgumentVariable));
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(code));
}

}  // namespace vornix::test

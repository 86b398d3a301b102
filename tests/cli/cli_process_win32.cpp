// The loquant program started from the cli tests on Windows: CreateProcessA
// in the scratch directory, with its standard output and error handed over
// as inheritable handles of the two files. The program is the loquant.exe of
// the same build tree, found next to the test program's own folder.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace loquant::test {

struct BackgroundLoquant::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;
  bool ended = false;
  int status = -1;
};

std::string loquantBinary() {
  std::vector<char> buffer(32768);
  const DWORD length =
      ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  const std::filesystem::path program(std::string(buffer.data(), length));
  return (program.parent_path().parent_path() / "cli" / "loquant.exe").string();
}

namespace {

// A file opened for writing whose handle a child may inherit.
HANDLE inheritableOutput(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.bInheritHandle = TRUE;
  const HANDLE file = ::CreateFileA(path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                    &security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

}  // namespace

BackgroundLoquant::BackgroundLoquant(const ScratchDir& dir, const std::string& arguments,
                                     const std::string& stem)
    : impl_(std::make_unique<Impl>()) {
  const HANDLE out = inheritableOutput(dir / (stem + ".out"));
  const HANDLE err = inheritableOutput(dir / (stem + ".err"));
  if (out != nullptr && err != nullptr) {
    std::string command = "\"" + loquantBinary() + "\" " + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const std::string folder = dir.path().string();
    if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                         &startup, &info) != 0) {
      ::CloseHandle(info.hThread);
      impl_->process = info.hProcess;
      impl_->id = info.dwProcessId;
    }
  }
  // The child has its own handles now.
  if (out != nullptr) ::CloseHandle(out);
  if (err != nullptr) ::CloseHandle(err);
}

BackgroundLoquant::~BackgroundLoquant() {
  if (impl_->process == nullptr) return;
  if (!impl_->ended && ::WaitForSingleObject(impl_->process, 0) == WAIT_TIMEOUT) {
    ::TerminateProcess(impl_->process, 137);
    ::WaitForSingleObject(impl_->process, 10'000);
  }
  ::CloseHandle(impl_->process);
}

bool BackgroundLoquant::started() const {
  return impl_->process != nullptr;
}

std::uint32_t BackgroundLoquant::id() const {
  return impl_->id;
}

int BackgroundLoquant::wait(std::chrono::milliseconds limit) {
  if (impl_->ended || impl_->process == nullptr) return impl_->status;
  const auto ms = static_cast<DWORD>(limit.count());
  if (::WaitForSingleObject(impl_->process, ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (::GetExitCodeProcess(impl_->process, &code) == FALSE) return -1;
  impl_->ended = true;
  impl_->status = static_cast<int>(code);
  return impl_->status;
}

}  // namespace loquant::test

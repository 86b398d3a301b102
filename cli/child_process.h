// This program run again as a child process, for work that must not share a
// process: the component library keeps state for the whole process (by
// design, a run carries over into the next), so analyses that must each
// equal a run of their own each get a process of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace loquant::cli {

class ChildProcess {
 public:
  // Starts this program with `args` (what follows the program name), its
  // standard output written to the file `outputPath` (created or
  // truncated, mode 0600), its standard error and input shared with this
  // process. Null with the reason in `error`.
  static std::optional<ChildProcess> start(const std::vector<std::string>& args,
                                           const std::string& outputPath, std::string& error);

  // Waits for the first of `children` that has not ended yet to end; gives
  // its index and exit status (128 + the signal's number for one ended by a
  // signal). Each child is waited for once.
  static std::pair<std::size_t, int> waitAny(std::span<ChildProcess> children);

  ChildProcess(ChildProcess&& other) noexcept
      : handle_(std::exchange(other.handle_, -1)), ended_(std::exchange(other.ended_, true)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      handle_ = std::exchange(other.handle_, -1);
      ended_ = std::exchange(other.ended_, true);
    }
    return *this;
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child still running is waited for.
  ~ChildProcess();

  bool ended() const noexcept { return ended_; }

 private:
  explicit ChildProcess(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;  // the process id, or its Windows handle
  bool ended_ = false;
};

}  // namespace loquant::cli

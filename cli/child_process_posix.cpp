#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "child_process.h"

extern char** environ;

namespace loquant::cli {

namespace {

int statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return 1;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& args,
                                                const std::string& outputPath, std::string& error) {
  // The running program's own file, whatever name it was started by.
  std::string self(PATH_MAX, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    error = std::string("cannot find this program's file: ") + std::strerror(errno);
    return std::nullopt;
  }
  self.resize(static_cast<std::size_t>(length));

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words;
  words.push_back(self);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    error = std::string("cannot start a child process: ") + std::strerror(failed);
    return std::nullopt;
  }
  return ChildProcess(pid);
}

std::pair<std::size_t, int> ChildProcess::waitAny(std::span<ChildProcess> children) {
  for (;;) {
    int raw = 0;
    const pid_t pid = ::waitpid(-1, &raw, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (!children[i].ended_ && children[i].handle_ == pid) {
        children[i].ended_ = true;
        return {i, statusOf(raw)};
      }
    }
  }
  // No child left to wait for: report the first not yet ended as failed.
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (!children[i].ended_) {
      children[i].ended_ = true;
      return {i, 1};
    }
  }
  return {children.size(), 1};
}

ChildProcess::~ChildProcess() {
  if (ended_ || handle_ <= 0) return;
  int raw = 0;
  while (::waitpid(static_cast<pid_t>(handle_), &raw, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace loquant::cli

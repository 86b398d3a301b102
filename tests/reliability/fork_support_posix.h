// Helpers of the reliability tests that fork: memory shared with forked
// children and waiting for a child.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "reliability/reliability_support.h"

namespace vornix::test {

// One T in anonymous shared memory, seen by the process that made it and by
// every child it forks afterwards. T must be usable across processes (plain
// data, lock-free atomics).
template <class T>
class SharedAcrossFork {
 public:
  SharedAcrossFork() {
    void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) value_ = ::new (p) T();
  }
  ~SharedAcrossFork() {
    if (value_ != nullptr) {
      value_->~T();
      ::munmap(value_, sizeof(T));
    }
  }
  SharedAcrossFork(const SharedAcrossFork&) = delete;
  SharedAcrossFork& operator=(const SharedAcrossFork&) = delete;
  explicit operator bool() const noexcept { return value_ != nullptr; }
  T* operator->() const noexcept { return value_; }
  T& operator*() const noexcept { return *value_; }

 private:
  T* value_ = nullptr;
};

// The exit code of `child`, or 128 + the signal that ended it; -1 when it
// cannot be waited for.
inline int waitChild(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status)
                           : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace vornix::test

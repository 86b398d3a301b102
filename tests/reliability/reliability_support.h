// Helpers of the reliability suite: memory shared with forked children,
// waiting for a child, the objects of an instance in /dev/shm, and an
// instance number that no other test process uses at the same time.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

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

// Names in /dev/shm of the sections, mutexes and semaphores of `instance`
// ("Zelkora..._<instance>" or "Zelkora..._<instance>_...").
inline std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  std::vector<std::string> found;
  const std::string tag = "_" + std::to_string(instance);
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator("/dev/shm", error)) {
    const std::string name = item.path().filename().string();
    const bool ends =
        name.size() >= tag.size() && name.compare(name.size() - tag.size(), tag.size(), tag) == 0;
    if (name.find("Zelkora") != std::string::npos &&
        (ends || name.find(tag + "_") != std::string::npos)) {
      found.push_back(name);
    }
  }
  return found;
}

// 12 bits of the process id and a per-process counter, above the range the
// section tests use.
inline std::uint16_t reliabilityInstance() {
  static std::atomic<std::uint32_t> counter{0};
  const auto pid = static_cast<std::uint32_t>(::getpid());
  return static_cast<std::uint16_t>(20000U + ((pid & 0xFFFU) << 3) + (counter++ & 7U));
}

}  // namespace vornix::test

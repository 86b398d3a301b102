// Named kernel objects on POSIX: shm_open objects under /dev/shm for mutexes
// and sections, sem_open semaphores. docs/platform-posix.md describes the
// names, the mutex object layout and the cleanup rules.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "util/log.h"
#include "util/named_objects.h"
#include "util/os.h"

#if defined(__SANITIZE_THREAD__)
#define LOQUANT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LOQUANT_THREAD_SANITIZER 1
#endif
#endif
#if defined(LOQUANT_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>

#include <map>
#include <mutex>
#endif

namespace vornix {
namespace {

// Where the system keeps shm_open and sem_open objects (glibc, Linux).
constexpr const char* kShmDirectory = "/dev/shm/";
constexpr std::string_view kSemaphoreFilePrefix = "sem.";

// Layout of a named mutex object: a state word at offset 0 and the pthread
// mutex at offset 64, in an object of 128 bytes.
constexpr std::uint32_t kMutexReady = 0x314D514CU;  // "LQM1" in little-endian bytes
constexpr std::size_t kMutexOffset = 64;
constexpr std::size_t kMutexObjectSize = 128;
static_assert(kMutexOffset + sizeof(pthread_mutex_t) <= kMutexObjectSize);
static_assert(kMutexOffset % alignof(pthread_mutex_t) == 0);

// How long an opener waits for the creator to size and initialise an object.
constexpr int kInitialiseWaitMs = 1000;
constexpr int kAttachAttempts = 5;

// An open descriptor, closed on destruction.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A mapping, unmapped on destruction unless released.
class Mapping {
 public:
  Mapping() noexcept = default;
  Mapping(void* address, std::size_t length) noexcept : address_(address), length_(length) {}
  ~Mapping() {
    if (address_ != nullptr) ::munmap(address_, length_);
  }
  Mapping(Mapping&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)), length_(other.length_) {}
  Mapping& operator=(Mapping&& other) noexcept {
    std::swap(address_, other.address_);
    std::swap(length_, other.length_);
    return *this;
  }
  void* address() const noexcept { return address_; }
  void* release() noexcept { return std::exchange(address_, nullptr); }

 private:
  void* address_ = nullptr;
  std::size_t length_ = 0;
};

void sleepMs(long ms) noexcept {
  timespec pause{0, ms * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

std::string encodeName(std::string_view fullName) {
  std::string encoded;
  encoded.reserve(fullName.size());
  for (char c : fullName) {
    if (c == '/' || c == '%' || c == '\0') {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
      encoded += escape;
    } else {
      encoded += c;
    }
  }
  return encoded;
}

std::string userPrefix() {
  std::string prefix("loquant.");
  prefix += std::to_string(::geteuid());
  prefix += '.';
  return prefix;
}

// systemObjectName with the refusal logged.
std::optional<std::string> nameOrLog(std::string_view fullName) {
  std::optional<std::string> name = systemObjectName(fullName);
  if (!name) {
    const std::string shown(fullName);
    logLine(0, 1, 0,
            "Name too long for a system object: '%s' (%zu characters, the system name may "
            "hold %zu)",
            shown.c_str(), fullName.size(), kMaxSystemNameLength);
  }
  return name;
}

// True when the object behind `fd` belongs to this user; logs otherwise.
bool ownedByUs(int fd, std::string_view fullName) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  if (info.st_uid == ::geteuid()) return true;
  const std::string shown(fullName);
  logLine(0, 1, 0, "System object '%s' belongs to another user (uid %u); not used", shown.c_str(),
          static_cast<unsigned>(info.st_uid));
  return false;
}

// The size of the object, waiting up to kInitialiseWaitMs for its creator to
// give it at least `minimum` bytes. -1 when it never does.
off_t waitForSize(int fd, off_t minimum, int waitMs) noexcept {
  for (int waited = 0;; ++waited) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return -1;
    if (info.st_size >= minimum) return info.st_size;
    if (waited >= waitMs) return -1;
    sleepMs(1);
  }
}

std::atomic_ref<std::uint32_t> stateWord(void* base) noexcept {
  return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(base));
}

pthread_mutex_t* mutexIn(void* base) noexcept {
  return reinterpret_cast<pthread_mutex_t*>(static_cast<char*>(base) + kMutexOffset);
}

// Recursive and robust (a dead holder is reported, not a deadlock); shared
// between processes when `shared`.
bool initialiseMutex(pthread_mutex_t* mutex, bool shared) noexcept {
  pthread_mutexattr_t attributes;
  if (::pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
            ::pthread_mutexattr_setpshared(
                &attributes, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE) == 0 &&
            ::pthread_mutex_init(mutex, &attributes) == 0;
  ::pthread_mutexattr_destroy(&attributes);
  return ok;
}

timespec deadlineAfter(std::uint32_t timeoutMs) noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long nanos =
      static_cast<long long>(now.tv_nsec) + static_cast<long long>(timeoutMs % 1000U) * 1000000LL;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeoutMs / 1000U) +
                    static_cast<time_t>(nanos / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000LL);
  return deadline;
}

constexpr std::uint32_t kInfinite = 0xFFFFFFFFU;

// The thread sanitizer does not see pthread_mutex_clocklock and sem_clockwait
// by itself; these tell it what they did, so the ordering they give is known.
// They compile to nothing in other builds.
void beforeClockLock([[maybe_unused]] pthread_mutex_t* mutex) noexcept {
#if defined(LOQUANT_THREAD_SANITIZER)
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
}
void afterClockLock([[maybe_unused]] pthread_mutex_t* mutex, [[maybe_unused]] bool held) noexcept {
#if defined(LOQUANT_THREAD_SANITIZER)
  __tsan_mutex_post_lock(
      mutex, __tsan_mutex_try_lock | (held ? 0U : unsigned{__tsan_mutex_try_lock_failed}), 0);
#endif
}
void afterClockWait([[maybe_unused]] sem_t* semaphore) noexcept {
#if defined(LOQUANT_THREAD_SANITIZER)
  __tsan_acquire(semaphore);
#endif
}

// Two objects of one named mutex in one process are two mappings at two
// addresses, which the thread sanitizer takes for two mutexes. Under it, each
// name gets one process-wide key through which holders hand on the ordering.
#if defined(LOQUANT_THREAD_SANITIZER)
void* sanitizerKey(const std::string& systemName) {
  static std::mutex guard;
  static std::map<std::string, std::unique_ptr<char>> keys;
  std::lock_guard<std::mutex> hold(guard);
  auto& key = keys[systemName];
  if (!key) key = std::make_unique<char>();
  return key.get();
}
#else
void* sanitizerKey(const std::string&) {
  return nullptr;
}
#endif
void sanitizerAcquire([[maybe_unused]] void* key) noexcept {
#if defined(LOQUANT_THREAD_SANITIZER)
  if (key != nullptr) __tsan_acquire(key);
#endif
}
void sanitizerRelease([[maybe_unused]] void* key) noexcept {
#if defined(LOQUANT_THREAD_SANITIZER)
  if (key != nullptr) __tsan_release(key);
#endif
}

}  // namespace

std::optional<std::string> systemObjectName(std::string_view fullName) {
  std::string name(1, '/');
  name += userPrefix();
  name += encodeName(fullName);
  if (name.size() - 1 > kMaxSystemNameLength) return std::nullopt;
  return name;
}

namespace {

// Raised in a child process after fork, so that cached thread ids are asked
// again there.
std::atomic<std::uint32_t> forkGeneration{0};
void afterForkInChild() noexcept {
  forkGeneration.fetch_add(1, std::memory_order_relaxed);
}
[[maybe_unused]] const int forkHandler = ::pthread_atfork(nullptr, nullptr, &afterForkInChild);

}  // namespace

std::uint32_t cachedThreadId() noexcept {
  struct Cached {
    std::uint32_t generation = 0xFFFFFFFFU;
    std::uint32_t id = 0;
  };
  thread_local Cached cached;
  const std::uint32_t generation = forkGeneration.load(std::memory_order_relaxed);
  if (cached.generation != generation) {
    cached.id = os::currentThreadId();
    cached.generation = generation;
  }
  return cached.id;
}

std::string systemErrorText(int code) {
  std::string text = os::errorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// ---------------------------------------------------------------- mutexes

struct OsMutex::Impl {
  pthread_mutex_t* mutex = nullptr;
  Mapping mapping;                            // named: the shared object
  std::unique_ptr<pthread_mutex_t> private_;  // unnamed: the mutex itself
  void* sanitizerKey = nullptr;               // named, thread-sanitizer builds only

  ~Impl() {
    // A shared mutex stays in the object for the other processes.
    if (private_) ::pthread_mutex_destroy(private_.get());
  }
};

OsMutex::OsMutex(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
OsMutex::~OsMutex() = default;

std::unique_ptr<OsMutex> OsMutex::openNamed(std::string_view fullName) {
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) return nullptr;
  const std::string shown(fullName);
  // Create-or-open races with other processes doing the same, and with a
  // remover: the loop settles on whichever object the name stands for.
  for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
    Descriptor created(::shm_open(name->c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (created.valid()) {
      // Only this creator initialises; openers wait for the state word.
      if (::fchmod(created.get(), 0600) != 0 ||
          ::ftruncate(created.get(), static_cast<off_t>(kMutexObjectSize)) != 0) {
        const int error = errno;
        ::shm_unlink(name->c_str());
        logLine(0, 1, 0, "Could not create mutex '%s': %s", shown.c_str(),
                systemErrorText(error).c_str());
        return nullptr;
      }
      void* base =
          ::mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, created.get(), 0);
      if (base == MAP_FAILED) {
        const int error = errno;
        ::shm_unlink(name->c_str());
        logLine(0, 1, 0, "Could not map mutex '%s': %s", shown.c_str(),
                systemErrorText(error).c_str());
        return nullptr;
      }
      Mapping mapping(base, kMutexObjectSize);
      if (!initialiseMutex(mutexIn(base), true)) {
        ::shm_unlink(name->c_str());
        logLine(0, 1, 0, "Could not initialise mutex '%s'", shown.c_str());
        return nullptr;
      }
      // Pairs with the acquire load of the openers below: whoever sees the
      // ready word sees an initialised mutex.
      stateWord(base).store(kMutexReady, std::memory_order_release);
      auto impl = std::make_unique<Impl>();
      impl->mutex = mutexIn(base);
      impl->mapping = std::move(mapping);
      impl->sanitizerKey = sanitizerKey(*name);
      return std::make_unique<OsMutex>(std::move(impl));
    }
    if (errno != EEXIST) {
      const int error = errno;
      logLine(0, 1, 0, "Could not create mutex '%s': %s", shown.c_str(),
              systemErrorText(error).c_str());
      return nullptr;
    }
    Descriptor opened(::shm_open(name->c_str(), O_RDWR, 0));
    if (!opened.valid()) {
      if (errno == ENOENT) continue;  // removed in between: try creating again
      const int error = errno;
      logLine(0, 1, 0, "Could not open mutex '%s': %s", shown.c_str(),
              systemErrorText(error).c_str());
      return nullptr;
    }
    if (!ownedByUs(opened.get(), fullName)) return nullptr;
    if (waitForSize(opened.get(), static_cast<off_t>(kMutexObjectSize), kInitialiseWaitMs) < 0) {
      logLine(0, 1, 0, "Mutex object '%s' was never sized by its creator", shown.c_str());
      return nullptr;
    }
    void* base =
        ::mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, opened.get(), 0);
    if (base == MAP_FAILED) {
      const int error = errno;
      logLine(0, 1, 0, "Could not map mutex '%s': %s", shown.c_str(),
              systemErrorText(error).c_str());
      return nullptr;
    }
    Mapping mapping(base, kMutexObjectSize);
    bool ready = false;
    for (int waited = 0; waited <= kInitialiseWaitMs; ++waited) {
      // Pairs with the creator's release store.
      if (stateWord(base).load(std::memory_order_acquire) == kMutexReady) {
        ready = true;
        break;
      }
      sleepMs(1);
    }
    if (!ready) {
      logLine(0, 1, 0, "Mutex object '%s' was never initialised by its creator", shown.c_str());
      return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->mutex = mutexIn(base);
    impl->mapping = std::move(mapping);
    impl->sanitizerKey = sanitizerKey(*name);
    return std::make_unique<OsMutex>(std::move(impl));
  }
  logLine(0, 1, 0, "Could not create or open mutex '%s'", shown.c_str());
  return nullptr;
}

std::unique_ptr<OsMutex> OsMutex::createUnnamed() {
  auto impl = std::make_unique<Impl>();
  auto mutex = std::make_unique<pthread_mutex_t>();
  if (!initialiseMutex(mutex.get(), false)) return nullptr;
  impl->private_ = std::move(mutex);
  impl->mutex = impl->private_.get();
  return std::make_unique<OsMutex>(std::move(impl));
}

MutexWait OsMutex::wait(std::uint32_t timeoutMs) noexcept {
  pthread_mutex_t* mutex = impl_->mutex;
  // The uncontended case needs no clock reading.
  int result = ::pthread_mutex_trylock(mutex);
  if (result == EBUSY && timeoutMs != 0) {
    if (timeoutMs == kInfinite) {
      result = ::pthread_mutex_lock(mutex);
    } else {
      const timespec deadline = deadlineAfter(timeoutMs);
      beforeClockLock(mutex);
      result = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
      afterClockLock(mutex, result == 0 || result == EOWNERDEAD);
    }
  }
  switch (result) {
    case 0:
      sanitizerAcquire(impl_->sanitizerKey);
      return MutexWait::acquired;
    case EBUSY:
    case ETIMEDOUT:
      return MutexWait::timedOut;
    case EOWNERDEAD:
      // We hold it now. Mark it consistent and let it go, so that the next
      // waiter gets a usable mutex instead of ENOTRECOVERABLE forever.
      ::pthread_mutex_consistent(mutex);
      ::pthread_mutex_unlock(mutex);
      return MutexWait::abandoned;
    default:
      return MutexWait::failed;
  }
}

bool OsMutex::release() noexcept {
  sanitizerRelease(impl_->sanitizerKey);
  return ::pthread_mutex_unlock(impl_->mutex) == 0;
}

const void* OsMutex::systemObject() const noexcept {
  return impl_->mutex;
}

// ------------------------------------------------------------- semaphores

struct OsSemaphore::Impl {
  sem_t* semaphore = SEM_FAILED;
  std::int32_t maximum = 1;
  // The system's file for the object and its identity when opened. The open
  // mapping keeps the file's inode alive, so no other object can take the
  // same device and inode while this one exists.
  std::string file;
  bool identified = false;
  dev_t device = 0;
  ino_t inode = 0;

  ~Impl() {
    if (semaphore != SEM_FAILED) ::sem_close(semaphore);
  }
  void identify(const struct stat& info) noexcept {
    identified = true;
    device = info.st_dev;
    inode = info.st_ino;
  }
};

OsSemaphore::OsSemaphore(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
OsSemaphore::~OsSemaphore() = default;

namespace {

bool sameFile(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::unique_ptr<OsSemaphore> OsSemaphore::openNamed(std::string_view fullName,
                                                    std::int32_t maximumCount) {
  const std::string shown(fullName);
  if (maximumCount < 1) {
    logLine(0, 1, 0, "Could not create semaphore '%s': maximum count %d", shown.c_str(),
            maximumCount);
    return nullptr;
  }
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) return nullptr;
  // sem_open has no descriptor: the mode, owner and identity are set and read
  // on the file the system keeps for it.
  auto impl = std::make_unique<Impl>();
  impl->maximum = maximumCount;
  impl->file = std::string(kShmDirectory) + std::string(kSemaphoreFilePrefix) + name->substr(1);
  const char* file = impl->file.c_str();
  int error = 0;
  for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
    impl->semaphore = ::sem_open(name->c_str(), O_CREAT | O_EXCL, 0600, 0U);
    if (impl->semaphore != SEM_FAILED) {
      ::chmod(file, 0600);
      // A name removed (or removed and given anew) between the creation and
      // this stat leaves the object unidentified or identified as the new
      // one; the window is the few instructions in between.
      struct stat info {};
      if (::stat(file, &info) == 0) impl->identify(info);
      return std::make_unique<OsSemaphore>(std::move(impl));
    }
    if (errno != EEXIST) {
      error = errno;
      break;
    }
    // The object is identified by the file seen both before and after the
    // open: when the name changed objects in between, the open is repeated.
    struct stat before {};
    if (::stat(file, &before) != 0) {
      if (errno == ENOENT) continue;  // removed in between: create it again
      error = errno;
      break;
    }
    if (before.st_uid != ::geteuid()) {
      logLine(0, 1, 0, "System object '%s' belongs to another user (uid %u); not used",
              shown.c_str(), static_cast<unsigned>(before.st_uid));
      return nullptr;
    }
    impl->semaphore = ::sem_open(name->c_str(), 0);
    if (impl->semaphore == SEM_FAILED) {
      if (errno == ENOENT) continue;
      error = errno;
      break;
    }
    struct stat after {};
    if (::stat(file, &after) == 0 && sameFile(before, after)) {
      impl->identify(after);
      return std::make_unique<OsSemaphore>(std::move(impl));
    }
    ::sem_close(std::exchange(impl->semaphore, SEM_FAILED));
    error = EAGAIN;
  }
  if (error == 0) error = EAGAIN;
  logLine(0, 1, 0, "Could not create semaphore '%s': %s", shown.c_str(),
          systemErrorText(error).c_str());
  return nullptr;
}

OsSemaphore::NameBinding OsSemaphore::nameBinding() const noexcept {
  struct stat info {};
  if (::stat(impl_->file.c_str(), &info) != 0) return NameBinding::noObject;
  if (impl_->identified && info.st_dev == impl_->device && info.st_ino == impl_->inode) {
    return NameBinding::thisObject;
  }
  return NameBinding::otherObject;
}

bool OsSemaphore::signal() noexcept {
  int value = 0;
  if (::sem_getvalue(impl_->semaphore, &value) != 0) return false;
  if (value >= impl_->maximum) {
    errno = EOVERFLOW;
    return false;
  }
  return ::sem_post(impl_->semaphore) == 0;
}

bool OsSemaphore::wait(std::uint32_t timeoutMs) noexcept {
  sem_t* semaphore = impl_->semaphore;
  int result = 0;
  if (timeoutMs == 0) {
    do result = ::sem_trywait(semaphore);
    while (result != 0 && errno == EINTR);
  } else if (timeoutMs == kInfinite) {
    do result = ::sem_wait(semaphore);
    while (result != 0 && errno == EINTR);
  } else {
    // One deadline for every retry, so interruptions do not stretch the wait.
    const timespec deadline = deadlineAfter(timeoutMs);
    do result = ::sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline);
    while (result != 0 && errno == EINTR);
    if (result == 0) afterClockWait(semaphore);
  }
  return result == 0;
}

std::int32_t OsSemaphore::count() const noexcept {
  int value = 0;
  if (::sem_getvalue(impl_->semaphore, &value) != 0) return -1;
  return value;
}

std::int32_t OsSemaphore::maximumCount() const noexcept {
  return impl_->maximum;
}

// --------------------------------------------------------------- sections

namespace {

// Maps the object whole; with `keep` the descriptor goes with the view (it is
// closed with the view, or here when mapping fails).
SectionResult mapWhole(Descriptor& fd, std::uint64_t length, bool keep) {
  SectionResult result;
  if (length > std::numeric_limits<std::size_t>::max()) {
    result.status = SectionStatus::mapFailed;
    result.errorCode = ENOMEM;
    return result;
  }
  void* base = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                      fd.get(), 0);
  if (base == MAP_FAILED) {
    result.status = SectionStatus::mapFailed;
    result.errorCode = errno;
    return result;
  }
  result.status = SectionStatus::mapped;
  // The mapping keeps the object alive; the descriptor is kept only when the
  // view's owner asks the object about its contents.
  result.view = SectionView{static_cast<std::uint8_t*>(base), length, keep ? fd.release() : -1};
  return result;
}

SectionResult mapExisting(Descriptor& fd, std::string_view fullName, int waitMs, bool keep) {
  SectionResult result;
  if (!ownedByUs(fd.get(), fullName)) {
    result.status = SectionStatus::notOwned;
    return result;
  }
  const off_t size = waitForSize(fd.get(), 1, waitMs);
  if (size <= 0) {
    result.status = SectionStatus::absent;
    return result;
  }
  return mapWhole(fd, static_cast<std::uint64_t>(size), keep);
}

}  // namespace

SectionResult createSection(std::string_view fullName, std::uint64_t size, bool keepHandle) {
  SectionResult result;
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) {
    result.status = SectionStatus::nameRefused;
    return result;
  }
  if (size == 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    result.status = SectionStatus::createFailed;
    result.errorCode = EINVAL;
    return result;
  }
  for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
    Descriptor created(::shm_open(name->c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (created.valid()) {
      if (::fchmod(created.get(), 0600) != 0 ||
          ::ftruncate(created.get(), static_cast<off_t>(size)) != 0) {
        result.status = SectionStatus::createFailed;
        result.errorCode = errno;
        ::shm_unlink(name->c_str());
        return result;
      }
      result = mapWhole(created, size, keepHandle);
      if (result.status != SectionStatus::mapped) ::shm_unlink(name->c_str());
      result.created = result.status == SectionStatus::mapped;
      return result;
    }
    if (errno != EEXIST) {
      result.status = SectionStatus::createFailed;
      result.errorCode = errno;
      return result;
    }
    Descriptor opened(::shm_open(name->c_str(), O_RDWR, 0));
    if (!opened.valid()) {
      if (errno == ENOENT) continue;  // removed in between: create it again
      result.status = SectionStatus::createFailed;
      result.errorCode = errno;
      return result;
    }
    // Another creator may still be sizing it: give it a moment.
    result = mapExisting(opened, fullName, kInitialiseWaitMs, keepHandle);
    if (result.status == SectionStatus::absent) {
      result.status = SectionStatus::createFailed;
      result.errorCode = EAGAIN;
    }
    return result;
  }
  result.status = SectionStatus::createFailed;
  result.errorCode = EAGAIN;
  return result;
}

SectionResult openSection(std::string_view fullName, bool keepHandle) {
  SectionResult result;
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) {
    result.status = SectionStatus::nameRefused;
    return result;
  }
  Descriptor opened(::shm_open(name->c_str(), O_RDWR, 0));
  if (!opened.valid()) {
    result.status = SectionStatus::absent;
    return result;
  }
  return mapExisting(opened, fullName, 0, keepHandle);
}

void unmapSection(const SectionView& view) noexcept {
  if (view.address != nullptr) ::munmap(view.address, static_cast<std::size_t>(view.length));
  if (view.handle >= 0) ::close(static_cast<int>(view.handle));
}

void copyWrittenBytes(const SectionView& from, std::uint8_t* to, std::uint64_t length) noexcept {
  std::uint64_t at = 0;
  if (from.handle >= 0) {
    // The object's data ranges as the system keeps them (a page it never
    // stored is a hole; a page swapped out still counts as data). Offsets go
    // to every call, so the descriptor's own position does not matter.
    const int fd = static_cast<int>(from.handle);
    while (at < length) {
      const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
      if (data < 0) {
        if (errno == ENXIO) return;  // nothing but holes from `at` on
        break;                       // the system cannot tell: copy the rest
      }
      const auto dataAt = static_cast<std::uint64_t>(data);
      if (dataAt < at) break;
      if (dataAt >= length) return;
      const off_t hole = ::lseek(fd, data, SEEK_HOLE);
      if (hole <= data) {
        at = dataAt;
        break;
      }
      const std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), length);
      std::memcpy(to + dataAt, from.address + dataAt, static_cast<std::size_t>(end - dataAt));
      at = end;
    }
  }
  if (at < length) {
    std::memcpy(to + at, from.address + at, static_cast<std::size_t>(length - at));
  }
}

// ---------------------------------------------------------------- removal

bool removeSystemObject(std::string_view fullName, SystemObjectKind kind) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return false;
  if (kind == SystemObjectKind::semaphore) return ::sem_unlink(name->c_str()) == 0;
  return ::shm_unlink(name->c_str()) == 0;
}

std::size_t removeSystemObjectsWithPrefix(std::string_view fullNamePrefix) {
  const std::string wanted = userPrefix() + encodeName(fullNamePrefix);
  const std::string wantedSemaphore = std::string(kSemaphoreFilePrefix) + wanted;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(kShmDirectory), &::closedir);
  if (!directory) return 0;
  const int directoryFd = ::dirfd(directory.get());
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view file(entry->d_name);
    const bool semaphore = file.starts_with(wantedSemaphore);
    if (!semaphore && !file.starts_with(wanted)) continue;
    // Only objects this user owns, whatever their names claim.
    struct stat info {};
    if (::fstatat(directoryFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        info.st_uid != ::geteuid() || !S_ISREG(info.st_mode)) {
      continue;
    }
    std::string name(1, '/');
    name += semaphore ? file.substr(kSemaphoreFilePrefix.size()) : file;
    const int result = semaphore ? ::sem_unlink(name.c_str()) : ::shm_unlink(name.c_str());
    if (result == 0) ++removed;
  }
  return removed;
}

}  // namespace vornix

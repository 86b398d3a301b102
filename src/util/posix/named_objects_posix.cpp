// Named kernel objects on POSIX: shm_open objects under /dev/shm for
// mutexes, semaphores and sections, each created exclusively under its own
// name. docs/platform-posix.md describes the names, the object layouts and
// the cleanup rules.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
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

// Where the system keeps shm_open objects (glibc, Linux).
constexpr const char* kShmDirectory = "/dev/shm/";
// Earlier versions kept semaphores as the system's named semaphores, files
// with this prefix; the prefix removal still clears those of ours.
constexpr std::string_view kLegacySemaphorePrefix = "sem.";

// Layout of a named mutex or semaphore object: a state word at offset 0 and
// the system object at offset 64, in an object of 128 bytes.
constexpr std::uint32_t kMutexReady = 0x314D514CU;      // "LQM1" in little-endian bytes
constexpr std::uint32_t kSemaphoreReady = 0x3153514CU;  // "LQS1"
constexpr std::size_t kSyncObjectOffset = 64;
constexpr std::size_t kSyncObjectSize = 128;
static_assert(kSyncObjectOffset + sizeof(pthread_mutex_t) <= kSyncObjectSize);
static_assert(kSyncObjectOffset % alignof(pthread_mutex_t) == 0);
static_assert(kSyncObjectOffset + sizeof(sem_t) <= kSyncObjectSize);
static_assert(kSyncObjectOffset % alignof(sem_t) == 0);

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

// What an object found under one of our names turned out to be.
enum class Found {
  ours,     // a regular file of this user, mode 0600, of the size asked
  refused,  // something else: not used (logged)
  unsized,  // still of size 0 after the wait: its creator has not sized it
};

// Checks the object behind `fd`, found under the name of `fullName`, before
// it is used: a regular file owned by this user with mode 0600 and, when
// `exactSize` is not 0, of exactly that size. An object of size 0 is one its
// creator has not sized yet: it is waited for up to `waitMs`. The creator
// sets the mode before the size, so the mode is checked once the size is
// there. `info` receives the object's state.
Found checkFound(int fd, std::string_view fullName, off_t exactSize, int waitMs,
                 struct stat& info) {
  const std::string shown(fullName);
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    logLine(0, 1, 0, "System object '%s' cannot be examined: %s; not used", shown.c_str(),
            systemErrorText(error).c_str());
    return Found::refused;
  }
  if (!S_ISREG(info.st_mode)) {
    logLine(0, 1, 0, "System object '%s' is not a regular file; not used", shown.c_str());
    return Found::refused;
  }
  if (info.st_uid != ::geteuid()) {
    logLine(0, 1, 0, "System object '%s' belongs to another user (uid %u); not used", shown.c_str(),
            static_cast<unsigned>(info.st_uid));
    return Found::refused;
  }
  for (int waited = 0; info.st_size == 0; ++waited) {
    if (waited >= waitMs) return Found::unsized;
    sleepMs(1);
    if (::fstat(fd, &info) != 0) return Found::unsized;
  }
  if ((info.st_mode & 07777) != 0600) {
    logLine(0, 1, 0, "System object '%s' has access mode %04o, not 0600; not used", shown.c_str(),
            static_cast<unsigned>(info.st_mode & 07777));
    return Found::refused;
  }
  if (exactSize != 0 && info.st_size != exactSize) {
    logLine(0, 1, 0, "System object '%s' has %lld bytes, not %lld; not used", shown.c_str(),
            static_cast<long long>(info.st_size), static_cast<long long>(exactSize));
    return Found::refused;
  }
  return Found::ours;
}

// Logs the refusal of a symbolic link found under one of our names (the
// opens never follow one: O_NOFOLLOW fails with ELOOP).
void logSymbolicLink(std::string_view fullName) {
  const std::string shown(fullName);
  logLine(0, 1, 0, "System object '%s' is a symbolic link; not used", shown.c_str());
}

// The first bytes of a new object that are reserved (allocated) at once: the
// creator's headers, and all of a small object. docs/decisions.md says why
// not the whole of a large one.
constexpr off_t kReservedHead = 64 * 1024;

// Sizes a new object and makes sure /dev/shm has room for it, so that a
// full /dev/shm is an error here and not a SIGBUS at the first touch of a
// page: the free space must hold the whole size, and the head is reserved
// (fallocate: allocated, not written; unwritten pages stay holes to
// SEEK_DATA and read as zero). 0 or the error.
int sizeAndReserve(int fd, off_t size) noexcept {
  if (::ftruncate(fd, size) != 0) return errno;
  struct statvfs space {};
  if (::fstatvfs(fd, &space) == 0) {
    const auto free = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    if (free < static_cast<unsigned long long>(size)) return ENOSPC;
  }
  // Not posix_fallocate: where the file system cannot reserve, glibc's
  // fallback writes every block, which would turn the holes into data.
  if (::fallocate(fd, 0, 0, std::min(size, kReservedHead)) == 0) return 0;
  const int error = errno;
  return error == EOPNOTSUPP || error == ENOSYS ? 0 : error;
}

std::atomic_ref<std::uint32_t> stateWord(void* base) noexcept {
  return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(base));
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

// ------------------------------------------------- mutex and semaphore objects

namespace {

// What one kind of synchronisation object puts in its 128-byte object.
struct SyncObjectKind {
  const char* noun;     // "mutex" or "semaphore", for the log lines
  std::uint32_t ready;  // the state word once initialised
  // Initialises the system object at `object` for sharing between processes.
  bool (*initialise)(void* object) noexcept;
};

// An attached object: its mapping (kSyncObjectSize bytes) and the identity of
// its file.
struct SyncObject {
  Mapping mapping;
  dev_t device = 0;
  ino_t inode = 0;
};

void* syncObjectIn(void* base) noexcept {
  return static_cast<char*>(base) + kSyncObjectOffset;
}

// The name a new object of `name` is made under before it is published:
// the name itself followed by "%T", this process and a count. Encoded names
// never hold '%' but as an escape of two hexadecimal digits, so no object's
// own name looks like this; and it starts with the object's name, so what a
// creator killed part way leaves is cleared with its instance by a removal by
// prefix. Empty when the result would not fit in a file name; the object is
// then made under its own name.
std::string stagingName(const std::string& name) {
  static std::atomic<std::uint32_t> made{0};
  std::string staged = name;
  staged += "%T";
  staged += std::to_string(::getpid());
  staged += '.';
  staged += std::to_string(made.fetch_add(1, std::memory_order_relaxed));
  if (staged.size() - 1 > kMaxSystemNameLength) return {};
  return staged;
}

// Sizes, maps and initialises the new object open in `fd` and stores its ready
// word last, with release ordering (pairs with the openers' acquire load:
// whoever sees the ready word sees an initialised object). 0 or the error.
int initialiseSyncObject(int fd, const SyncObjectKind& kind, SyncObject& object) {
  // The mode before the size: openers check the mode once sized.
  if (::fchmod(fd, 0600) != 0) return errno;
  if (const int error = sizeAndReserve(fd, static_cast<off_t>(kSyncObjectSize)); error != 0) {
    return error;
  }
  void* base = ::mmap(nullptr, kSyncObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return errno;
  object.mapping = Mapping(base, kSyncObjectSize);
  if (!kind.initialise(syncObjectIn(base))) return EINVAL;
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    object.device = info.st_dev;
    object.inode = info.st_ino;
  }
  stateWord(base).store(kind.ready, std::memory_order_release);
  return 0;
}

// What making a new object under a name came to.
enum class Made {
  made,    // the object is ours and published under the name
  taken,   // another object holds the name: open that one
  failed,  // logged
};

// Makes the object of `name` whole under its staging name and then links it
// to its own name, which fails when the name is taken. So the name only ever
// stands for an initialised object: a creator killed part way leaves a file
// under its staging name, never a half-made object that every later opener
// would have to refuse.
Made makeStagedSyncObject(const std::string& name, const std::string& staged,
                          const std::string& shown, const SyncObjectKind& kind,
                          SyncObject& object) {
  const auto create = [&] {
    return ::shm_open(staged.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  };
  int fd = create();
  if (fd < 0 && errno == EEXIST) {
    // Left by a killed process that had this process's number: the staging
    // name is this process's alone, so it is cleared and made again.
    ::shm_unlink(staged.c_str());
    fd = create();
  }
  Descriptor created(fd);
  int error = created.valid() ? 0 : errno;
  if (error == 0) error = initialiseSyncObject(created.get(), kind, object);
  bool taken = false;
  if (error == 0) {
    const std::string from = std::string(kShmDirectory) + staged.substr(1);
    const std::string to = std::string(kShmDirectory) + name.substr(1);
    if (::link(from.c_str(), to.c_str()) != 0) {
      error = errno;
      taken = error == EEXIST;
    }
  }
  if (created.valid()) ::shm_unlink(staged.c_str());
  if (error == 0) return Made::made;
  object = SyncObject{};
  if (taken) return Made::taken;
  logLine(0, 1, 0, "Could not create %s '%s': %s", kind.noun, shown.c_str(),
          error == EINVAL ? "not initialised" : systemErrorText(error).c_str());
  return Made::failed;
}

// Creates the object of `name` and initialises it, or attaches to the one
// under the name. A new object is made whole under its staging name and
// linked to its own name (makeStagedSyncObject); only where the staging name
// would be too long is it made under its own name, exclusively, with its
// ready word stored last. Every other process checks that the object is ours
// (regular file, owner, mode 0600, exact size), waits up to kInitialiseWaitMs
// for the ready word (acquire) and only then uses the object. Null on
// failure, logged.
std::optional<SyncObject> attachSyncObject(const std::string& name, std::string_view fullName,
                                           const SyncObjectKind& kind) {
  const std::string shown(fullName);
  const auto size = static_cast<off_t>(kSyncObjectSize);
  const std::string staged = stagingName(name);
  // Create-or-open races with other processes doing the same, and with a
  // remover: the loop settles on whichever object the name stands for.
  for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
    if (!staged.empty()) {
      // Most attaches find the object made: only an absent name is worth
      // making one for (a name made meanwhile fails the link, and is opened).
      struct stat seen {};
      const std::string file = std::string(kShmDirectory) + name.substr(1);
      if (::fstatat(AT_FDCWD, file.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        SyncObject object;
        const Made made = makeStagedSyncObject(name, staged, shown, kind, object);
        if (made == Made::made) return object;
        if (made == Made::failed) return std::nullopt;
      }
    } else {
      Descriptor created(
          ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (created.valid()) {
        SyncObject object;
        const int error = initialiseSyncObject(created.get(), kind, object);
        if (error == 0) return object;
        ::shm_unlink(name.c_str());
        logLine(0, 1, 0, "Could not create %s '%s': %s", kind.noun, shown.c_str(),
                error == EINVAL ? "not initialised" : systemErrorText(error).c_str());
        return std::nullopt;
      }
      if (errno != EEXIST) {
        const int error = errno;
        logLine(0, 1, 0, "Could not create %s '%s': %s", kind.noun, shown.c_str(),
                systemErrorText(error).c_str());
        return std::nullopt;
      }
    }
    Descriptor opened(::shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!opened.valid()) {
      if (errno == ENOENT) continue;  // removed in between: try creating again
      const int error = errno;
      if (error == ELOOP) {
        logSymbolicLink(fullName);
      } else {
        logLine(0, 1, 0, "Could not open %s '%s': %s", kind.noun, shown.c_str(),
                systemErrorText(error).c_str());
      }
      return std::nullopt;
    }
    struct stat info {};
    const Found found = checkFound(opened.get(), fullName, size, kInitialiseWaitMs, info);
    if (found == Found::refused) return std::nullopt;
    if (found == Found::unsized) {
      logLine(0, 1, 0, "The %s object '%s' was never sized by its creator", kind.noun,
              shown.c_str());
      return std::nullopt;
    }
    void* base =
        ::mmap(nullptr, kSyncObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, opened.get(), 0);
    if (base == MAP_FAILED) {
      const int error = errno;
      logLine(0, 1, 0, "Could not map %s '%s': %s", kind.noun, shown.c_str(),
              systemErrorText(error).c_str());
      return std::nullopt;
    }
    SyncObject object;
    object.mapping = Mapping(base, kSyncObjectSize);
    object.device = info.st_dev;
    object.inode = info.st_ino;
    for (int waited = 0; waited <= kInitialiseWaitMs; ++waited) {
      // Pairs with the creator's release store.
      const std::uint32_t state = stateWord(base).load(std::memory_order_acquire);
      if (state == kind.ready) return object;
      if (state != 0) break;  // not an object of this kind
      sleepMs(1);
    }
    logLine(0, 1, 0, "The %s object '%s' was never initialised by its creator", kind.noun,
            shown.c_str());
    return std::nullopt;
  }
  logLine(0, 1, 0, "Could not create or open %s '%s'", kind.noun, shown.c_str());
  return std::nullopt;
}

bool initialiseSharedMutex(void* object) noexcept {
  return initialiseMutex(static_cast<pthread_mutex_t*>(object), true);
}

bool initialiseSharedSemaphore(void* object) noexcept {
  return ::sem_init(static_cast<sem_t*>(object), 1, 0U) == 0;
}

constexpr SyncObjectKind kMutexKind{"mutex", kMutexReady, &initialiseSharedMutex};
constexpr SyncObjectKind kSemaphoreKind{"semaphore", kSemaphoreReady, &initialiseSharedSemaphore};

}  // namespace

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
  std::optional<SyncObject> object = attachSyncObject(*name, fullName, kMutexKind);
  if (!object) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->mutex = static_cast<pthread_mutex_t*>(syncObjectIn(object->mapping.address()));
  impl->mapping = std::move(object->mapping);
  impl->sanitizerKey = sanitizerKey(*name);
  return std::make_unique<OsMutex>(std::move(impl));
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
  sem_t* semaphore = nullptr;  // in `mapping`; stays initialised for the other processes
  Mapping mapping;
  std::int32_t maximum = 1;
  // The object's file and its identity when opened. The mapping keeps the
  // file's inode alive, so no other object can take the same device and inode
  // while this one exists.
  std::string file;
  dev_t device = 0;
  ino_t inode = 0;
  void* sanitizerKey = nullptr;  // thread-sanitizer builds only
};

OsSemaphore::OsSemaphore(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
OsSemaphore::~OsSemaphore() = default;

std::unique_ptr<OsSemaphore> OsSemaphore::openNamed(std::string_view fullName,
                                                    std::int32_t maximumCount) {
  if (maximumCount < 1) {
    const std::string shown(fullName);
    logLine(0, 1, 0, "Could not create semaphore '%s': maximum count %d", shown.c_str(),
            maximumCount);
    return nullptr;
  }
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) return nullptr;
  std::optional<SyncObject> object = attachSyncObject(*name, fullName, kSemaphoreKind);
  if (!object) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->semaphore = static_cast<sem_t*>(syncObjectIn(object->mapping.address()));
  impl->mapping = std::move(object->mapping);
  impl->maximum = maximumCount;
  impl->file = std::string(kShmDirectory) + name->substr(1);
  impl->device = object->device;
  impl->inode = object->inode;
  impl->sanitizerKey = sanitizerKey(*name);
  return std::make_unique<OsSemaphore>(std::move(impl));
}

OsSemaphore::NameBinding OsSemaphore::nameBinding() const noexcept {
  // lstat: whatever the name is now, a symbolic link included, is looked at
  // and never followed.
  struct stat info {};
  if (::lstat(impl_->file.c_str(), &info) != 0) return NameBinding::noObject;
  if (info.st_dev == impl_->device && info.st_ino == impl_->inode) return NameBinding::thisObject;
  return NameBinding::otherObject;
}

bool OsSemaphore::signal() noexcept {
  int value = 0;
  if (::sem_getvalue(impl_->semaphore, &value) != 0) return false;
  if (value >= impl_->maximum) {
    errno = EOVERFLOW;
    return false;
  }
  sanitizerRelease(impl_->sanitizerKey);
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
  if (result == 0) sanitizerAcquire(impl_->sanitizerKey);
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
  struct stat info {};
  switch (checkFound(fd.get(), fullName, 0, waitMs, info)) {
    case Found::ours:
      return mapWhole(fd, static_cast<std::uint64_t>(info.st_size), keep);
    case Found::refused:
      result.status = SectionStatus::notOwned;
      return result;
    case Found::unsized:
      break;
  }
  result.status = SectionStatus::absent;
  return result;
}

// The refusal of a symbolic link under a section's name.
SectionResult symbolicLinkRefused(std::string_view fullName) {
  logSymbolicLink(fullName);
  SectionResult result;
  result.status = SectionStatus::notOwned;
  return result;
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
    Descriptor created(
        ::shm_open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (created.valid()) {
      // The mode before the size: openers check the mode once sized.
      int error = ::fchmod(created.get(), 0600) == 0 ? 0 : errno;
      if (error == 0) error = sizeAndReserve(created.get(), static_cast<off_t>(size));
      if (error != 0) {
        ::shm_unlink(name->c_str());
        if (error == ENOSPC) {
          const std::string shown(fullName);
          logLine(0, 1, 0, "No space left in /dev/shm for section '%s' (%llu bytes)", shown.c_str(),
                  static_cast<unsigned long long>(size));
        }
        result.status = SectionStatus::createFailed;
        result.errorCode = error;
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
    Descriptor opened(::shm_open(name->c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!opened.valid()) {
      if (errno == ENOENT) continue;  // removed in between: create it again
      if (errno == ELOOP) return symbolicLinkRefused(fullName);
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
  Descriptor opened(::shm_open(name->c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
  if (!opened.valid()) {
    if (errno == ELOOP) return symbolicLinkRefused(fullName);
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

// True for a file of the shared-memory directory that may be removed as an
// object of ours: a regular file of this user, never followed when it is a
// link. Anything else under one of our names was planted by someone else
// (or is not an object at all) and is left alone, whatever its name claims.
// `exists`, when given, tells whether there is any file under the name.
bool isOurObjectFile(int directoryFd, const char* file, bool* exists = nullptr) {
  struct stat info {};
  const bool found = ::fstatat(directoryFd, file, &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists != nullptr) *exists = found;
  return found && info.st_uid == ::geteuid() && S_ISREG(info.st_mode);
}

// Removes what creators killed part way left under the staging names of the
// object whose file is `file` (stagingName), so that removing an object by
// its name leaves nothing of it behind. A listing of the directory: removals
// are rare, and the names cannot be guessed (they hold process numbers).
void removeStagedLeftovers(int directoryFd, std::string_view file) {
  const int listed = ::dup(directoryFd);
  if (listed < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(listed), &::closedir);
  if (!directory) {
    ::close(listed);
    return;
  }
  const std::string staged = std::string(file) + "%T";
  while (const dirent* entry = ::readdir(directory.get())) {
    if (std::string_view(entry->d_name).starts_with(staged) &&
        isOurObjectFile(directoryFd, entry->d_name)) {
      ::unlinkat(directoryFd, entry->d_name, 0);
    }
  }
}

bool removeSystemObject(std::string_view fullName, SystemObjectKind kind) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return false;
  const int directoryFd = ::open(kShmDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) return false;
  const char* file = name->c_str() + 1;  // without the leading '/'
  bool removed = false;
  bool exists = false;
  if (isOurObjectFile(directoryFd, file, &exists)) {
    removed = ::unlinkat(directoryFd, file, 0) == 0;
  } else if (exists) {
    const std::string shown(fullName);
    logLine(0, 1, 0, "System object '%s' is not ours; not removed", shown.c_str());
  }
  // Sections are made under their own names, and removed at every grow.
  if (kind != SystemObjectKind::section) removeStagedLeftovers(directoryFd, file);
  ::close(directoryFd);
  return removed;
}

std::size_t removeSystemObjectsWithPrefix(std::string_view fullNamePrefix) {
  const std::string wanted = userPrefix() + encodeName(fullNamePrefix);
  const std::string wantedLegacy = std::string(kLegacySemaphorePrefix) + wanted;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(kShmDirectory), &::closedir);
  if (!directory) return 0;
  const int directoryFd = ::dirfd(directory.get());
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view file(entry->d_name);
    if (!file.starts_with(wanted) && !file.starts_with(wantedLegacy)) continue;
    if (isOurObjectFile(directoryFd, entry->d_name) &&
        ::unlinkat(directoryFd, entry->d_name, 0) == 0) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace vornix

// Linked into the section fuzzers with -Wl,--wrap=mmap,--wrap=munmap: every
// shared mapping of a descriptor that the library makes is placed so that the
// byte after its last valid byte is not addressable. The rest of the last page
// is poisoned for AddressSanitizer and the page after it is reserved without
// access, so a client that reads or writes past the section it mapped stops
// the fuzzer at that access instead of touching a neighbouring mapping.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>

extern "C" void* __real_mmap(void* address, std::size_t length, int protection, int flags, int fd,
                             off_t offset);
extern "C" int __real_munmap(void* address, std::size_t length);

namespace {

struct Guarded {
  std::size_t length = 0;  // what the caller asked for
  std::size_t whole = 0;   // the reservation: rounded length plus the guard page
};

std::mutex& tableMutex() {
  static std::mutex mutex;  // trivially destructible on this platform
  return mutex;
}

// Never destroyed: sections are still unmapped by destructors of static
// objects at exit, after a function-local table would be gone.
using Table = std::map<std::uintptr_t, Guarded>;
Table& table() {
  alignas(Table) static unsigned char storage[sizeof(Table)];
  static Table* const guarded = ::new (storage) Table();
  return *guarded;
}

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

extern "C" void* __wrap_mmap(void* address, std::size_t length, int protection, int flags, int fd,
                             off_t offset) {
  if (fd < 0 || (flags & MAP_SHARED) == 0 || address != nullptr || length == 0 ||
      length > (SIZE_MAX >> 1)) {
    return __real_mmap(address, length, protection, flags, fd, offset);
  }
  const std::size_t page = pageSize();
  const std::size_t rounded = (length + page - 1) / page * page;
  const std::size_t whole = rounded + page;
  void* reserve =
      __real_mmap(nullptr, whole, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserve == MAP_FAILED) return __real_mmap(address, length, protection, flags, fd, offset);
  void* base = __real_mmap(reserve, length, protection, flags | MAP_FIXED, fd, offset);
  if (base == MAP_FAILED) {
    const int error = errno;
    __real_munmap(reserve, whole);
    errno = error;
    return MAP_FAILED;
  }
  auto* bytes = static_cast<std::uint8_t*>(base);
  ASAN_POISON_MEMORY_REGION(bytes + length, rounded - length);
  const std::lock_guard<std::mutex> lock(tableMutex());
  table()[reinterpret_cast<std::uintptr_t>(base)] = Guarded{length, whole};
  return base;
}

extern "C" int __wrap_munmap(void* address, std::size_t length) {
  Guarded found;
  {
    const std::lock_guard<std::mutex> lock(tableMutex());
    const auto at = table().find(reinterpret_cast<std::uintptr_t>(address));
    if (at == table().end()) return __real_munmap(address, length);
    found = at->second;
    table().erase(at);
  }
  const std::size_t page = pageSize();
  const std::size_t rounded = (found.length + page - 1) / page * page;
  ASAN_UNPOISON_MEMORY_REGION(static_cast<std::uint8_t*>(address) + found.length,
                              rounded - found.length);
  return __real_munmap(address, found.whole);
}

// Named kernel objects on Win32: CreateMutexA, CreateSemaphoreA and
// page-file-backed file mappings, found by their full names in the "Local\"
// namespace. docs/platform-win32.md describes the names and lifetimes.
//
// The "Local\" namespace is per logon session, so the full name is the system
// name: no mapping is needed to keep users apart. Objects live while a handle
// to them is open anywhere and vanish with the last one, so nothing outlives
// the processes that use it and the removal functions have nothing to do.
#include <windows.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "util/log.h"
#include "util/named_objects.h"
#include "util/os.h"

namespace vornix {
namespace {

// A kernel handle, closed on destruction unless released.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  HANDLE get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != nullptr; }
  HANDLE release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_;
};

// systemObjectName with the refusal logged.
std::optional<std::string> nameOrLog(std::string_view fullName) {
  std::optional<std::string> name = systemObjectName(fullName);
  if (!name) {
    const std::string shown(fullName.substr(0, fullName.find('\0')));
    logLine(0, 1, 0,
            "Name too long for a system object: '%s' (%zu characters, the system name may "
            "hold %zu)",
            shown.c_str(), fullName.size(), kMaxSystemNameLength);
  }
  return name;
}

std::string errorNow() {
  return systemErrorText(os::lastErrorCode());
}

// The semaphore's current count through the native query, which Win32 does
// not offer; -1 when it is not available.
struct SemaphoreBasicInformation {
  LONG currentCount;
  LONG maximumCount;
};
using QuerySemaphore = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

QuerySemaphore semaphoreQuery() noexcept {
  static const QuerySemaphore query = []() noexcept -> QuerySemaphore {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    // GetProcAddress gives a generic function pointer; void (*)() converts
    // to any other function pointer type without a cast warning.
    const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtQuerySemaphore"));
    return reinterpret_cast<QuerySemaphore>(generic);
  }();
  return query;
}

}  // namespace

std::optional<std::string> systemObjectName(std::string_view fullName) {
  // The kernel takes the full name as it is. A NUL would cut it short and a
  // longer name than the other builds accept would not be portable.
  if (fullName.empty() || fullName.find('\0') != std::string_view::npos ||
      fullName.size() > kMaxSystemNameLength) {
    return std::nullopt;
  }
  return std::string(fullName);
}

std::uint32_t cachedThreadId() noexcept {
  // Windows has no fork: a thread's id never changes.
  thread_local const std::uint32_t id = os::currentThreadId();
  return id;
}

std::string systemErrorText(int code) {
  std::string text = os::errorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// ---------------------------------------------------------------- mutexes

struct OsMutex::Impl {
  Handle handle;
};

OsMutex::OsMutex(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
OsMutex::~OsMutex() = default;

std::unique_ptr<OsMutex> OsMutex::openNamed(std::string_view fullName) {
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) return nullptr;
  // Creates the mutex or opens the existing one; no security attributes, not
  // initially owned.
  Handle handle(::CreateMutexA(nullptr, FALSE, name->c_str()));
  if (!handle.valid()) {
    const std::string reason = errorNow();
    logLine(0, 1, 0, "Could not create mutex '%s': %s", name->c_str(), reason.c_str());
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->handle = Handle(handle.release());
  return std::make_unique<OsMutex>(std::move(impl));
}

std::unique_ptr<OsMutex> OsMutex::createUnnamed() {
  Handle handle(::CreateMutexA(nullptr, FALSE, nullptr));
  if (!handle.valid()) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->handle = Handle(handle.release());
  return std::make_unique<OsMutex>(std::move(impl));
}

MutexWait OsMutex::wait(std::uint32_t timeoutMs) noexcept {
  // INFINITE is 0xFFFFFFFF, the seam's "no limit".
  const DWORD result = ::WaitForSingleObject(impl_->handle.get(), timeoutMs);
  switch (result) {
    case WAIT_OBJECT_0:
      return MutexWait::acquired;
    case WAIT_TIMEOUT:
      return MutexWait::timedOut;
    case WAIT_ABANDONED:
      // The system handed us the mutex of a holder that died. The seam's
      // contract is that the caller does not hold it: release it so that the
      // next waiter obtains it normally.
      ::ReleaseMutex(impl_->handle.get());
      return MutexWait::abandoned;
    default:
      return MutexWait::failed;
  }
}

bool OsMutex::release() noexcept {
  return ::ReleaseMutex(impl_->handle.get()) != 0;
}

const void* OsMutex::systemObject() const noexcept {
  return impl_->handle.get();
}

// ------------------------------------------------------------- semaphores

struct OsSemaphore::Impl {
  Handle handle;
  std::int32_t maximum = 1;
};

OsSemaphore::OsSemaphore(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
OsSemaphore::~OsSemaphore() = default;

std::unique_ptr<OsSemaphore> OsSemaphore::openNamed(std::string_view fullName,
                                                    std::int32_t maximumCount) {
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) return nullptr;
  if (maximumCount < 1) {
    logLine(0, 1, 0, "Could not create semaphore '%s': maximum count %d", name->c_str(),
            maximumCount);
    return nullptr;
  }
  // Initial count 0, the given maximum; an existing semaphore keeps its own.
  Handle handle(::CreateSemaphoreA(nullptr, 0, maximumCount, name->c_str()));
  if (!handle.valid()) {
    const std::string reason = errorNow();
    logLine(0, 1, 0, "Could not create semaphore '%s': %s", name->c_str(), reason.c_str());
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->handle = Handle(handle.release());
  impl->maximum = maximumCount;
  return std::make_unique<OsSemaphore>(std::move(impl));
}

bool OsSemaphore::signal() noexcept {
  // The kernel refuses a release past the maximum (ERROR_TOO_MANY_POSTS), in
  // one step, whatever the number of signallers.
  return ::ReleaseSemaphore(impl_->handle.get(), 1, nullptr) != 0;
}

bool OsSemaphore::wait(std::uint32_t timeoutMs) noexcept {
  return ::WaitForSingleObject(impl_->handle.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::int32_t OsSemaphore::count() const noexcept {
  const QuerySemaphore query = semaphoreQuery();
  if (query == nullptr) return -1;
  SemaphoreBasicInformation info{};
  ULONG written = 0;
  if (query(impl_->handle.get(), 0, &info, sizeof info, &written) < 0) return -1;
  return static_cast<std::int32_t>(info.currentCount);
}

std::int32_t OsSemaphore::maximumCount() const noexcept {
  return impl_->maximum;
}

// The open handle keeps the name: it cannot have been removed or reused.
OsSemaphore::NameBinding OsSemaphore::nameBinding() const noexcept {
  return NameBinding::thisObject;
}

// --------------------------------------------------------------- sections

namespace {

// Maps the whole section read-write. `knownLength` is the size this process
// gave a new section; 0 for one that existed, whose mapped length is asked
// from the system (a whole number of pages, all of it readable).
SectionResult mapWhole(Handle section, std::uint64_t knownLength) {
  SectionResult result;
  void* base = ::MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (base == nullptr) {
    result.status = SectionStatus::mapFailed;
    result.errorCode = os::lastErrorCode();
    return result;  // the section handle closes here
  }
  std::uint64_t length = knownLength;
  if (length == 0) {
    MEMORY_BASIC_INFORMATION region{};
    if (::VirtualQuery(base, &region, sizeof region) == 0) {
      result.status = SectionStatus::mapFailed;
      result.errorCode = os::lastErrorCode();
      ::UnmapViewOfFile(base);
      return result;
    }
    length = region.RegionSize;
  }
  result.status = SectionStatus::mapped;
  result.view = SectionView{static_cast<std::uint8_t*>(base), length,
                            reinterpret_cast<std::intptr_t>(section.release())};
  return result;
}

}  // namespace

SectionResult createSection(std::string_view fullName, std::uint64_t size, bool /*keepHandle*/) {
  SectionResult result;
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) {
    result.status = SectionStatus::nameRefused;
    return result;
  }
  // A 32-bit process cannot map more than its address space.
  if (size == 0 || size > std::numeric_limits<std::size_t>::max()) {
    result.status = SectionStatus::createFailed;
    result.errorCode = ERROR_INVALID_PARAMETER;
    return result;
  }
  // Backed by the paging file, read-write pages, maximum size in two halves.
  Handle section(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(size >> 32U),
                                      static_cast<DWORD>(size & 0xFFFFFFFFU), name->c_str()));
  if (!section.valid()) {
    result.status = SectionStatus::createFailed;
    result.errorCode = os::lastErrorCode();
    return result;
  }
  // An existing section of that name is returned as it is, with its own size.
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  result = mapWhole(std::move(section), existed ? 0 : size);
  result.created = !existed && result.status == SectionStatus::mapped;
  return result;
}

SectionResult openSection(std::string_view fullName, bool /*keepHandle*/) {
  SectionResult result;
  const std::optional<std::string> name = nameOrLog(fullName);
  if (!name) {
    result.status = SectionStatus::nameRefused;
    return result;
  }
  Handle section(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name->c_str()));
  if (!section.valid()) {
    result.status = SectionStatus::absent;
    return result;
  }
  return mapWhole(std::move(section), 0);
}

// The paging file keeps no record of untouched pages that a process could
// ask for, so every byte is copied.
void copyWrittenBytes(const SectionView& from, std::uint8_t* to, std::uint64_t length) noexcept {
  std::memcpy(to, from.address, static_cast<std::size_t>(length));
}

void unmapSection(const SectionView& view) noexcept {
  if (view.address != nullptr) ::UnmapViewOfFile(view.address);
  if (view.handle != -1 && view.handle != 0) {
    ::CloseHandle(reinterpret_cast<HANDLE>(view.handle));
  }
}

// ---------------------------------------------------------------- removal

// A kernel object's name lives exactly as long as its last handle, in any
// process; nothing can take it away earlier, and nothing is left after a
// crash (the system closes a dead process's handles). Removal therefore only
// answers whether the object still exists, so that callers that remove what
// they created see the same result as on other systems.
bool removeSystemObject(std::string_view fullName, SystemObjectKind kind) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return false;
  HANDLE handle = nullptr;
  switch (kind) {
    case SystemObjectKind::mutex:
      handle = ::OpenMutexA(SYNCHRONIZE, FALSE, name->c_str());
      break;
    case SystemObjectKind::semaphore:
      handle = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, name->c_str());
      break;
    case SystemObjectKind::section:
      handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name->c_str());
      break;
  }
  const Handle existing(handle);
  return existing.valid();
}

std::size_t removeSystemObjectsWithPrefix(std::string_view) {
  return 0;
}

}  // namespace vornix

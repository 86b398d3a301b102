// The operating-system seam for named kernel objects: mutexes, counting
// semaphores and shared-memory sections found by name.
//
// Callers pass full names ("Local\Mutex_<logical>", "Local\Semaphore_<...>",
// "Local\Shmem_<...>"); this seam maps them to the system's own names with
// systemObjectName, the same way in every process. One implementation file
// per operating system is chosen by the build (posix/named_objects_posix.cpp);
// nothing here depends on a system header.
//
// Failure reporting: the functions that create or open objects log the
// reasons that only this seam can know (a name the system cannot carry, an
// object that belongs to another user, a mutex object never initialised) as
// lines of category 1, level 0, and return null or a failure status. The
// section functions leave the caller's own diagnostic lines to the caller and
// return the system error code for them.
//
// Thread safety: every free function is thread-safe. An OsMutex or
// OsSemaphore may be used by any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vornix {

// Longest system object name accepted, in characters after the leading '/'
// (within the file-name limit of the shared-memory directory, with room to
// spare), for all three kinds.
inline constexpr std::size_t kMaxSystemNameLength = 250;

// Maps a full name to the system object name:
//   "/loquant.<effective uid>.<full name>"
// with '/', '%' and NUL in the full name written as "%2F", "%25" and "%00"
// (the backslash is kept). The uid keeps the objects of different users apart.
// Empty when the result would be longer than kMaxSystemNameLength characters
// after the '/': a long name is refused, never cut (a cut name could be the
// name of another object). Pure apart from reading the uid; never logs.
std::optional<std::string> systemObjectName(std::string_view fullName);

// The result of waiting for a mutex. The numbers are the wait results that the
// diagnostics print (the same numbers on every system).
enum class MutexWait : std::uint32_t {
  acquired = 0,
  abandoned = 0x80,  // the previous holder died holding it
  timedOut = 0x102,
  failed = 0xFFFFFFFF,
};

// A recursive mutex of the system: named (shared by every process of this user
// that opens the same full name) or unnamed (private to the process).
class OsMutex {
 public:
  // Creates the named mutex, or opens it when it exists. Null when it cannot
  // be had; the reason is logged.
  static std::unique_ptr<OsMutex> openNamed(std::string_view fullName);
  // A mutex private to this process; null only when the system refuses one.
  static std::unique_ptr<OsMutex> createUnnamed();

  ~OsMutex();
  OsMutex(const OsMutex&) = delete;
  OsMutex& operator=(const OsMutex&) = delete;

  // Waits at most `timeoutMs` milliseconds (0: only tries; 0xFFFFFFFF: no
  // limit). When the previous holder died holding the mutex the result is
  // `abandoned` and the caller does NOT hold it: the mutex has been made
  // consistent and released, so the next waiter obtains it normally.
  MutexWait wait(std::uint32_t timeoutMs) noexcept;
  // Releases one level held by the calling thread; false when the system
  // refuses (for example the calling thread does not hold it).
  bool release() noexcept;
  // The address of the system object, for diagnostics only.
  const void* systemObject() const noexcept;

  struct Impl;  // defined by the implementation file of the system
  explicit OsMutex(std::unique_ptr<Impl> impl) noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// A named counting semaphore with a maximum count.
class OsSemaphore {
 public:
  // Creates the semaphore with count 0, or opens it when it exists. The
  // maximum is kept by this object (a maximum below 1 is refused). Null when
  // it cannot be had; the reason is logged.
  static std::unique_ptr<OsSemaphore> openNamed(std::string_view fullName,
                                                std::int32_t maximumCount);

  ~OsSemaphore();
  OsSemaphore(const OsSemaphore&) = delete;
  OsSemaphore& operator=(const OsSemaphore&) = delete;

  // Raises the count by one; false when the count is already at the maximum
  // or the system refuses. The maximum is checked against the current count
  // and then raised in two steps: signallers racing in different processes
  // can pass the maximum by at most their number.
  bool signal() noexcept;
  // True when the count was taken within `timeoutMs` (0: only tries;
  // 0xFFFFFFFF: no limit). Interrupted waits are resumed.
  bool wait(std::uint32_t timeoutMs) noexcept;
  // The current count (diagnostics and tests); -1 when it cannot be read.
  std::int32_t count() const noexcept;
  std::int32_t maximumCount() const noexcept;

  // What the full name this object was opened under names now. A name can be
  // removed (removeSystemObject, by any process or any copy of this code in
  // this process) and then given to a new object, which later openers find
  // while this object goes on living unnamed: signals through the two are not
  // shared. On POSIX the identity (device and inode) of the system's file for
  // the object is taken when it is opened and compared with the file that the
  // name leads to now, one stat per call. On Windows a name lives as long as
  // any handle to its object, so it cannot leave an open object: always
  // `thisObject` there. Thread-safe; never logs.
  enum class NameBinding { thisObject, otherObject, noObject };
  NameBinding nameBinding() const noexcept;

  struct Impl;
  explicit OsSemaphore(std::unique_ptr<Impl> impl) noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// A mapped view of a whole section. `handle` is the system handle kept with
// the view until it is unmapped (-1 when the system needs none after mapping).
struct SectionView {
  std::uint8_t* address = nullptr;
  std::uint64_t length = 0;
  std::intptr_t handle = -1;
};

enum class SectionStatus {
  mapped,        // `view` is valid
  absent,        // open only: no such section, or it is still being sized
  nameRefused,   // the name cannot be carried by the system (logged here)
  createFailed,  // create only: the section could not be created or sized
  mapFailed,     // the section exists but could not be mapped
  notOwned,      // the object belongs to another user (logged here)
};

struct SectionResult {
  SectionStatus status = SectionStatus::absent;
  SectionView view;
  int errorCode = 0;     // the system error of createFailed and mapFailed
  bool created = false;  // createSection made the object: every byte reads as zero
};

// Creates a section of `size` bytes, or opens the existing one of that name
// (which keeps its own size), and maps it whole, read-write. A new section is
// created with access for this user only; when its sizing or mapping fails,
// the name is removed again so that no empty object is left behind.
// `keepHandle` keeps the POSIX descriptor with the view, for copyWrittenBytes
// (Windows keeps its handle with every view).
SectionResult createSection(std::string_view fullName, std::uint64_t size, bool keepHandle = false);
// Opens an existing section and maps it whole. A section of size 0 is still
// being sized by its creator and counts as absent.
SectionResult openSection(std::string_view fullName, bool keepHandle = false);
// Copies the first `length` bytes of the view `from` to `to`, the start of a
// section that createSection has just made (every byte zero), leaving out
// the ranges the system reports as never written (holes of a POSIX object,
// asked through the descriptor kept with `from`; they read as zero). Copies
// every byte when the view has no descriptor or the system cannot tell. A
// section whose records are mostly unused is then grown in a few page copies
// instead of touching (and allocating) every page of both sections.
void copyWrittenBytes(const SectionView& from, std::uint8_t* to, std::uint64_t length) noexcept;
// Unmaps a view from createSection/openSection and releases its handle.
void unmapSection(const SectionView& view) noexcept;

enum class SystemObjectKind { mutex, semaphore, section };

// Removes the name of an object so that no later open finds it; processes
// that hold it keep using it. False when there was no such object. On POSIX
// only an object of ours is removed (a regular file of this user, never a
// link followed); anything else under the name is left in place, logged as
// "System object '<full name>' is not ours; not removed", and gives false.
bool removeSystemObject(std::string_view fullName, SystemObjectKind kind);

// Removes every object of this user (of all three kinds) whose full name
// starts with `fullNamePrefix`, for example what a crashed instance left
// behind. Returns the number of objects removed.
std::size_t removeSystemObjectsWithPrefix(std::string_view fullNamePrefix);

// The system's text for an error code (no trailing line break).
std::string systemErrorText(int code);

// The system's id of the calling thread, asked once per thread and again in a
// child process after fork (whose threads have new ids). Cheap enough for the
// mutex's hot path.
std::uint32_t cachedThreadId() noexcept;

}  // namespace vornix

// Named shared-memory sections ("Local\Shmem_<logical name>") and the
// process-wide mapping registry (address -> system handle and mapped length),
// guarded by a std::mutex of its own: any thread may create, open and close
// sections at any time. The registry lives until unload (sync_registries.h).
// Sections are created with access for this user only.
//
// A section is always mapped whole, read-write. Every section of the runtime
// keeps its own total size in its first 8 bytes, and its users pass that
// value when they let a view go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/named_objects.h"
#include "util/sync_registries.h"

namespace vornix {

// Creates (or, when it exists already, opens) the section and maps it. An
// existing section keeps its own size: check mappedLength() before using more
// than it. A size of 0 cannot create a section. Logs "Could not create shared
// memory '%s': %s" when creation fails; a failed mapping gives null without a
// line. A name too long for the system is refused with its own line.
// `created`, when given, tells whether this call made the section (every
// byte reads as zero) rather than finding it under the name.
std::uint8_t* createSharedMemory(std::string_view logicalName, std::uint64_t size,
                                 bool* created = nullptr);

// Opens an existing section and maps it whole; null without a line when it
// does not exist (or its creator has not sized it yet), "Could not map shared
// memory '%s': %s" when mapping fails.
std::uint8_t* openSharedMemory(std::string_view logicalName);

// Unmaps a view made by the two operations above (the whole mapped length,
// whatever `size` says). A null address or a size of 0 does nothing and gives
// true. An address that this module's registry does not know is taken for a
// view mapped by another copy of these operations (a component library
// carries its own) and unmapped as [address, address + size): the caller
// passes the length it saw when it mapped the view. An unknown address that
// does not start a page is left alone and gives false. The other copy's
// registry then still holds the view's handle (on Windows it keeps the
// section alive), so views that may be released by another copy are held as
// SharedView instead.
bool closeSharedMemory(std::uint8_t* address, std::uint64_t size);

// The mapped length of a view made by the operations above (0 when unknown).
// Lets a client bound every access by the bytes really mapped.
std::uint64_t mappedLength(const std::uint8_t* address);

// A view that carries its own system handle (the section's HANDLE on
// Windows, which keeps the section alive; the descriptor on POSIX, which
// copyTo asks about the object's written ranges), and releases both when
// dropped. No registry takes part, so whichever copy of
// these operations drops the view (the library carries its own copy, and an
// object that one copy maps may be released by the other) unmaps it whole
// and closes the handle that keeps the section, and on Windows its name,
// alive. Used by the section clients that cross that boundary; the
// registry-based operations above serve views that one module maps and
// releases itself.
//
// Move-only; not synchronised (its owner guards it). A view is released by
// the destructor, by reset() and by move-assignment over it.
class SharedView {
 public:
  SharedView() noexcept = default;
  // As createSharedMemory and openSharedMemory, with the same lines on
  // failure; an empty view when they would give null.
  static SharedView create(std::string_view logicalName, std::uint64_t size);
  static SharedView open(std::string_view logicalName);

  SharedView(SharedView&& other) noexcept;
  SharedView& operator=(SharedView&& other) noexcept;
  SharedView(const SharedView&) = delete;
  SharedView& operator=(const SharedView&) = delete;
  ~SharedView();

  explicit operator bool() const noexcept { return view_.address != nullptr; }
  // The first mapped byte (null when empty) and the bytes really mapped.
  std::uint8_t* data() const noexcept { return view_.address; }
  std::uint64_t length() const noexcept { return view_.length; }
  // True for a view that create() made a new section for (not one it found
  // under the name): its bytes read as zero until written.
  bool created() const noexcept { return created_; }
  // Unmaps the view and closes its handle; the view is empty afterwards.
  void reset() noexcept;

  // Copies this view's first `length` bytes to the start of `to`. When `to`
  // is a new section (created()) not yet written to, the ranges of this section that were never
  // written are left out (they read as zero on both sides), so that a grow
  // of a large, mostly unused section costs its written pages, not all of
  // them. `length` must not exceed either view's length.
  void copyTo(const SharedView& to, std::uint64_t length) const noexcept;

 private:
  SharedView(const SectionView& view, bool created) noexcept : view_(view), created_(created) {}
  SectionView view_;
  bool created_ = false;
};

// Removes the section's name from the system so that no later open finds it;
// existing views stay valid. Used by the creator of a section when the
// section is replaced or its instance stops. False when there was none.
bool removeSharedMemory(std::string_view logicalName);

// Removes every named mutex, semaphore and section of this user whose FULL
// name ("Local\Mutex_...", "Local\Semaphore_...", "Local\Shmem_...")
// starts with `fullNamePrefix`; the host uses it to clear what a crashed
// instance left behind. Returns the number of objects removed.
std::size_t removeNamedObjectsWithPrefix(std::string_view fullNamePrefix);

}  // namespace vornix

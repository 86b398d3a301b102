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
// MappedSection instead.
bool closeSharedMemory(std::uint8_t* address, std::uint64_t size);

// The mapped length of a view made by the operations above (0 when unknown).
std::uint64_t mappedLength(const std::uint8_t* address);

// The section, created (or opened when it exists) and mapped, with the
// failure lines of createSharedMemory; and the section, opened and mapped,
// with those of openSharedMemory. No registry takes part: the caller owns the
// view and releases it with unmapSection. `keepHandle` keeps the POSIX
// descriptor with the view (for copyWrittenBytes). The one view type built on
// them is MappedSection (runtime/mapped_section.h).
SectionResult createSectionLogged(std::string_view logicalName, std::uint64_t size,
                                  bool keepHandle);
SectionResult openSectionLogged(std::string_view logicalName, bool keepHandle);

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

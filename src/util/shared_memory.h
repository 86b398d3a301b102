// Named shared-memory sections ("Local\Shmem_<logical name>") and the
// process-wide mapping registry (address -> system handle).
//
// A section is always mapped whole, read-write. Every section of the runtime
// keeps its own total size in its first 8 bytes, and its users pass that
// value when they let a view go.
#pragma once

#include <cstdint>
#include <string_view>

namespace vornix {

// Creates (or, when it exists already, opens) the section and maps it.
// Logs "Could not create shared memory '%s': %s" when creation fails; a
// failed mapping gives null without a line. Thread-safe.
std::uint8_t* createSharedMemory(std::string_view logicalName, std::uint64_t size);

// Opens an existing section and maps it whole; null without a line when it
// does not exist, "Could not map shared memory '%s': %s" when mapping fails.
std::uint8_t* openSharedMemory(std::string_view logicalName);

// Unmaps a view made by the two operations above. A null address or a size of
// 0 does nothing. Returns true.
bool closeSharedMemory(std::uint8_t* address, std::uint64_t size);

// The mapped length of a view made by the operations above (0 when unknown).
// Lets a client bound every access by the bytes really mapped.
std::uint64_t mappedLength(const std::uint8_t* address);

// Removes the section's name from the system so that no later open finds it;
// existing views stay valid. Used by the creator of a section when the
// section is replaced or its instance stops.
bool removeSharedMemory(std::string_view logicalName);

}  // namespace vornix

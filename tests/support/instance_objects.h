// The named objects of a system instance that exist now, found the way each
// system allows: on POSIX by listing /dev/shm, on Windows (which lists no
// "Local\" objects) by opening every name the instance can use. Tests use it
// to show that an instance left nothing behind, or what a killed one left.
//
// Thread safety: thread-safe; the answer is a snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vornix::test {

// Highest serial and queue or component number probed on Windows. The
// objects of an instance carry its number and, for sections, a serial (from
// 0) or, for semaphores, a queue or component id; tests stay below these.
inline constexpr std::uint32_t kProbedSerials = 64;
inline constexpr std::uint32_t kProbedIds = 512;

// Full names ("Local\Shmem_...", "Local\Mutex_...", "Local\Semaphore_...")
// of this user's objects of `instance`: the instance names of
// util/object_names.h.
std::vector<std::string> objectsOfInstance(std::uint16_t instance);

// The objects of `instance` that outlive a clean stop, which must be none:
// objectsOfInstance. (The queue readers and writers own the semaphores they
// open, so on Windows, where a name lives as long as a handle to it, they go
// with the clients at stop; POSIX hosts remove the names at stop.)
std::vector<std::string> leftAfterStop(std::uint16_t instance);

// True when the system removes a name at once, while processes that opened
// the object keep using it (POSIX); false when a name goes only with the last
// handle to its object (Windows), so a section replaced by a grow can still
// be opened by name while someone maps it.
bool namesAreRemovedAhead();

// Views of the instance's sections that this process still has mapped. On
// POSIX read from /proc/self/maps; on Windows a mapped view keeps its section
// in existence, so it is the number of the instance's sections that exist.
std::size_t mappedViewsOfInstance(std::uint16_t instance);

}  // namespace vornix::test

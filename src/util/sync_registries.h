// Lifetime of the process-wide registries of named objects: the semaphore
// registry (semaphore.h) and the mapping registry (shared_memory.h).
//
// A use counter is raised by one static object in every translation unit that
// includes semaphore.h or shared_memory.h, before any object defined after the
// include in that unit is constructed, and lowered when that static object is
// destroyed, after those objects. The registries are built when the counter
// first rises and torn down, once, when it falls back to 0 at unload or exit:
// every Semaphore is closed and deleted, the registries are emptied and their
// guards released. Views still in the mapping registry are not unmapped (the
// process or the library is going away). After the teardown the operations
// fail (null or false) instead of touching freed state.
//
// Thread safety: static initialisation and destruction run on one thread; the
// counter is not meant to be changed by any other code.
#pragma once

namespace vornix::detail {

class SyncRegistriesUse {
 public:
  SyncRegistriesUse() noexcept;
  ~SyncRegistriesUse();
  SyncRegistriesUse(const SyncRegistriesUse&) = delete;
  SyncRegistriesUse& operator=(const SyncRegistriesUse&) = delete;
};

// Called by the use counter only (sync_registries.cpp).
void startSemaphoreRegistry() noexcept;
void stopSemaphoreRegistry() noexcept;
void startMappingRegistry() noexcept;
void stopMappingRegistry() noexcept;

// One use per translation unit.
[[maybe_unused]] static const SyncRegistriesUse syncRegistriesUse;

}  // namespace vornix::detail

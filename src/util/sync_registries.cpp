#include "util/sync_registries.h"

namespace vornix::detail {
namespace {
// Changed only during static initialisation and destruction (one thread).
int useCount = 0;
}  // namespace

SyncRegistriesUse::SyncRegistriesUse() noexcept {
  if (useCount++ == 0) {
    startMappingRegistry();
    startSemaphoreRegistry();
  }
}

SyncRegistriesUse::~SyncRegistriesUse() {
  if (--useCount == 0) {
    stopSemaphoreRegistry();
    stopMappingRegistry();
  }
}

}  // namespace vornix::detail

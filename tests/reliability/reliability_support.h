// Helpers of the reliability suite: an instance number that no other test
// process uses at the same time, and the named objects of an instance
// (support/instance_objects.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "support/instance_objects.h"
#include "support/test_instances.h"
#include "support/test_process.h"

namespace vornix::test {

// An instance of this test process (support/test_instances.h).
inline std::uint16_t reliabilityInstance() {
  return testInstance();
}

}  // namespace vornix::test

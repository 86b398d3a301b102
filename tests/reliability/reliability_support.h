// Helpers of the reliability suite: an instance number that no other test
// process uses at the same time, and the named objects of an instance
// (support/instance_objects.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "support/instance_objects.h"
#include "support/test_process.h"

namespace vornix::test {

// 12 bits of the process id and a per-process counter, above the range the
// section tests use.
inline std::uint16_t reliabilityInstance() {
  static std::atomic<std::uint32_t> counter{0};
  const auto pid = processId();
  return static_cast<std::uint16_t>(20000U + ((pid & 0xFFFU) << 3) + (counter++ & 7U));
}

}  // namespace vornix::test

// Instance numbers for tests, from the one allocator every suite uses. Each
// test process owns a block of eight numbers chosen by its process id, and
// consecutive calls in one process go round its block: test processes that
// run in parallel take numbers of their own (unless their ids are equal
// modulo the number of blocks), whatever suite they belong to.
//
// Thread safety: thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/test_process.h"

namespace vornix::test {

inline constexpr std::uint32_t kFirstTestInstance = 2000;
inline constexpr std::uint32_t kTestInstancesPerProcess = 8;
inline constexpr std::uint32_t kTestInstanceBlocks = 7900;  // up to 65,199

inline std::uint16_t testInstance() {
  static std::atomic<std::uint32_t> next{0};
  const std::uint32_t block = processId() % kTestInstanceBlocks;
  return static_cast<std::uint16_t>(kFirstTestInstance + block * kTestInstancesPerProcess +
                                    next++ % kTestInstancesPerProcess);
}

}  // namespace vornix::test

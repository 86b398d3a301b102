// The handle's pointer-size-dependent layout, checked by the compiler in
// every build of the library. A host written against the 32-bit Windows
// library reads the handle's host context as five 4-byte fields; a change of
// order or type here would make it read the wrong object, so the build stops
// instead. The 64-bit build keeps the same order with 8-byte pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "loquant/loquant.h"
#include "runtime/zel_api.h"

namespace vornix::handle_layout {

inline constexpr std::size_t kPointer = sizeof(void*);

#if defined(_WIN32)
static_assert(kPointer == 4, "loquant.dll is a 32-bit library");
// 64-bit fields are 8-aligned in a Windows structure even on x86 (unlike
// the 32-bit System V rule), which the handle's u64 fields rely on.
struct U64Field {
  std::uint32_t before;
  std::uint64_t value;
};
static_assert(offsetof(U64Field, value) == 8);
#endif

static_assert(sizeof(ZelAPI*) == kPointer);
static_assert(sizeof(loquant::EntryPoint32) == kPointer &&
              sizeof(loquant::EntryPoint8) == kPointer);
// The host context: log sink, memory hub, 16-bit process id, then the host's
// clock and wait observer, each pointer at the next pointer-sized slot.
static_assert(std::is_standard_layout_v<HostContext>);
static_assert(offsetof(HostContext, logSink) == 0);
static_assert(offsetof(HostContext, memoryHub) == kPointer);
static_assert(offsetof(HostContext, processId) == 2 * kPointer);
static_assert(offsetof(HostContext, clock) == 3 * kPointer);
static_assert(offsetof(HostContext, waitObserver) == 4 * kPointer);
static_assert(sizeof(HostContext) == 5 * kPointer);

}  // namespace vornix::handle_layout

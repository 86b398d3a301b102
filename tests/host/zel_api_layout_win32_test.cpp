// The handle's layout in the 32-bit Windows build, checked by the compiler.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "loquant/loquant.h"
#include "runtime/zel_api.h"

namespace {

// The handle and its host context are laid out for 32-bit pointers: the
// context pointer, then the lock; the context holds log sink, memory hub and
// the 16-bit process id in this order, then the host's two hooks.
static_assert(sizeof(void*) == 4, "loquant.dll is a 32-bit library");
static_assert(sizeof(vornix::ZelAPI*) == 4);
static_assert(sizeof(loquant::EntryPoint32) == 4 && sizeof(loquant::EntryPoint8) == 4);
static_assert(std::is_standard_layout_v<vornix::HostContext>);
static_assert(offsetof(vornix::HostContext, logSink) == 0);
static_assert(offsetof(vornix::HostContext, memoryHub) == 4);
static_assert(offsetof(vornix::HostContext, processId) == 8);
static_assert(offsetof(vornix::HostContext, clock) == 12);
static_assert(offsetof(vornix::HostContext, waitObserver) == 16);
static_assert(sizeof(vornix::HostContext) == 20);
// 64-bit fields are 8-aligned in a Windows structure even on x86, unlike the
// 32-bit System V rule.
struct U64Field {
  std::uint32_t before;
  std::uint64_t value;
};
static_assert(offsetof(U64Field, value) == 8);

TEST(ZelApiLayoutWin32, HandleStartsWithItsHostContext) {
  vornix::HostContext context;
  vornix::ZelAPI api(&context, 7, "LayoutWin32");
  // The first field of the handle is the host context pointer (4 bytes).
  void* first = nullptr;
  std::memcpy(&first, static_cast<const void*>(&api), sizeof first);
  EXPECT_EQ(first, &context);
  EXPECT_EQ(api.componentId(), 7U);
}

}  // namespace

// The handle as a 32-bit Windows host sees it. The field offsets are checked
// by the compiler in exports/handle_layout.h (included here so that this
// suite's Windows build checks them too); this test checks the part that
// needs a live handle.
#include <gtest/gtest.h>

#include <cstring>

#include "exports/handle_layout.h"
#include "runtime/zel_api.h"

namespace vornix {
namespace {

static_assert(sizeof(void*) == 4, "the Windows build is 32-bit");

TEST(ZelApiLayoutWin32, HandleStartsWithItsHostContextPointer) {
  HostContext context;
  ZelAPI api(&context, 7, "LayoutWin32");
  // A host reads the first 4 bytes of the handle as its context pointer.
  void* first = nullptr;
  std::memcpy(&first, static_cast<const void*>(&api), sizeof first);
  EXPECT_EQ(first, &context);
  EXPECT_EQ(api.hostContext(), &context);
  EXPECT_EQ(api.componentId(), 7U);
}

}  // namespace
}  // namespace vornix

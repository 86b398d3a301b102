// A child forked from the test shares the host's section objects and
// replaces the component section under a new serial; the parent's client
// follows. The child works on the parent's own objects, which only fork
// hands to another process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/sections/component_fixture.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::ComponentMemoryTest;
using test::components;

// Two processes share the section: a child replaces it under a new serial and
// the parent's next getter follows.
TEST_F(ComponentMemoryTest, ForkedChildPublishesANewSerialPosix) {
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 16000);
  const std::uint32_t next = section->serial() + 1;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child leaves without destructors: the new section stays published.
    const auto specs = components(22050);
    _exit(section->replace(specs, 3) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 22050);
  EXPECT_EQ(client->serial(), next);
  EXPECT_TRUE(removeSharedMemory(familySectionName(SectionFamily::component, instance, next)));
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 22050);  // our view outlives the name
}

}  // namespace
}  // namespace vornix

// Windows keeps a named object only while some process has a handle to it:
// a host killed while its instance runs leaves nothing behind, so there is
// nothing for the next start to clear.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reliability/killed_instance.h"
#include "reliability/reliability_support.h"

namespace vornix::test {
namespace {

TEST(KilledInstanceWin32, ObjectsOfAKilledHostGoWithIt) {
  const std::uint16_t instance = reliabilityInstance();
  const auto child = ChildProcess::start(kStartSystemAndDie, std::to_string(instance));
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->wait(), kKilledStatus);
  EXPECT_EQ(objectsOfInstance(instance), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornix::test

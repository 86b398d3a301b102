// Finding running instances from outside, the way `loquant inspect` does: a
// started system is listed and can be viewed; once stopped it is neither,
// and looking never creates an object of the instance.
#include "host/instance_lookup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "host/config.h"
#include "host/instance_view.h"
#include "host/system.h"
#include "support/instance_objects.h"
#include "support/test_instances.h"
#include "support/test_process.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::host {
namespace {

using ::testing::Contains;
using ::testing::Not;

std::unique_ptr<System> startedSystem(std::uint16_t instance) {
  const ConfigResult parsed =
      parseConfig(formatString("instance = %u\n"
                               "[[components]]\nname = \"out\"\nentry = \"sink\"\n"
                               "[[components.triggers]]\nname = \"Any\"\ntype = \"Speech.*\"\n",
                               unsigned{instance}),
                  "lookup.toml");
  if (!std::holds_alternative<SystemConfig>(parsed)) return nullptr;
  SystemOptions options;
  options.logOutput = nullptr;
  std::string error;
  auto system = System::create(std::get<SystemConfig>(parsed), options, error);
  if (!system || !system->start()) return nullptr;
  return system;
}

TEST(InstanceLookup, RunningSystemIsListedAndViewedAndGoneAfterItsStop) {
  const auto instance = test::testInstance();
  const std::string master = sectionFullName(masterSectionName(instance));
  ASSERT_FALSE(namedObjectExists(master));
  {
    const auto system = startedSystem(instance);
    ASSERT_NE(system, nullptr);
    EXPECT_TRUE(namedObjectExists(master));
    EXPECT_TRUE(
        namedObjectExists(mutexFullName(familyMutexName(SectionFamily::component, instance))));
    EXPECT_THAT(listInstances(), Contains(instance));

    std::string error;
    const auto view = InstanceView::open(instance, error);
    ASSERT_NE(view, nullptr) << error;
    const auto snapshot = view->snapshot(error);
    ASSERT_TRUE(snapshot) << error;
    ASSERT_EQ(snapshot->components.size(), 1U);
    EXPECT_EQ(snapshot->components[0].name, "out");
    system->stop();
  }
  EXPECT_THAT(listInstances(), Not(Contains(instance)));
  EXPECT_FALSE(namedObjectExists(master));
  std::string error;
  EXPECT_EQ(InstanceView::open(instance, error), nullptr);
  EXPECT_NE(error.find("is not running"), std::string::npos) << error;
  // Looking created nothing.
  EXPECT_EQ(test::leftAfterStop(instance), std::vector<std::string>{});
}

TEST(InstanceLookup, NamesOfNoKnownKindOrTooLongDoNotExist) {
  EXPECT_FALSE(namedObjectExists("Local\\Event_" + std::string(kInstanceNameStem)));
  EXPECT_FALSE(namedObjectExists("Local\\Shmem_" + std::string(400, 'x')));
}

}  // namespace
}  // namespace vornix::host

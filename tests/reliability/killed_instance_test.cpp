// A host killed while its instance runs: the next start of the same instance
// works and its clean stop leaves no named object behind, on every system.
// (What the killed run leaves in between is the system's affair: POSIX names
// outlive their processes, stale_objects_posix_test.cpp; Windows names go
// with their last handle, killed_instance_win32_test.cpp.)
#include "reliability/killed_instance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <variant>

#include "host/config.h"
#include "host/system.h"
#include "reliability/reliability_support.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix::test {

std::string killedInstanceConfig(std::uint16_t instance) {
  return formatString(
      "instance = %u\n"
      "[[components]]\nname = \"out\"\nentry = \"sink\"\n"
      "[[components.triggers]]\nname = \"Any\"\ntype = \"Speech.*\"\n",
      unsigned{instance});
}

namespace {

// Starts the instance numbered by `argument`, adds a grown process section
// (serial 9) and a queue semaphore (id 200) as a long run would, and dies.
int startSystemAndDie(const std::string& argument) {
  const auto instance = static_cast<std::uint16_t>(std::strtoul(argument.c_str(), nullptr, 10));
  const host::ConfigResult parsed = host::parseConfig(killedInstanceConfig(instance), "k.toml");
  if (!std::holds_alternative<host::SystemConfig>(parsed)) return 2;
  host::SystemOptions options;
  options.logOutput = nullptr;
  std::string error;
  auto system = host::System::create(std::get<host::SystemConfig>(parsed), options, error);
  if (!system || !system->start()) return 3;
  if (createSharedMemory(familySectionName(SectionFamily::process, instance, 9), 4096) == nullptr) {
    return 4;
  }
  if (getNamedSemaphore(queueSemaphoreName(instance, 200), true) == nullptr) {
    return 5;
  }
  killSelf();
}

[[maybe_unused]] const bool kRole = registerChildRole(kStartSystemAndDie, &startSystemAndDie);

TEST(KilledInstance, NextStartWorksAndItsCleanStopLeavesNothing) {
  const std::uint16_t instance = reliabilityInstance();
  const auto child = ChildProcess::start(kStartSystemAndDie, std::to_string(instance));
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->wait(), kKilledStatus);

  const host::ConfigResult parsed = host::parseConfig(killedInstanceConfig(instance), "k.toml");
  ASSERT_TRUE(std::holds_alternative<host::SystemConfig>(parsed));
  {
    host::SystemOptions options;
    options.logOutput = nullptr;
    std::string error;
    auto system = host::System::create(std::get<host::SystemConfig>(parsed), options, error);
    ASSERT_NE(system, nullptr) << error;
    ASSERT_TRUE(system->start());
    system->stop();
  }
  EXPECT_EQ(objectsOfInstance(instance), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornix::test

// An instance whose host was killed leaves its named objects in /dev/shm
// (POSIX names outlive their processes; Windows names do not, see
// killed_instance_win32_test.cpp): the next start of the same instance must
// clear them (and not adopt them), and its clean stop must leave nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <variant>

#include "host/config.h"
#include "host/system.h"
#include "reliability/fork_support_posix.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

std::string systemText(std::uint16_t instance) {
  return formatString(
      "instance = %u\n"
      "[[components]]\nname = \"out\"\nentry = \"sink\"\n"
      "[[components.triggers]]\nname = \"Any\"\ntype = \"Speech.*\"\n",
      unsigned{instance});
}

bool contains(const std::vector<std::string>& names, const std::string& part) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return n.find(part) != std::string::npos; });
}

TEST(StaleObjects, NextStartOfAKilledInstanceClearsWhatItLeftBehind) {
  const std::uint16_t instance = test::reliabilityInstance();
  const host::ConfigResult parsed = host::parseConfig(systemText(instance), "stale.toml");
  ASSERT_TRUE(std::holds_alternative<host::SystemConfig>(parsed))
      << std::get<host::ConfigError>(parsed).text();
  const auto& config = std::get<host::SystemConfig>(parsed);
  // Objects only a crashed run would have: a grown section and a queue semaphore.
  const std::string grown = familySectionName(SectionFamily::process, instance, 9);
  const std::string semaphore = queueSemaphoreName(instance, 200);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    host::SystemOptions options;
    options.logOutput = nullptr;
    std::string error;
    auto system = host::System::create(config, options, error);
    if (!system || !system->start()) _exit(2);
    if (createSharedMemory(grown, 4096) == nullptr) _exit(3);
    if (getNamedSemaphore(semaphore, true) == nullptr) _exit(4);
    ::raise(SIGKILL);
    _exit(5);
  }
  ASSERT_EQ(test::waitChild(child), 128 + SIGKILL);
  const std::vector<std::string> left = test::objectsOfInstance(instance);
  ASSERT_TRUE(contains(left, "MasterMemory_")) << "the killed run left nothing to clear";
  ASSERT_TRUE(contains(left, "ProcessMemory_" + std::to_string(instance) + "_9"));
  ASSERT_TRUE(contains(left, semaphore));

  {
    host::SystemOptions options;
    options.logOutput = nullptr;
    std::string error;
    auto system = host::System::create(config, options, error);
    ASSERT_NE(system, nullptr) << error;
    const std::vector<std::string> now = test::objectsOfInstance(instance);
    EXPECT_FALSE(contains(now, "ProcessMemory_" + std::to_string(instance) + "_9"));
    EXPECT_FALSE(contains(now, semaphore));
    EXPECT_TRUE(contains(now, "MasterMemory_"));
    ASSERT_TRUE(system->start());
    system->stop();
  }
  EXPECT_EQ(test::objectsOfInstance(instance), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornix

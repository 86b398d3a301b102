// Two hosts on one instance number, in two processes: the second is refused
// while the first lives and never touches its objects, a host without a
// configured number steps over a number in use, and the number of a host
// killed outright is taken over with its leftovers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "host/config.h"
#include "host/instance.h"
#include "host/instance_claim.h"
#include "host/type_registry.h"
#include "reliability/fork_support_posix.h"
#include "support/instance_objects.h"
#include "support/test_instances.h"
#include "util/log.h"

namespace vornix::host {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

struct Handshake {
  std::atomic<int> number{-1};  // the child's instance, once it holds it
};

class TwoHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
    config.components.push_back(ComponentConfig{});
    config.components.back().name = "sink";
    config.components.back().entry = "sink";
  }
  void TearDown() override {
    if (child > 0) {
      ::kill(child, SIGKILL);
      test::waitChild(child);
    }
    setLogLineSink({});
  }

  // Forks a host that creates the instance (`number`, or one it picks) and
  // holds it until killed.
  void startHolder(std::optional<std::uint16_t> wanted) {
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string error;
      std::unique_ptr<Instance> held = Instance::create(wanted, config, types, error);
      if (!held) _exit(3);
      shared->number.store(held->number());
      for (;;) ::pause();
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shared->number.load() < 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(shared->number.load(), 0) << "the holder did not start";
  }

  SystemConfig config;
  TypeRegistry types;
  test::SharedAcrossFork<Handshake> shared;
  pid_t child = -1;
  std::uint16_t number = test::testInstance();
};

TEST_F(TwoHostsTest, ALiveHolderIsReportedAndItsObjectsStay) {
  startHolder(number);
  const std::vector<std::string> before = test::objectsOfInstance(number);
  ASSERT_THAT(before, Not(IsEmpty()));
  EXPECT_TRUE(instanceClaimed(number));

  std::string error;
  EXPECT_EQ(Instance::create(number, config, types, error), nullptr);
  EXPECT_EQ(error, "instance " + std::to_string(number) + " is in use by process " +
                       std::to_string(child));
  // The refused host removed nothing of the live one.
  EXPECT_EQ(test::objectsOfInstance(number), before);
}

TEST_F(TwoHostsTest, AHostWithoutANumberStepsOverOneInUse) {
  // The child holds the number this process would try first.
  startHolder(Instance::defaultNumber());
  std::string error;
  std::unique_ptr<Instance> mine = Instance::create(std::nullopt, config, types, error);
  ASSERT_NE(mine, nullptr) << error;
  EXPECT_NE(mine->number(), Instance::defaultNumber());
  EXPECT_TRUE(instanceClaimed(Instance::defaultNumber()));
}

TEST_F(TwoHostsTest, AKilledHoldersNumberIsTakenOverWithItsLeftovers) {
  startHolder(number);
  ASSERT_THAT(test::objectsOfInstance(number), Not(IsEmpty()));
  ::kill(child, SIGKILL);
  test::waitChild(child);
  child = -1;
  EXPECT_FALSE(instanceClaimed(number)) << "a dead holder's claim counts as free";

  std::string error;
  {
    std::unique_ptr<Instance> next = Instance::create(number, config, types, error);
    ASSERT_NE(next, nullptr) << error;
    EXPECT_TRUE(instanceClaimed(number));
  }
  EXPECT_THAT(test::objectsOfInstance(number), IsEmpty());
  EXPECT_FALSE(instanceClaimed(number));
}

}  // namespace
}  // namespace vornix::host

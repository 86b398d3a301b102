// A process killed while it holds the process-section mutex costs the next
// operation of another process exactly one failure (the abandoned mutex is
// reported once); the operation after it works.
#include <gtest/gtest.h>

#include <string>

#include "runtime/process_memory.h"
#include "runtime/sections/process_fixture.h"
#include "support/test_process.h"
#include "util/mutex.h"
#include "util/object_names.h"

namespace vornix {
namespace {

using test::messageOfSize;

// Takes the process-section mutex of the instance named by `argument` and
// dies holding it.
int holdProcessMutexAndDie(const std::string& argument) {
  Mutex mutex(
      familyMutexName(SectionFamily::process, static_cast<std::uint32_t>(std::stoul(argument))));
  if (mutex.enter(5000, nullptr)) test::killSelf();
  return 1;
}
[[maybe_unused]] const bool kHolderRole =
    test::registerChildRole("process-mutex-holder-dies", &holdProcessMutexAndDie);

class ProcessMutexHolderTest : public test::ProcessFixture {};

TEST_F(ProcessMutexHolderTest, HolderKilledInsideTheSectionMutex) {
  const auto child =
      test::ChildProcess::start("process-mutex-holder-dies", std::to_string(instance));
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->wait(), test::kKilledStatus);
  test::LogCapture log;
  EXPECT_FALSE(client->addToMsgQ(0, messageOfSize(300)));
  EXPECT_EQ(log.count("Mutex enter error"), 1U);
  EXPECT_EQ(log.count("vornix::ProcessMemory::addToMsgQ"), 1U);
  EXPECT_TRUE(client->addToMsgQ(0, messageOfSize(300)));
  EXPECT_EQ(log.lines().size(), 1U);
}

}  // namespace
}  // namespace vornix

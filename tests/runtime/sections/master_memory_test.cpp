#include "runtime/master_memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "host/master_section.h"
#include "runtime/sections/section_fixture.h"

namespace vornix {
namespace {

TEST(MasterMemoryTest, MissingMutexOrSectionGivesZeroWithoutALine) {
  test::LogCapture log;
  std::array<std::uint8_t, MasterMemory::kMinimumSize> bytes{};
  Mutex mutex;
  MasterMemory noMutex(1, nullptr, bytes);
  MasterMemory noSection(1, &mutex, {});
  for (MasterMemory* memory : {&noMutex, &noSection}) {
    EXPECT_EQ(memory->getProcessShmemSerial(), 0U);
    EXPECT_EQ(memory->getComponentShmemSerial(), 0U);
    EXPECT_EQ(memory->getDataMapsShmemSerial(), 0U);
    EXPECT_EQ(memory->incrementProcessShmemSerial(), 0U);
    EXPECT_EQ(memory->getProcessShmemSize(), 0U);
    EXPECT_EQ(memory->getComponentShmemSize(), 0U);
    EXPECT_EQ(memory->getDataMapsShmemSize(), 0U);
    EXPECT_FALSE(memory->setProcessShmemSize(5));
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST(MasterMemoryTest, PublishedFieldsReadBackAndTheSerialWraps) {
  const std::uint16_t instance = test::uniqueInstanceId();
  {
    auto master = host::MasterSection::create(instance);
    ASSERT_NE(master, nullptr);
    MasterMemory& memory = master->memory();
    ASSERT_TRUE(master->publishComponent(4, 1000));
    ASSERT_TRUE(master->publishDataMaps(6, 3000));
    ASSERT_TRUE(master->publishProcess(4294967294U, 2000));
    EXPECT_EQ(memory.getComponentShmemSerial(), 4U);
    EXPECT_EQ(memory.getComponentShmemSize(), 1000U);
    EXPECT_EQ(memory.getDataMapsShmemSerial(), 6U);
    EXPECT_EQ(memory.getDataMapsShmemSize(), 3000U);
    EXPECT_EQ(memory.incrementProcessShmemSerial(), 4294967295U);
    EXPECT_EQ(memory.incrementProcessShmemSerial(), 0U);
    EXPECT_EQ(memory.getProcessShmemSerial(), 0U);
    EXPECT_TRUE(memory.setProcessShmemSize(12345));
    EXPECT_EQ(memory.getProcessShmemSize(), 12345U);
    EXPECT_EQ(memory.instanceId(), instance);
  }
  EXPECT_EQ(test::leftoverSections(instance), std::vector<std::string>{});
}

// The one slow test: a getter waits the whole 5000 ms for a stuck holder.
TEST(MasterMemoryTest, StuckHolderTimesTheGetterOut) {
  const std::uint16_t instance = test::uniqueInstanceId();
  auto master = host::MasterSection::create(instance);
  ASSERT_NE(master, nullptr);
  ASSERT_TRUE(master->publishComponent(9, 100));
  std::promise<void> held, release;
  std::thread holder([&] {
    const MutexHold hold(master->mutex(), 5000, nullptr);
    EXPECT_TRUE(hold);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(master->memory().getComponentShmemSerial(), 0U);
  const auto waited = std::chrono::steady_clock::now() - start;
  release.set_value();
  holder.join();
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_EQ(log.count("Mutex enter timeout"), 1U);
  EXPECT_EQ(log.count("(vornix::MasterMemory::getComponentShmemSerial)"), 1U);
  EXPECT_EQ(master->memory().getComponentShmemSerial(), 9U);
}

}  // namespace
}  // namespace vornix

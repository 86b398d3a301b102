// A grower killed between taking the next serial and completing its new
// section used to leave a published serial with no usable section: a process
// attaching afterwards (and the host's reader, which had no view yet) could
// never open the section again. The new section is now made whole before its
// serial is published, and a leftover under the next serial's name (what a
// grower killed before publishing leaves) is replaced, not reused.
//
// POSIX only: there a killed process's section names stay until removed.
// Windows names go with their last handle, so a killed grower leaves no
// leftover to replace (reliability/killed_instance_win32_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "host/owned_section.h"
#include "runtime/sections/temporal_fixture.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::messageOfSize;

// A 64-byte object under `name`, as a grower killed right after creating it
// would leave; the caller removes it if the library did not.
class Leftover {
 public:
  explicit Leftover(std::string name) : name_(std::move(name)) {
    view_ = createSharedMemory(name_, 64);
  }
  ~Leftover() {
    closeSharedMemory(view_, 64);
    removeSharedMemory(name_);
  }
  Leftover(const Leftover&) = delete;
  Leftover& operator=(const Leftover&) = delete;
  bool made() const { return view_ != nullptr; }

 private:
  std::string name_;
  std::uint8_t* view_ = nullptr;
};

class ProcessGrowKilled : public test::ProcessFixture {};

TEST_F(ProcessGrowKilled, LeftoverUnderTheNextSerialIsReplacedAndANewClientFollows) {
  const std::uint32_t before = master->memory().getProcessShmemSerial();
  std::optional<Leftover> leftover;
  leftover.emplace(familySectionName(SectionFamily::process, instance, before + 1));
  ASSERT_TRUE(leftover->made());
  // 9000 bytes do not fit the 1000-byte queue: queue and section grow.
  ASSERT_TRUE(client->addToMsgQ(0, messageOfSize(9000, 1)));
  EXPECT_EQ(master->memory().getProcessShmemSerial(), before + 1);

  ProcessMemory fresh(master->memory());
  ASSERT_TRUE(fresh.addToMsgQ(0, messageOfSize(300, 2)));
  host::QueueReader reader(master->memory(), 5);
  const auto records = reader.drain();
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), 2U);
  EXPECT_EQ(DataMessage((*records)[1]).getInt("tag"), 2);
  leftover.reset();
}

class TemporalGrowKilled : public test::TemporalFixture {};

TEST_F(TemporalGrowKilled, LeftoverUnderTheNextSerialIsReplacedAndANewStoreFollows) {
  std::optional<Leftover> leftover;
  leftover.emplace(familySectionName(SectionFamily::temporal, instance, 2));
  ASSERT_TRUE(leftover->made());
  // More messages than the 8 slots: the store grows under serial 2.
  for (int i = 0; i < 12; ++i) insert(test::liveMessage(300, 60'000'000, i));
  const auto t = totals();
  EXPECT_EQ(t.serial, 2U);
  EXPECT_EQ(t.slotsInUse, 12U);
  test::expectConsistent(t);

  TemporalMemory fresh(section->owner(), kTag);
  std::uint64_t id = 0;
  ASSERT_TRUE(fresh.insertMessage(test::liveMessage(300, 60'000'000, 99), id));
  const auto stored = section->readMessage(id);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(DataMessage(*stored).getInt("tag"), 99);
  leftover.reset();
}

}  // namespace
}  // namespace vornix

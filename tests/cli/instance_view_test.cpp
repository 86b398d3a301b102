// InstanceView over sections laid out by the host's own writers: what it
// reads, how it follows a replaced section, and how it refuses corrupt ones.
#include "host/instance_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/component_section.h"
#include "host/data_maps_section.h"
#include "host/instance_claim.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "runtime/component_memory.h"
#include "runtime/data_message.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "support/test_instances.h"
#include "support/test_process.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/mutex.h"
#include "util/object_names.h"

namespace loquant::test {
namespace {

using namespace vornix;
using namespace vornix::host;

class InstanceViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_ = vornix::test::testInstance();
    // Held as a host holds it: only claimed instances are listed.
    InstanceClaim::Refusal refusal = InstanceClaim::Refusal::none;
    std::string error;
    claim_ = InstanceClaim::take(instance_, refusal, error);
    ASSERT_NE(claim_, nullptr) << error;
    master_ = MasterSection::create(instance_);
    ASSERT_NE(master_, nullptr);
    const std::vector<LevelName> levels = {{2, "Audio"}, {3, "Frame"}};
    dataMaps_ = DataMapsSection::create(*master_, levels, 3);
    ASSERT_NE(dataMaps_, nullptr);
    const std::vector<ComponentSpec> specs = {{1, "speaker1", {}}, {3, "out", {}}};
    components_ = ComponentSection::create(*master_, specs, 3);
    ASSERT_NE(components_, nullptr);
    const std::uint64_t queueSize = 4096;
    ProcessLayout process;
    process.process = 1;
    process.queueIds[1] = 2;
    ProcessLayout system;
    system.process = 0;
    system.queueIds[1] = 1;
    processes_ = ProcessSection::create(
        *master_, process_layout::kQueuesStart + 2 * queueSize, {system, process},
        {QueueLayout{1, queueSize, queueSemaphoreName(instance_, 1)},
         QueueLayout{2, queueSize, queueSemaphoreName(instance_, 2)}});
    ASSERT_NE(processes_, nullptr);
    TemporalLayout layout;
    layout.slotCount = 32;
    layout.bins = {TemporalBinLayout{256, 8}, TemporalBinLayout{4096, 4}};
    layout.maximumSize = 1 << 20;
    store_ = TemporalSection::create(instance_, layout);
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    store_.reset();
    processes_.reset();
    components_.reset();
    dataMaps_.reset();
    master_.reset();
    claim_.reset();
  }

  std::uint16_t instance_ = 0;
  std::unique_ptr<InstanceClaim> claim_;
  std::unique_ptr<MasterSection> master_;
  std::unique_ptr<DataMapsSection> dataMaps_;
  std::unique_ptr<ComponentSection> components_;
  std::unique_ptr<ProcessSection> processes_;
  std::unique_ptr<TemporalSection> store_;
};

TEST_F(InstanceViewTest, ReadsComponentsQueuesAndStoreAndIsListed) {
  const std::vector<std::uint16_t> live = listInstances();
  EXPECT_NE(std::find(live.begin(), live.end(), instance_), live.end());

  // Statistics as the library writes them: one received message.
  ComponentMemory client(master_->memory(), &components_->mutex());
  DataMessage frame;
  MessageType type;
  type.levels[0] = 2;
  type.levels[1] = 3;
  frame.setType(type);
  ASSERT_TRUE(client.addComponentStats(1, 3, 0, &frame, nullptr, 0, 1));
  ASSERT_TRUE(components_->addUndelivered(3, 2));

  std::string error;
  std::unique_ptr<InstanceView> view = InstanceView::open(instance_, error);
  ASSERT_NE(view, nullptr) << error;
  const std::optional<InstanceSnapshot> s = view->snapshot(error);
  ASSERT_TRUE(s) << error;
  ASSERT_EQ(s->components.size(), 2U);
  EXPECT_EQ(s->components[0].id, 1U);
  EXPECT_EQ(s->components[0].name, "speaker1");
  EXPECT_EQ(s->components[0].status, 3U);
  EXPECT_EQ(s->components[0].received, 1U);
  EXPECT_EQ(s->components[0].receivedBytes, frame.size());
  EXPECT_EQ(s->components[0].lastReceivedType, "Audio.Frame");
  EXPECT_EQ(s->components[0].lastPostedType, "");
  EXPECT_EQ(s->components[1].id, 3U);
  EXPECT_EQ(s->components[1].name, "out");
  EXPECT_EQ(s->components[0].undelivered, 0U);
  EXPECT_EQ(s->components[1].undelivered, 2U);

  ASSERT_EQ(s->queues.size(), 2U);
  EXPECT_EQ(s->queues[0].id, 1U);
  EXPECT_EQ(s->queues[0].process, 0);
  EXPECT_EQ(s->queues[1].id, 2U);
  EXPECT_EQ(s->queues[1].process, 1);
  EXPECT_EQ(s->queues[1].size, 4096U);
  EXPECT_EQ(s->queues[1].used, 0U);

  ASSERT_TRUE(s->store);
  EXPECT_EQ(s->store->slotCount, 32U);
  EXPECT_EQ(s->store->slotsInUse, 0U);
  ASSERT_EQ(s->store->bins.size(), 2U);
  EXPECT_EQ(s->store->bins[0].blockSize, 256U);
  EXPECT_EQ(s->store->bins[1].blockCount, 4U);
}

TEST_F(InstanceViewTest, FollowsAReplacedComponentSection) {
  std::string error;
  std::unique_ptr<InstanceView> view = InstanceView::open(instance_, error);
  ASSERT_NE(view, nullptr) << error;
  std::optional<InstanceSnapshot> s = view->snapshot(error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->componentSerial, 1U);
  const std::vector<ComponentSpec> specs = {{2, "renamed", {}}};
  ASSERT_TRUE(components_->replace(specs, 2));
  s = view->snapshot(error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->componentSerial, 2U);
  ASSERT_EQ(s->components.size(), 1U);
  EXPECT_EQ(s->components[0].name, "renamed");
}

TEST_F(InstanceViewTest, CorruptSectionsFailTheSnapshotWithoutReadingOutside) {
  std::string error;
  std::unique_ptr<InstanceView> view = InstanceView::open(instance_, error);
  ASSERT_NE(view, nullptr) << error;
  {
    // An entry offset far past the end of the section.
    MutexHold hold(components_->mutex(), 5000, "test");
    ASSERT_TRUE(bytes::store<std::uint64_t>(components_->bytes(),
                                            ComponentMemory::Layout::kOffsetTable + 8, 1ULL << 40));
  }
  EXPECT_FALSE(view->snapshot(error));
  EXPECT_THAT(error, ::testing::HasSubstr("outside the section"));
  ASSERT_TRUE(components_->replace(std::vector<ComponentSpec>{{1, "a", {}}}, 1));
  ASSERT_TRUE(view->snapshot(error)) << error;
  // A bin whose size word would step outside the store.
  ASSERT_TRUE(store_->withSection([](std::span<std::uint8_t> section) {
    const std::uint64_t slots =
        bytes::loadOr<std::uint32_t>(section, temporal_layout::kSlotCount, 0);
    const std::uint64_t bitmap =
        bytes::loadOr<std::uint32_t>(section, temporal_layout::kSlotBitmapBytes, 0);
    bytes::store<std::uint64_t>(section, temporal_layout::kHeaderSize + bitmap + slots * 56,
                                1ULL << 50);
  }));
  EXPECT_FALSE(view->snapshot(error));
  EXPECT_THAT(error, ::testing::HasSubstr("bin 0"));
}

TEST(InstanceViewAbsent, AnInstanceThatIsNotRunningIsRefusedAndNothingIsCreated) {
  const auto instance = vornix::test::testInstance();
  std::string error;
  EXPECT_EQ(InstanceView::open(instance, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("not running"));
  const std::vector<std::uint16_t> live = listInstances();
  EXPECT_EQ(std::find(live.begin(), live.end(), instance), live.end());
}

}  // namespace
}  // namespace loquant::test

// Helpers of the process-section and temporal-store tests: messages of a
// chosen size, a fixture with a master section, a process section with two
// queues and a client, and the check that an instance left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/master_section.h"
#include "host/process_section.h"
#include "runtime/data_message.h"
#include "runtime/message_queue.h"
#include "runtime/process_memory.h"
#include "runtime/sections/section_fixture.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::test {

// A valid record of about `size` bytes carrying `tag` and `sequence`, so that
// a reader can tell messages apart; a size up to 200 gives the bare header.
inline DataMessage messageOfSize(std::uint32_t size, std::int64_t tag = 0,
                                 std::int64_t sequence = 0) {
  if (size <= record::kHeaderSize) return DataMessage();  // the bare header
  DataMessage probe;
  probe.setInt("tag", tag);
  probe.setInt("seq", sequence);
  DataMessage padded = probe;
  padded.setData("pad", std::vector<std::uint8_t>(1, 0x5A));
  const std::uint32_t overhead = padded.size() - 1;  // everything but the pad bytes
  if (size <= overhead + 1) return size <= probe.size() ? probe : padded;
  DataMessage m = probe;
  m.setData("pad", std::vector<std::uint8_t>(size - overhead, 0x5A));
  return m;
}

// Every object of `instance` that outlives a stop: sections, mutexes,
// semaphores (except the master mutex; see leftAfterStop for semaphores).
inline std::vector<std::string> leftoverObjects(std::uint16_t instance) {
  std::vector<std::string> found;
  for (std::string& name : leftAfterStop(instance)) {
    // The master mutex is the master section owner's to remove.
    if (name.find("MasterMemoryMutex") == std::string::npos) found.push_back(std::move(name));
  }
  return found;
}

// Process 0 has queue 5 as its queue of type 2; process 1 has queue 2. Queue
// 5 lies first, queue 2 behind it: ids do not follow addresses.
class ProcessFixture : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kSlack = 4096;
  static constexpr std::uint64_t kQueueSize = queue::kHeaderSize + 1000;

  void SetUp() override {
    build(process_layout::kQueuesStart + 2 * kQueueSize + kSlack, kQueueSize);
  }

  void build(std::uint64_t sectionSize, std::uint64_t queueSize) {
    master = host::MasterSection::create(instance);
    ASSERT_NE(master, nullptr);
    section = host::ProcessSection::create(
        *master, sectionSize, {{0, {0, 5, 0, 0}}, {1, {0, 2, 0, 0}}},
        {{5, queueSize, semaphoreName(5)}, {2, queueSize, semaphoreName(2)}});
    ASSERT_NE(section, nullptr);
    client = std::make_unique<ProcessMemory>(master->memory());
  }

  void TearDown() override {
    client.reset();
    section.reset();
    master.reset();
    EXPECT_EQ(leftoverObjects(instance), std::vector<std::string>{});
  }

  std::string semaphoreName(std::uint32_t queueId) const {
    return queueSemaphoreName(instance, queueId);
  }

  // The bytes of queue `id` in the first section, read under the mutex by the caller.
  std::span<std::uint8_t> queueBytes(std::uint32_t id) {
    const auto b = section->initialBytes();
    const std::uint64_t at =
        bytes::loadOr<std::uint64_t>(b, process_layout::kQueueTable + id * 8, 0);
    return b.subspan(static_cast<std::size_t>(at));
  }

  void setRing(std::uint32_t id, std::uint64_t r, std::uint64_t w, std::uint64_t g) {
    MutexHold hold(section->mutex(), 5000, nullptr);
    const auto q = queueBytes(id);
    bytes::store<std::uint64_t>(q, queue::kRead, r);
    bytes::store<std::uint64_t>(q, queue::kWrite, w);
    bytes::store<std::uint64_t>(q, queue::kGap, g);
  }

  std::uint16_t instance = uniqueInstanceId();
  std::unique_ptr<host::MasterSection> master;
  std::unique_ptr<host::ProcessSection> section;
  std::unique_ptr<ProcessMemory> client;
};

}  // namespace vornix::test

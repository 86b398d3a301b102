// Fuzzes the queue append and the statistics writes of ProcessMemory over a
// process section whose queue table entry, queue id and queue (header, ring
// offsets, gap, semaphore name, records) come from the input. The section is
// a real one under a new serial for every input, as long as the queue area
// the input gives plus, unless flag 8 says otherwise, 64 KiB of free room
// after the used end; process 0 is in use and names the queue as its queue of
// type 2. The client must append inside the section (growing the queue into
// the room, or the section itself, by the rules) or fail.
//
// Input: u8 flags, u8 message size in 16-byte steps, u16 queue id, u64 queue
// offset, u64 size word, then the queue area (from the first queue's start).
// Flags: 1 use the size word given (else the true size), 2 the offset given
// (else the start of the queue area), 4 the queue id given (else 5), 8 no
// room after the used end, so that every queue grow grows the section. A
// semaphore name with its terminator is replaced by the fuzzer's own, so
// that runs do not leave semaphores of arbitrary names behind.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "runtime/data_message.h"
#include "runtime/message_queue.h"
#include "runtime/process_memory.h"
#include "section_support.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace {

namespace pl = vornix::process_layout;
using vornix::fuzz::check;

constexpr std::uint32_t kQueueId = 5;
constexpr std::uint64_t kQueueSize = vornix::queue::kHeaderSize + 2048;
// Room for a queue of the largest input to double twice in place. A section
// grow copies the whole 5.3 MB section; with no room (flag 8) nearly every
// input grew it, which held a run to a few hundred inputs a second.
constexpr std::uint64_t kRoom = 64 * 1024;

struct World {
  std::unique_ptr<vornix::host::MasterSection> master;
  std::unique_ptr<vornix::host::ProcessSection> section;  // owns the mutex and semaphore
  std::string semaphoreName;
  std::vector<std::uint8_t> queue;  // the writer's empty queue
};

World& world() {
  static World w = [] {
    using namespace vornix::host;
    World made;
    const std::uint16_t instance = vornix::fuzz::fuzzInstance();
    made.master = MasterSection::create(instance);
    check(made.master != nullptr);
    made.semaphoreName = vornix::queueSemaphoreName(instance, kQueueId);
    made.section = ProcessSection::create(*made.master, pl::kQueuesStart + kQueueSize,
                                          {{0, {0, kQueueId, 0, 0}}},
                                          {{kQueueId, kQueueSize, made.semaphoreName}});
    check(made.section != nullptr);
    const auto bytes = made.section->initialBytes().subspan(pl::kQueuesStart, kQueueSize);
    made.queue.assign(bytes.begin(), bytes.end());
    return made;
  }();
  return w;
}

std::vector<std::vector<std::uint8_t>> seeds(const World& w) {
  using vornix::fuzz::append;
  std::vector<std::vector<std::uint8_t>> out;
  for (const int flags : {0, 8}) {
    for (const int size : {0, 20, 200}) {
      if (flags == 8 && size == 0) continue;
      std::vector<std::uint8_t> seed;
      append<std::uint8_t>(seed, static_cast<std::uint8_t>(flags));
      append<std::uint8_t>(seed, static_cast<std::uint8_t>(size));
      append<std::uint16_t>(seed, 0);
      append<std::uint64_t>(seed, 0);
      append<std::uint64_t>(seed, 0);
      seed.insert(seed.end(), w.queue.begin(), w.queue.end());
      out.push_back(seed);
    }
  }
  return out;
}

// Writes `content` at `at` of the section, as far as the section reaches.
void put(std::span<std::uint8_t> section, std::uint64_t at, std::span<const std::uint8_t> content) {
  if (at >= section.size()) return;
  const std::uint64_t n = std::min<std::uint64_t>(content.size(), section.size() - at);
  std::memcpy(section.data() + at, content.data(), static_cast<std::size_t>(n));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vornix::fuzz::silenceLogs();
  vornix::fuzz::writeSeedsIfAsked("queue", seeds(world()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  vornix::fuzz::InputReader in(std::span<const std::uint8_t>(data, size));
  const auto flags = in.take<std::uint8_t>();
  const auto messageSteps = in.take<std::uint8_t>();
  const auto fuzzedId = in.take<std::uint16_t>();
  const auto fuzzedOffset = in.take<std::uint64_t>();
  const auto sizeWord = in.take<std::uint64_t>();
  const auto area = in.rest();

  const std::uint16_t instance = vornix::fuzz::fuzzInstance();
  const std::uint32_t serial = w.master->memory().getProcessShmemSerial() + 1;
  const std::uint64_t usedEnd = pl::kQueuesStart + area.size();
  const std::uint64_t total = usedEnd + ((flags & 8) != 0 ? 0 : kRoom);
  auto section = vornix::host::OwnedSection::create(
      vornix::familySectionName(vornix::SectionFamily::process, instance, serial), total);
  if (!section || section->bytes().size() != total) return 0;
  const std::span<std::uint8_t> b = section->bytes();
  const std::uint16_t queueId = (flags & 4) != 0 ? fuzzedId : std::uint16_t{kQueueId};
  const std::uint64_t queueAt = (flags & 2) != 0 ? fuzzedOffset : pl::kQueuesStart;
  vornix::bytes::store<std::uint64_t>(b, 0, (flags & 1) != 0 ? sizeWord : total);
  vornix::bytes::store<std::uint32_t>(b, pl::kKind, pl::kFormatMark);
  vornix::bytes::store<std::uint64_t>(b, pl::kUsedEnd, usedEnd);
  vornix::bytes::store<std::uint64_t>(b, pl::kRecords + pl::kInUse, 1);
  vornix::bytes::store<std::uint16_t>(b, pl::kRecords + pl::kQueueIds + 2, queueId);
  vornix::bytes::store<std::uint64_t>(b, pl::kQueueTable + (queueId % 256U) * 8ULL, queueAt);
  put(b, pl::kQueuesStart, area);
  // A terminated semaphore name becomes the fuzzer's own.
  if (queueAt < usedEnd && usedEnd - queueAt >= vornix::queue::kHeaderSize) {
    const auto field =
        b.subspan(queueAt + vornix::queue::kSemaphoreName, vornix::queue::kSemaphoreNameWidth);
    if (std::memchr(field.data(), 0, field.size()) != nullptr) {
      std::fill(field.begin(), field.end(), std::uint8_t{0});
      std::memcpy(field.data(), w.semaphoreName.data(), w.semaphoreName.size());
    }
  }
  check(w.master->publishProcess(serial, total));

  vornix::DataMessage message;
  message.setData("pad", std::vector<std::uint8_t>(messageSteps * 16U, 0x5A));
  {
    vornix::ProcessMemory client(w.master->memory());
    (void)client.addToMsgQ(0, message);
    (void)client.addToProcessStats(0, &message, &message);
    (void)client.addToProcessStats(1, &message, nullptr);
    (void)client.addToMsgQ(0, message);
  }
  // Sections a grow made are this input's to remove.
  const std::uint32_t last = w.master->memory().getProcessShmemSerial();
  for (std::uint32_t s = serial + 1; s > serial && s <= last; ++s) {
    (void)vornix::removeSharedMemory(
        vornix::familySectionName(vornix::SectionFamily::process, instance, s));
  }
  return 0;
}

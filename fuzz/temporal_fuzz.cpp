// Fuzzes TemporalMemory::insertMessage over a store section that the input
// gives whole (header, slot bitmap, slots, bins, block bitmaps, data). The
// section is a real one under a new serial for every input and exactly as
// long as the input; the clock stands still, so expiries compare the same on
// every run. An insertion must stay inside the section (or the larger one a
// grow makes) or fail, and an accepted message must read back unchanged.
//
// Input: u8 flags, u8 message size in 16-byte steps, u8 ttl in milliseconds,
// u64 size word, then the section from its byte 8 on (the size word is
// written by the fuzzer). Flags: 1 use the size word given (else the true
// size), 2 keep the format mark given (else the store's own). The maximum
// size a grow may reach is cut to 1 MiB to keep each run short.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "host/temporal_section.h"
#include "runtime/data_message.h"
#include "runtime/temporal_memory.h"
#include "section_support.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/mutex.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace {

namespace tl = vornix::temporal_layout;
using vornix::fuzz::check;

constexpr vornix::Micros kNow = vornix::kUnixEpochMicros + 1'700'000'000'000'000ULL;
constexpr std::uint64_t kMaximum = 1ULL << 20;

class StillClock final : public vornix::ClockSource {
 public:
  vornix::Micros now() override { return kNow; }
};

struct World {
  StillClock clock;
  std::unique_ptr<vornix::host::TemporalSection> section;  // owner, mutex
  std::unique_ptr<vornix::TemporalMemory> store;
  std::vector<std::uint8_t> layout;  // the writer's empty store
};

World& world() {
  static World w;
  static const bool made = [] {
    vornix::setClockSource(&w.clock);
    w.section = vornix::host::TemporalSection::create(vornix::fuzz::fuzzInstance(),
                                                      {4, {{64, 8}, {256, 4}}, kMaximum, 0, 0});
    check(w.section != nullptr);
    w.section->withSection([](std::span<std::uint8_t> b) { w.layout.assign(b.begin(), b.end()); });
    check(!w.layout.empty());
    w.store = std::make_unique<vornix::TemporalMemory>(w.section->owner(), 0x4242);
    return true;
  }();
  (void)made;
  return w;
}

std::vector<std::vector<std::uint8_t>> seeds(const World& w) {
  using vornix::fuzz::append;
  std::vector<std::vector<std::uint8_t>> out;
  for (const int size : {0, 3, 30}) {
    std::vector<std::uint8_t> seed;
    append<std::uint8_t>(seed, 0);
    append<std::uint8_t>(seed, static_cast<std::uint8_t>(size));
    append<std::uint8_t>(seed, 10);
    append<std::uint64_t>(seed, 0);
    seed.insert(seed.end(), w.layout.begin() + 8, w.layout.end());
    out.push_back(seed);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vornix::fuzz::silenceLogs();
  vornix::fuzz::writeSeedsIfAsked("store", seeds(world()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  vornix::fuzz::InputReader in(std::span<const std::uint8_t>(data, size));
  const auto flags = in.take<std::uint8_t>();
  const auto messageSteps = in.take<std::uint8_t>();
  const auto ttlMs = in.take<std::uint8_t>();
  const auto sizeWord = in.take<std::uint64_t>();
  const auto rest = in.rest();

  std::vector<std::uint8_t> content(8 + rest.size());
  std::copy(rest.begin(), rest.end(), content.begin() + 8);
  if (content.size() < 12) content.resize(12);
  const std::span<std::uint8_t> b(content);
  vornix::bytes::store<std::uint64_t>(b, tl::kSize, (flags & 1) != 0 ? sizeWord : content.size());
  if ((flags & 2) == 0) vornix::bytes::store<std::uint32_t>(b, tl::kMark, tl::kFormatMark);
  if (vornix::bytes::loadOr<std::uint64_t>(b, tl::kMaximumSize, 0) > kMaximum) {
    vornix::bytes::store<std::uint64_t>(b, tl::kMaximumSize, kMaximum);
  }

  const std::uint16_t instance = vornix::fuzz::fuzzInstance();
  std::uint32_t serial = 0;
  {
    vornix::MutexHold hold(w.section->mutex(), 5000, nullptr);
    check(static_cast<bool>(hold));
    serial = w.section->owner().nextSerial();
    w.section->owner().setSize(content.size());
  }
  auto section = vornix::fuzz::sectionWith(
      vornix::familySectionName(vornix::SectionFamily::temporal, instance, serial), content);
  if (!section) return 0;

  vornix::DataMessage message;
  message.setData("pad", std::vector<std::uint8_t>(messageSteps * 16U, 0xA5));
  message.setCreatedTime(kNow);
  message.setTtl((ttlMs + 1ULL) * 1000ULL);
  std::uint64_t id = 0;
  if (w.store->insertMessage(message, id)) {
    const auto stored = w.section->readMessage(id);
    check(stored.has_value() && stored->size() == message.size() &&
          std::memcmp(stored->data(), message.record(), message.size()) == 0);
  }
  std::uint32_t last = serial;
  {
    vornix::MutexHold hold(w.section->mutex(), 5000, nullptr);
    if (hold) last = w.section->owner().getSerial();
  }
  for (std::uint32_t s = serial + 1; s > serial && s <= last; ++s) {
    (void)vornix::removeSharedMemory(
        vornix::familySectionName(vornix::SectionFamily::temporal, instance, s));
  }
  return 0;
}

// Fuzzes DataMapsMemory::getTypeLevelName, and the type names printed
// through it, over a data-maps section that the input gives whole. The
// section is a real one, published in a real master section under a new
// serial for every input and exactly as long as the input; a lookup must
// answer from inside it or fail, and its answer must fit the buffer.
//
// Input: u8 flags, u16 level, u8 buffer size, u64 size word, then the section
// from its byte 12 on (size word and format mark are written by the fuzzer).
// Flags: 1 use the size word given (else the true size).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/data_maps_section.h"
#include "host/master_section.h"
#include "runtime/data_maps_memory.h"
#include "runtime/message_type.h"
#include "section_support.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace {

using vornix::fuzz::check;

struct World {
  std::unique_ptr<vornix::host::MasterSection> master;
  std::unique_ptr<vornix::host::DataMapsSection> section;  // owns the mutex
  std::unique_ptr<vornix::DataMapsMemory> client;
  std::vector<std::uint8_t> layout;
  std::uint32_t serial = 100;
};

World& world() {
  static World w = [] {
    World made;
    made.master = vornix::host::MasterSection::create(vornix::fuzz::fuzzInstance());
    check(made.master != nullptr);
    const vornix::host::LevelName levels[] = {{2, "Audio"}, {3, "Frame"}, {5, "Speech"}};
    made.section = vornix::host::DataMapsSection::create(*made.master, levels, 6);
    check(made.section != nullptr);
    const auto b = made.section->bytes();
    made.layout.assign(b.begin(), b.end());
    made.client =
        std::make_unique<vornix::DataMapsMemory>(made.master->memory(), &made.section->mutex());
    return made;
  }();
  return w;
}

std::vector<std::vector<std::uint8_t>> seeds(const World& w) {
  using vornix::fuzz::append;
  std::vector<std::vector<std::uint8_t>> out;
  for (const int level : {2, 4, 5}) {
    std::vector<std::uint8_t> seed;
    append<std::uint8_t>(seed, 0);
    append<std::uint16_t>(seed, static_cast<std::uint16_t>(level));
    append<std::uint8_t>(seed, level == 5 ? 4 : 64);
    append<std::uint64_t>(seed, 0);
    seed.insert(seed.end(), w.layout.begin() + 12, w.layout.end());
    out.push_back(seed);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vornix::fuzz::silenceLogs();
  vornix::fuzz::writeSeedsIfAsked("maps", seeds(world()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  vornix::fuzz::InputReader in(std::span<const std::uint8_t>(data, size));
  const auto flags = in.take<std::uint8_t>();
  const auto level = in.take<std::uint16_t>();
  const auto bufferSize = in.take<std::uint8_t>();
  const auto sizeWord = in.take<std::uint64_t>();
  const auto rest = in.rest();

  std::vector<std::uint8_t> content(12 + rest.size());
  std::copy(rest.begin(), rest.end(), content.begin() + 12);
  const std::span<std::uint8_t> b(content);
  vornix::bytes::store<std::uint64_t>(b, 0, (flags & 1) != 0 ? sizeWord : content.size());
  vornix::bytes::store<std::uint32_t>(b, 8, vornix::DataMapsMemory::kFormatMark);

  const std::uint32_t serial = ++w.serial;
  const auto section =
      vornix::fuzz::sectionWith(vornix::familySectionName(vornix::SectionFamily::dataMaps,
                                                          vornix::fuzz::fuzzInstance(), serial),
                                content);
  if (!section) return 0;
  check(w.master->publishDataMaps(serial, content.size()));

  // The buffer lives on the heap at its exact size, so AddressSanitizer sees
  // a write past it.
  std::vector<char> buffer(bufferSize);
  const bool found = w.client->getTypeLevelName(level, buffer);
  if (!buffer.empty()) {
    check(std::memchr(buffer.data(), 0, buffer.size()) != nullptr);
    check(!found || buffer[0] != '\0');
  } else {
    check(!found);
  }
  vornix::MessageType type;
  type.levels[0] = level;
  type.levels[1] = static_cast<std::uint16_t>(level + 1U);
  const std::string name = vornix::typeName(type, w.client->levelNameLookup());
  check(name.find('\0') == std::string::npos);
  return 0;
}

// Fuzzes the parameter walk and the statistics writes of ComponentMemory over
// a component section whose head, offset table and parameter records come
// from the input. The section is a real one, published in a real master
// section under a new serial for every input, and holds exactly the bytes
// laid out; the client must answer from inside it or fail.
//
// Input: u8 flags, u8 id to query, u32 parameter bytes used, u64 size word,
// u64 offset of entry 1, u32 count, then the parameter records. Flags: 1 use
// the size word given (else the true size), 2 the offset given, 4 the count
// given, 8 the parameter bytes given (else the length of the records).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/component_section.h"
#include "host/master_section.h"
#include "runtime/component_memory.h"
#include "runtime/data_message.h"
#include "section_support.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace {

using vornix::ComponentMemory;
using vornix::fuzz::check;
using Layout = vornix::ComponentMemory::Layout;

const char* const kNames[] = {"Text",    "Number", "Real", "Texts",
                              "Numbers", "Reals",  "Flag", "missing"};

struct World {
  std::unique_ptr<vornix::host::MasterSection> master;
  std::unique_ptr<vornix::host::ComponentSection> section;  // owns the mutex
  std::unique_ptr<ComponentMemory> client;
  std::vector<std::uint8_t> head;     // section bytes up to entry 1's records
  std::vector<std::uint8_t> records;  // the writer's parameter records
  std::uint64_t entry = 0;            // offset of entry 1
  std::uint32_t serial = 100;
};

World& world() {
  static World w = [] {
    using namespace vornix::host;
    World made;
    made.master = MasterSection::create(vornix::fuzz::fuzzInstance());
    check(made.master != nullptr);
    const ComponentSpec spec{1,
                             "fuzzed",
                             {{"Text", std::string("Yes")},
                              {"Number", std::int64_t{42}},
                              {"Real", 0.5},
                              {"Texts", TextList{{"a", "yes"}, 1}},
                              {"Numbers", IntegerList{{1, 2, 3}, 2}},
                              {"Reals", RealList{{1.5, 2.5}, 0}},
                              {"Flag", std::int64_t{1}}}};
    made.section = ComponentSection::create(*made.master, std::span(&spec, 1), 1);
    check(made.section != nullptr);
    const auto at = made.section->entryOffset(1);
    check(at.has_value());
    made.entry = *at;
    const auto bytes = made.section->bytes();
    const std::uint32_t used =
        vornix::bytes::loadOr<std::uint32_t>(bytes, made.entry + Layout::kParameterBytes, 0);
    made.head.assign(bytes.begin(),
                     bytes.begin() + static_cast<long>(made.entry + Layout::kParameters));
    const auto records = bytes.subspan(made.entry + Layout::kParameters, used);
    made.records.assign(records.begin(), records.end());
    made.client = std::make_unique<ComponentMemory>(made.master->memory(), &made.section->mutex());
    return made;
  }();
  return w;
}

std::vector<std::vector<std::uint8_t>> seeds(const World& w) {
  using vornix::fuzz::append;
  std::vector<std::vector<std::uint8_t>> out;
  for (const int flags : {0, 8}) {
    std::vector<std::uint8_t> seed;
    append<std::uint8_t>(seed, static_cast<std::uint8_t>(flags));
    append<std::uint8_t>(seed, 1);
    append<std::uint32_t>(seed, static_cast<std::uint32_t>(w.records.size()));
    append<std::uint64_t>(seed, 0);
    append<std::uint64_t>(seed, 0);
    append<std::uint32_t>(seed, 0);
    seed.insert(seed.end(), w.records.begin(), w.records.end());
    out.push_back(seed);
  }
  return out;
}

void query(ComponentMemory& client, std::uint32_t id) {
  for (const char* name : kNames) {
    double real = 0.0;
    std::int64_t integer = 0;
    (void)client.getParameter(id, name, real);
    (void)client.getParameter(id, name, integer);
    (void)client.getParameterReal(id, name);
    (void)client.getParameterInt(id, name);
    (void)client.getParameterAsBool(id, name);
    (void)client.hasParameter(id, name);
    const std::string text = client.getParameterString(id, name);
    check(text.find('\0') == std::string::npos);
  }
  char small[8];
  if (client.getComponentName(id, small)) check(std::memchr(small, 0, sizeof small) != nullptr);
  (void)client.getComponentNameString(id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vornix::fuzz::silenceLogs();
  vornix::fuzz::writeSeedsIfAsked("component", seeds(world()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  vornix::fuzz::InputReader in(std::span<const std::uint8_t>(data, size));
  const auto flags = in.take<std::uint8_t>();
  const auto queryId = in.take<std::uint8_t>();
  const auto used = in.take<std::uint32_t>();
  const auto sizeWord = in.take<std::uint64_t>();
  const auto offset = in.take<std::uint64_t>();
  const auto count = in.take<std::uint32_t>();
  const auto records = in.rest();

  std::vector<std::uint8_t> content(w.head);
  content.insert(content.end(), records.begin(), records.end());
  const std::span<std::uint8_t> out(content);
  vornix::bytes::store<std::uint64_t>(out, 0, (flags & 1) != 0 ? sizeWord : content.size());
  if ((flags & 2) != 0) vornix::bytes::store<std::uint64_t>(out, Layout::kOffsetTable + 8, offset);
  if ((flags & 4) != 0) vornix::bytes::store<std::uint32_t>(out, Layout::kCount, count);
  vornix::bytes::store<std::uint32_t>(
      out, w.entry + Layout::kParameterBytes,
      (flags & 8) != 0 ? used : static_cast<std::uint32_t>(records.size()));

  const std::uint32_t serial = ++w.serial;
  const auto section =
      vornix::fuzz::sectionWith(vornix::familySectionName(vornix::SectionFamily::component,
                                                          vornix::fuzz::fuzzInstance(), serial),
                                content);
  if (!section) return 0;
  check(w.master->publishComponent(serial, content.size()));

  query(*w.client, 1);
  query(*w.client, queryId);
  vornix::DataMessage message;
  message.setInt("n", 1);
  (void)w.client->addComponentStats(1, 2, 5, &message, &message, 1, 1);
  (void)w.client->addComponentStats(queryId, 2, 5, &message, nullptr, 1, 1);
  return 0;
}

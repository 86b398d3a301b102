// Fuzzes the message record over raw bytes: adoption, the entry walk, every
// getter, writes over whatever was adopted, and limited copies. Besides the
// sanitizers' checks, it traps when two readers of the same record disagree
// or a trimmed copy breaks its size promise.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "runtime/data_message.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/text.h"

namespace {

using vornix::DataMessage;
using vornix::EntryView;
using vornix::RecordKind;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Seen {
  std::string name;
  RecordKind kind;
  std::vector<std::uint8_t> value;
};

std::vector<Seen> walk(const DataMessage& m) {
  std::vector<Seen> seen;
  const auto all = m.bytes();
  m.forEachEntry([&](const EntryView& e) {
    const auto* begin = all.data();
    check(e.offset >= 200 && e.offset < all.size());
    check(e.value.empty() ||
          (e.value.data() >= begin && e.value.data() + e.value.size() <= begin + all.size()));
    seen.push_back({std::string(e.name), e.kind, {e.value.begin(), e.value.end()}});
    return seen.size() < 4096;
  });
  return seen;
}

// Every getter on every name found, each answer checked against the walk:
// the first entry of a name (ASCII case ignored) is the one getters see.
void readAll(const DataMessage& m) {
  (void)m.memoryId(), (void)m.getCreatedTime(), (void)m.sentTime(), (void)m.ttl();
  (void)m.dropFlags(), (void)m.fromId(), (void)m.toId(), (void)m.postTag();
  (void)m.getType(), (void)m.getContext(), (void)m.userSize(), (void)m.userCount();
  (void)m.stepCpuTime(), (void)m.stepWallTime(), (void)m.chainCpuTime();
  (void)m.chainWallTime(), (void)m.chainLength(), (void)m.version();
  const auto seen = walk(m);
  std::vector<std::string> done;
  for (const Seen& s : seen) {
    bool repeat = false;
    for (const auto& d : done) repeat = repeat || vornix::equalsNoCase(d, s.name);
    if (repeat || s.name.find('\0') != std::string::npos) continue;
    done.push_back(s.name);
    const char* name = s.name.c_str();
    check(m.findEntry(name) != nullptr);
    bool found = false;
    const std::int64_t i = m.getInt(name, &found);
    check(found == (s.kind == RecordKind::kInteger && s.value.size() >= 8));
    if (found) check(std::memcmp(&i, s.value.data(), 8) == 0);
    (void)m.getDouble(name, &found);
    check(found == (s.kind == RecordKind::kFloat && s.value.size() >= 8));
    check(m.hasDouble(name) == found);
    const char* text = m.getString(name);
    const bool isText = s.kind == RecordKind::kText && !s.value.empty() &&
                        std::memchr(s.value.data(), 0, s.value.size()) != nullptr;
    check((text != nullptr) == isText);
    if (text != nullptr) check(std::strlen(text) < s.value.size());
    std::uint32_t length = 0;
    const std::uint8_t* data = m.getData(name, length, &found);
    check(found == (s.kind == RecordKind::kData) && (data != nullptr) == found);
    if (found) check(length == s.value.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    vornix::setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
    return true;
  }();
  (void)quiet;

  const std::span<const std::uint8_t> raw(data, size);
  const std::vector<std::uint8_t> before(raw.begin(), raw.end());
  DataMessage m(raw);
  check(m.isValid() && m.size() >= 200 && m.size() == m.bytes().size());
  check(size == 0 || std::memcmp(before.data(), data, size) == 0);  // the source is only read
  readAll(m);

  // Limited copies at a few limits taken from the input.
  const std::uint32_t limits[] = {
      200, 281, 300, 4096, 200u + (size > 0 ? std::uint32_t{data[size - 1]} * 8u : 0u),
  };
  for (const std::uint32_t limit : limits) {
    const DataMessage copy(m, limit);
    check(copy.isValid());
    if (m.size() <= limit) {
      check(copy.size() == m.size() && std::memcmp(copy.record(), m.record(), m.size()) == 0);
    } else {
      check(copy.size() < limit || copy.size() == 200);
    }
    readAll(copy);
    const DataMessage again(copy.bytes());
    readAll(again);
  }

  // Writes over whatever was adopted: in place, relocating, appending.
  std::vector<std::string> names;
  for (const auto& s : walk(m)) {
    if (s.name.find('\0') == std::string::npos) names.push_back(s.name);
    if (names.size() == 8) break;
  }
  names.emplace_back("new");
  for (const std::string& name : names) {
    check(m.setInt(name.c_str(), 7));
    check(m.getInt(name.c_str()) == 7);
    check(m.setString(name.c_str(), "a text longer than eight bytes"));
    check(std::strcmp(m.getString(name.c_str()), "a text longer than eight bytes") == 0);
  }
  readAll(m);
  return 0;
}

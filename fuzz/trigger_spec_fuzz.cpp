// Fuzzes the TriggerSpec bytes the host puts into a trigger message: the
// views' validation and every field they hand out, then the same bytes as the
// "TriggerSpec" entry of a trigger taken by a handle, followed by posts under
// each post name found (and under none), so that the content triples of every
// post specification are added to a real message.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/trigger_spec_writer.h"
#include "runtime/data_message.h"
#include "runtime/memory_hub.h"
#include "runtime/trigger_spec.h"
#include "runtime/zel_api.h"
#include "section_support.h"

namespace {

using vornix::fuzz::check;

bool inside(std::string_view text, std::span<const std::uint8_t> bytes) {
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  return text.empty() ||
         (text.data() >= begin && text.data() + text.size() <= begin + bytes.size());
}

std::vector<std::string> checkViews(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> names;
  const auto view = vornix::TriggerSpecView::parse(bytes);
  if (!view) return names;
  check(bytes.size() >= vornix::TriggerSpecView::kArrays);
  check(inside(view->triggerName(), bytes));
  check(view->triggerName().find('\0') == std::string_view::npos);
  for (const vornix::PostSpecView& post : view->postSpecs()) {
    check(inside(post.postName(), bytes) && inside(post.content(), bytes));
    check(post.postName().find('\0') == std::string_view::npos);
    check(post.content().find('\0') == std::string_view::npos);
    (void)post.targetId(), (void)post.postTag(), (void)post.defaultTtl();
    (void)post.dropFlags(), (void)post.tripleCount(), (void)post.context();
    // Every specification is found under its own name and its own type.
    const auto byName = view->byName(post.postName());
    bool found = false;
    for (const auto* p : byName) found = found || p == &post;
    check(found);
    const vornix::MessageType type = post.type();
    const auto byType = view->byType(type);
    found = false;
    for (const auto* p : byType) found = found || p == &post;
    check(found || type.empty());
    if (names.size() < 8) names.emplace_back(post.postName());
  }
  check(view->byName("").size() == view->postSpecs().size());
  return names;
}

// One handle for the whole run, with no sections: deliveries fail, which is
// the handle's -1, while everything before the delivery runs for real.
vornix::ZelAPI& handle() {
  static vornix::MemoryHub hub(nullptr, nullptr, nullptr, nullptr);
  static vornix::HostContext context{nullptr, &hub, 1, nullptr, nullptr};
  static vornix::ZelAPI api(
      &context, 1, "LoquantFuzzTriggerSpec_" + std::to_string(vornix::fuzz::fuzzInstance()));
  static const bool keeping = (api.setKeep(true), true);  // the handle frees what a wait returned
  (void)keeping;
  return api;
}

std::vector<std::vector<std::uint8_t>> seeds() {
  using vornix::host::PostSpecBytes;
  vornix::MessageType speech;
  speech.levels = {5, 6};
  vornix::MessageType any;
  any.levels = {5, vornix::MessageType::kAny};
  PostSpecBytes on;
  on.type = speech;
  on.postName = "SpeechOn";
  on.tripleCount = 3;
  on.content = "S|label|on||I|count|3||F|level|0.5";
  on.defaultTtl = 1000000;
  PostSpecBytes control;
  control.context = any;
  control.postName = "Control";
  control.targetId = 2;
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& posts : {std::vector<PostSpecBytes>{}, std::vector<PostSpecBytes>{on},
                            std::vector<PostSpecBytes>{on, control}}) {
    const auto bytes = vornix::host::buildTriggerSpec("AudioFrame", posts);
    check(bytes.has_value());
    out.push_back(*bytes);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vornix::fuzz::silenceLogs();
  vornix::fuzz::writeSeedsIfAsked("spec", seeds());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vornix::fuzz::silenceLogs();
  const std::span<const std::uint8_t> bytes(data, size);
  std::vector<std::string> names = checkViews(bytes);

  auto trigger = std::make_unique<vornix::DataMessage>();
  if (!trigger->setData("TriggerSpec", bytes)) return 0;
  vornix::ZelAPI& api = handle();
  check(api.queuePair(std::move(trigger), std::make_unique<vornix::DataMessage>()));
  const char* triggerName = nullptr;
  check(api.waitForNewMessage(0, &triggerName) != nullptr);
  if (triggerName != nullptr) check(std::strlen(triggerName) < 256);

  names.emplace_back("no such post");
  for (const std::string& name : names) {
    auto message = std::make_unique<vornix::DataMessage>();
    const int result = api.postOutputMessage(name.c_str(), message.release());
    check(result >= -3);
  }
  const int all = api.postOutputMessage(nullptr, std::make_unique<vornix::DataMessage>().release());
  check(all >= -3);
  return 0;
}

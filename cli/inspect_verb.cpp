// `loquant inspect [--instance N]`: what a live instance holds in its
// shared-memory sections, read from outside without changing anything:
// components with their statistics, message queues, and the temporal store.
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "analyze.h"
#include "host/instance_view.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

constexpr const char* kInspectHelp =
    "usage: loquant inspect [--instance N]\n"
    "\n"
    "Shows a running instance's components (status, messages and bytes received and\n"
    "posted, messages the router could not deliver to it (for a capture: blocks of\n"
    "audio dropped, its overruns), type of the last message each way), its message\n"
    "queues (size, fill, message counter) and its temporal store (slots and bytes in\n"
    "use per bin).\n"
    "Without --instance: inspects the only running instance of this user, or lists\n"
    "them when there are several. On Windows, where named objects cannot be listed,\n"
    "every instance number from 0 to 65535 is probed by name (about 0.6 s);\n"
    "--instance N looks at that number only.\n";

std::string orDash(const std::string& text) {
  return text.empty() ? "-" : text;
}

void print(const vornix::host::InstanceSnapshot& s) {
  std::printf("instance %u (component section serial %u, process section serial %u)\n",
              static_cast<unsigned>(s.instance), s.componentSerial, s.processSerial);
  std::printf("\ncomponents:\n");
  std::printf("  %4s  %-20s %6s %10s %12s %10s %12s %11s  %-24s %s\n", "id", "name", "status",
              "received", "bytes", "posted", "bytes", "undelivered", "last received",
              "last posted");
  for (const auto& c : s.components) {
    std::printf("  %4u  %-20s %6u %10llu %12llu %10llu %12llu %11llu  %-24s %s\n", c.id,
                orDash(c.name).c_str(), static_cast<unsigned>(c.status),
                static_cast<unsigned long long>(c.received),
                static_cast<unsigned long long>(c.receivedBytes),
                static_cast<unsigned long long>(c.posted),
                static_cast<unsigned long long>(c.postedBytes),
                static_cast<unsigned long long>(c.undelivered), orDash(c.lastReceivedType).c_str(),
                orDash(c.lastPostedType).c_str());
  }
  std::printf("\nqueues:\n");
  std::printf("  %4s  %7s %10s %10s %6s %10s\n", "id", "process", "size", "used", "fill",
              "messages");
  for (const auto& q : s.queues) {
    const double fill = q.capacity != 0
                            ? 100.0 * static_cast<double>(q.used) / static_cast<double>(q.capacity)
                            : 0.0;
    const std::string process = q.process >= 0 ? std::to_string(q.process) : "-";
    std::printf("  %4u  %7s %10llu %10llu %5.1f%% %10u\n", q.id, process.c_str(),
                static_cast<unsigned long long>(q.size), static_cast<unsigned long long>(q.used),
                fill, q.counter);
  }
  if (!s.store) {
    std::printf("\ntemporal store: none\n");
    return;
  }
  const auto& t = *s.store;
  std::printf(
      "\ntemporal store (serial %u, %llu bytes): %u of %u slots in use, %llu bytes in use\n",
      t.serial, static_cast<unsigned long long>(t.sectionSize), t.slotsInUse, t.slotCount,
      static_cast<unsigned long long>(t.bytesInUse));
  std::printf("  %4s  %10s %8s %8s %12s\n", "bin", "block size", "blocks", "in use",
              "bytes in use");
  for (std::size_t b = 0; b < t.bins.size(); ++b) {
    const auto& bin = t.bins[b];
    std::printf("  %4zu  %10u %8u %8u %12llu\n", b, bin.blockSize, bin.blockCount, bin.blocksInUse,
                static_cast<unsigned long long>(bin.bytesInUse));
  }
}

}  // namespace

int inspectVerb(const Arguments& args) {
  std::optional<std::uint16_t> instance;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kInspectHelp, stdout);
      return kExitOk;
    }
    if (a == "--instance") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "loquant inspect: --instance needs a value\n");
        return kExitUsage;
      }
      const std::string& v = args[++i];
      unsigned value = 0;
      const auto [end, problem] = std::from_chars(v.data(), v.data() + v.size(), value);
      if (v.empty() || problem != std::errc() || end != v.data() + v.size() || value > 0xFFFFU) {
        std::fprintf(stderr,
                     "loquant inspect: --instance takes a number from 0 to 65535, not '%s'\n",
                     v.c_str());
        return kExitUsage;
      }
      instance = static_cast<std::uint16_t>(value);
      continue;
    }
    std::fprintf(stderr, "loquant inspect: unknown option '%s' (see --help)\n", a.c_str());
    return kExitUsage;
  }
  if (!instance) {
    const std::vector<std::uint16_t> live = vornix::host::listInstances();
    if (live.empty()) {
      std::fprintf(stderr, "loquant inspect: no instance of this user is running\n");
      return kExitInput;
    }
    if (live.size() > 1) {
      std::printf("running instances:");
      for (const std::uint16_t n : live) std::printf(" %u", static_cast<unsigned>(n));
      std::printf("\nchoose one with --instance N\n");
      return kExitOk;
    }
    instance = live.front();
  }
  std::string error;
  std::unique_ptr<vornix::host::InstanceView> view =
      vornix::host::InstanceView::open(*instance, error);
  if (!view) {
    std::fprintf(stderr, "loquant inspect: %s\n", error.c_str());
    return kExitInput;
  }
  const std::optional<vornix::host::InstanceSnapshot> snapshot = view->snapshot(error);
  if (!snapshot) {
    std::fprintf(stderr, "loquant inspect: instance %u: %s\n", static_cast<unsigned>(*instance),
                 error.c_str());
    return kExitInput;
  }
  print(*snapshot);
  return kExitOk;
}

}  // namespace loquant::cli

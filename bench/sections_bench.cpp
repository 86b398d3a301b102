// Speed of the component-section operations a component pays on every frame
// and after every wait and post: a parameter lookup among 50 parameters and
// a statistics update carrying a 2 KB message.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/component_section.h"
#include "host/master_section.h"
#include "runtime/component_memory.h"
#include "runtime/data_message.h"
#include "util/format.h"

namespace {

using namespace vornix;

struct Fixture {
  Fixture() {
    const auto instance = static_cast<std::uint16_t>((getpid() & 0x1FFF) << 3);
    master = host::MasterSection::create(instance);
    std::vector<host::ParameterSpec> parameters;
    for (int i = 0; i < 50; ++i) {
      parameters.push_back({formatString("Parameter%02d", i), std::int64_t{i}});
    }
    const std::vector<host::ComponentSpec> components{{1, "Bench", parameters}};
    if (master) section = host::ComponentSection::create(*master, components, 1);
    if (section) client = std::make_unique<ComponentMemory>(master->memory(), &section->mutex());
  }
  std::unique_ptr<host::MasterSection> master;
  std::unique_ptr<host::ComponentSection> section;
  std::unique_ptr<ComponentMemory> client;
};

// Parameter number state.range(0) of 50: the first shows the fixed cost
// (two mutex holds and the serial check), the last the whole walk.
void BM_ParameterLookupAmong50(benchmark::State& state) {
  Fixture fixture;
  if (!fixture.client) {
    state.SkipWithError("sections could not be created");
    return;
  }
  const std::string name = formatString("parameter%02d", static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.client->getParameterInt(1, name));
  }
}
BENCHMARK(BM_ParameterLookupAmong50)->Arg(0)->Arg(49);

void BM_AddComponentStatsWith2KBMessage(benchmark::State& state) {
  Fixture fixture;
  if (!fixture.client) {
    state.SkipWithError("sections could not be created");
    return;
  }
  DataMessage message;
  message.setData("payload", std::vector<std::uint8_t>(2048 - 230, 0x11));
  state.counters["message_bytes"] = message.size();
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.client->addComponentStats(1, 3, 5, &message, nullptr, 0, 1));
  }
}
BENCHMARK(BM_AddComponentStatsWith2KBMessage);

}  // namespace

BENCHMARK_MAIN();

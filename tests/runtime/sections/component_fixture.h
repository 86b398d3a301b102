// The component-section fixture shared by the single-process tests and the
// tests with a forked child: a master section, a component section with two
// components (id 1 "Speech" with parameters, id 3 "Analyzer") and a client.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/component_section.h"
#include "host/master_section.h"
#include "runtime/component_memory.h"
#include "runtime/sections/section_fixture.h"

namespace vornix::test {

using host::ComponentSection;
using host::ComponentSpec;
using host::IntegerList;
using host::RealList;
using host::TextList;
using L = ComponentMemory::Layout;

inline std::vector<ComponentSpec> components(std::int64_t rate) {
  return {
      {1,
       "Speech",
       {{"Rate", rate},
        {"Gain", 0.5},
        {"Mode", std::string("YES")},
        {"Flag", std::string("True")},
        {"Voices", TextList{{"a", "bb", "third"}, 2}},
        {"Answer", TextList{{"no", "yEs"}, 1}},
        {"Sizes", IntegerList{{5, 6, 7}, 1}},
        {"Levels", RealList{{1.5, 0.0}, 1}}}},
      {3, "Analyzer", {}},
  };
}

class ComponentMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = host::MasterSection::create(instance);
    ASSERT_NE(master, nullptr);
    const auto specs = components(16000);
    section = ComponentSection::create(*master, specs, 3);
    ASSERT_NE(section, nullptr);
    client = std::make_unique<ComponentMemory>(master->memory(), &section->mutex());
  }
  void TearDown() override {
    client.reset();
    section.reset();
    master.reset();
    EXPECT_EQ(leftoverSections(instance), std::vector<std::string>{});
  }

  // The entry bytes of id 1 in the host's current section.
  std::span<std::uint8_t> entry1() {
    return section->bytes().subspan(static_cast<std::size_t>(*section->entryOffset(1)));
  }

  std::uint16_t instance = uniqueInstanceId();
  std::unique_ptr<host::MasterSection> master;
  std::unique_ptr<ComponentSection> section;
  std::unique_ptr<ComponentMemory> client;
};

}  // namespace vornix::test

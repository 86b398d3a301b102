#include "runtime/data_maps_memory.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "host/data_maps_section.h"
#include "host/master_section.h"
#include "host/owned_section.h"
#include "runtime/message_type.h"
#include "runtime/sections/section_fixture.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix {
namespace {

using host::DataMapsSection;
using host::LevelName;
using L = DataMapsMemory::Layout;

const std::string kLongName(300, 'L');

std::vector<LevelName> levels(const std::string& seven) {
  return {{7, seven}, {9, "Frame"}, {3, ""}, {5, kLongName}, {10, "Ten"}};
}

class DataMapsMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = host::MasterSection::create(instance);
    ASSERT_NE(master, nullptr);
    section = DataMapsSection::create(*master, levels("Audio"), 10);
    ASSERT_NE(section, nullptr);
    client = std::make_unique<DataMapsMemory>(master->memory(), &section->mutex());
  }
  void TearDown() override {
    client.reset();
    section.reset();
    master.reset();
    EXPECT_EQ(test::leftoverSections(instance), std::vector<std::string>{});
  }

  std::string lookup(std::uint16_t level, bool* found = nullptr) {
    std::string name = "unchanged";
    const bool ok = client->levelNameLookup()(level, name);
    if (found != nullptr) *found = ok;
    return name;
  }
  // Changes one byte field of a level's entry in the host's section.
  template <class T>
  void poke(std::uint16_t level, std::uint64_t field, T value) {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<T>(section->bytes(), *section->levelEntryOffset(level) + field, value);
  }

  std::uint16_t instance = test::uniqueInstanceId();
  std::unique_ptr<host::MasterSection> master;
  std::unique_ptr<DataMapsSection> section;
  std::unique_ptr<DataMapsMemory> client;
};

TEST_F(DataMapsMemoryTest, NamedLevelsAndLevelsWithoutUsableEntries) {
  std::array<char, 257> buffer{};
  EXPECT_TRUE(client->getTypeLevelName(7, std::span<char>(buffer).first(256)));
  EXPECT_STREQ(buffer.data(), "Audio");
  bool found = true;
  EXPECT_EQ(lookup(8, &found), "");  // no entry written
  EXPECT_FALSE(found);
  EXPECT_EQ(lookup(3, &found), "");  // used entry with an empty name
  EXPECT_FALSE(found);
  EXPECT_EQ(lookup(11, &found), "");  // beyond the map
  EXPECT_FALSE(found);
  EXPECT_EQ(lookup(65534, &found), "");
  EXPECT_FALSE(found);
}

TEST_F(DataMapsMemoryTest, EntryFieldsDecideUsability) {
  poke<std::uint8_t>(9, L::kEntryState, 1);
  EXPECT_EQ(lookup(9), "");
  poke<std::uint8_t>(9, L::kEntryState, 2);
  EXPECT_EQ(lookup(9), "Frame");
  poke<std::uint64_t>(9, L::kEntryValue, 0);
  EXPECT_EQ(lookup(9), "");
  poke<std::uint64_t>(9, L::kEntryValue, 1);
  poke<std::uint16_t>(9, L::kEntryLevel, 8);  // level number does not match the index
  EXPECT_EQ(lookup(9), "");
}

TEST_F(DataMapsMemoryTest, LongNamesAreCutInsideTheBuffer) {
  EXPECT_EQ(lookup(5), std::string(255, 'L'));
  std::array<char, 4> small{};
  EXPECT_TRUE(client->getTypeLevelName(7, small));
  EXPECT_STREQ(small.data(), "Aud");
  // A name field without terminator is read no further than its width.
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    const std::uint64_t name = *section->levelEntryOffset(5) + L::kEntryName;
    std::fill_n(section->bytes().begin() + static_cast<std::ptrdiff_t>(name), L::kEntryNameWidth,
                std::uint8_t{'Z'});
  }
  std::vector<char> wide(400, '\0');
  EXPECT_TRUE(client->getTypeLevelName(5, wide));
  EXPECT_EQ(std::string(wide.data()), std::string(L::kEntryNameWidth, 'Z'));
}

TEST_F(DataMapsMemoryTest, TypeNamesUseTheLevelNames) {
  MessageType type;
  type.levels = {7, MessageType::kAny, 9};
  EXPECT_EQ(typeName(type, client->levelNameLookup()), "Audio.*.Frame");
  type.levels = {7, 8, 10};
  EXPECT_EQ(typeName(type, client->levelNameLookup()), "Audio..Ten");
  type.levels = {7, 0, 9};
  EXPECT_EQ(typeName(type, client->levelNameLookup()), "Audio");
}

TEST_F(DataMapsMemoryTest, NewSerialLogsTheReopenOnceAndABadOneKeepsTheOldView) {
  EXPECT_EQ(lookup(7), "Audio");
  ASSERT_TRUE(section->replace(levels("Voice"), 10));
  test::LogCapture log;
  EXPECT_EQ(lookup(7), "Voice");
  EXPECT_EQ(lookup(9), "Frame");
  const std::string line =
      formatString(" --------- Reopening DataMapsMemory section serial %u --------",
                   unsigned{section->serial()});
  ASSERT_EQ(log.lines().size(), 1U);
  EXPECT_EQ(log.count(line), 1U);

  const std::uint32_t bad = section->serial() + 1;
  auto wrong =
      host::OwnedSection::create(familySectionName(SectionFamily::dataMaps, instance, bad), 512);
  ASSERT_TRUE(wrong);
  bytes::store<std::uint32_t>(wrong->bytes(), 8, 0x000E000E);
  ASSERT_TRUE(master->publishDataMaps(bad, 512));
  bool found = true;
  lookup(7, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(lookup(7), "Voice");  // old view, serial kept
  EXPECT_EQ(client->serial(), bad);
}

TEST_F(DataMapsMemoryTest, CorruptMapsFailTheLookup) {
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<std::uint32_t>(section->bytes(), L::kFirstMap + L::kMapEntryArray, 0xFFFFFF00U);
  }
  EXPECT_EQ(lookup(7), "");
  // A new section whose type-level map claims more bytes than it has.
  ASSERT_TRUE(section->replace(levels("Audio"), 10));
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<std::uint64_t>(section->bytes(), L::kFirstMap, ~std::uint64_t{0} - 4);
  }
  // (The client opened nothing of it yet: the first lookup opens and refuses.)
  EXPECT_EQ(lookup(7), "");
}

TEST_F(DataMapsMemoryTest, WithoutMutexLookupsFailUntilOpenMakesIt) {
  DataMapsMemory bare(master->memory(), nullptr);
  std::string none;
  EXPECT_FALSE(bare.levelNameLookup()(7, none));
  test::LogCapture log;
  EXPECT_TRUE(bare.open());
  EXPECT_TRUE(log.lines().empty());  // a first open is not a reopen
  std::string name;
  EXPECT_TRUE(bare.levelNameLookup()(7, name));
  EXPECT_EQ(name, "Audio");
}

}  // namespace
}  // namespace vornix

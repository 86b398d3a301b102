#include "runtime/component_memory.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "host/component_section.h"
#include "host/master_section.h"
#include "host/owned_section.h"
#include "runtime/data_message.h"
#include "runtime/sections/component_fixture.h"
#include "runtime/sections/section_fixture.h"
#include "support/test_process.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using host::ComponentSection;
using host::ComponentSpec;
using host::IntegerList;
using host::RealList;
using host::TextList;
using test::ComponentMemoryTest;
using test::components;
using L = ComponentMemory::Layout;

TEST_F(ComponentMemoryTest, TypedGettersReadTheirOwnTypesOnly) {
  std::int64_t integer = -1;
  double real = -1.0;
  EXPECT_TRUE(client->getParameter(1, "rATE", integer));
  EXPECT_EQ(integer, 16000);
  EXPECT_FALSE(client->getParameter(1, "Rate", real));  // no conversion
  EXPECT_EQ(client->getParameterReal(1, "Rate"), 0.0);
  EXPECT_EQ(client->getParameterReal(1, "Gain"), 0.5);
  EXPECT_EQ(client->getParameterInt(1, "Gain"), 0);
  EXPECT_EQ(client->getParameterInt(1, "Sizes"), 6);  // lists read as their current item
  EXPECT_TRUE(client->getParameter(1, "Levels", real));
  EXPECT_EQ(real, 0.0);
  EXPECT_EQ(client->getParameterString(1, "Voices"), "third");
  EXPECT_EQ(client->getParameterString(1, "Mode"), "YES");
  EXPECT_EQ(client->getParameterString(1, "Rate"), "");
  EXPECT_TRUE(client->hasParameter(1, "levels"));
  EXPECT_FALSE(client->hasParameter(1, "Missing"));
  EXPECT_FALSE(client->hasParameter(3, "Rate"));  // another component's parameters
}

TEST_F(ComponentMemoryTest, BooleansAcceptOnlyYesOrNonZero) {
  EXPECT_TRUE(client->getParameterAsBool(1, "Mode"));     // "YES"
  EXPECT_FALSE(client->getParameterAsBool(1, "Flag"));    // "True" is not yes
  EXPECT_TRUE(client->getParameterAsBool(1, "Answer"));   // list item "yEs"
  EXPECT_FALSE(client->getParameterAsBool(1, "Voices"));  // list item "third"
  EXPECT_TRUE(client->getParameterAsBool(1, "Rate"));
  EXPECT_TRUE(client->getParameterAsBool(1, "Sizes"));
  EXPECT_FALSE(client->getParameterAsBool(1, "Levels"));  // current item 0.0
  EXPECT_TRUE(client->getParameterAsBool(1, "Gain"));
  EXPECT_FALSE(client->getParameterAsBool(1, "Missing"));
}

TEST_F(ComponentMemoryTest, IdsUpToTheCountHaveEntries) {
  EXPECT_EQ(client->getComponentNameString(3), "Analyzer");  // id == count
  EXPECT_EQ(client->getComponentNameString(4), "");          // count + 1
  EXPECT_EQ(client->getComponentNameString(2), "");          // offset 0: no component
  std::array<char, 4> small{};
  EXPECT_TRUE(client->getComponentName(1, small));
  EXPECT_STREQ(small.data(), "Spe");
  EXPECT_FALSE(client->getComponentName(4, small));
  EXPECT_FALSE(client->addComponentStats(4, 3, 0, nullptr, nullptr, 0, 1));
}

TEST_F(ComponentMemoryTest, NameFillingItsWholeFieldStaysInsideIt) {
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    std::fill_n(entry1().begin() + L::kName, L::kNameWidth, std::uint8_t{'n'});
  }
  EXPECT_EQ(client->getComponentNameString(1), std::string(L::kNameWidth, 'n'));
}

// A message whose record is exactly `size` bytes, its payload all `fill`.
DataMessage messageOfSize(std::uint32_t size, std::uint8_t fill = 0x5A) {
  std::uint32_t payload = size - 300;
  for (int attempt = 0; attempt < 8; ++attempt) {
    DataMessage message;
    message.setData("payload", std::vector<std::uint8_t>(payload, fill));
    if (message.size() == size) return message;
    payload = payload + size - message.size();
  }
  return DataMessage();
}

TEST_F(ComponentMemoryTest, HistoryStoresMessagesWholeOrThroughTheLimitedCopy) {
  const DataMessage whole = messageOfSize(4095);
  ASSERT_EQ(whole.size(), 4095U);
  ASSERT_TRUE(client->addComponentStats(1, 3, 10, &whole, nullptr, 0, 1));
  std::vector<std::uint8_t> slot = section->historySlot(1, false, 0);
  EXPECT_TRUE(std::equal(whole.bytes().begin(), whole.bytes().end(), slot.begin()));

  // 4096 bytes go through the limited copy, which keeps a record of at most
  // its limit whole: the slot is filled exactly.
  const DataMessage exact = messageOfSize(4096);
  ASSERT_EQ(exact.size(), 4096U);
  ASSERT_TRUE(client->addComponentStats(1, 3, 10, nullptr, &exact, 0, 0));
  slot = section->historySlot(1, true, 0);
  EXPECT_TRUE(std::equal(exact.bytes().begin(), exact.bytes().end(), slot.begin()));

  // A longer one is cut below 4096 bytes.
  const DataMessage large = messageOfSize(10000);
  ASSERT_EQ(large.size(), 10000U);
  ASSERT_TRUE(client->addComponentStats(1, 3, 0, nullptr, &large, 0, 0));
  slot = section->historySlot(1, true, 0);
  const DataMessage limited(large, 4096);
  ASSERT_LT(limited.size(), 4096U);
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(slot, 0, 0), limited.size());
  EXPECT_TRUE(std::equal(limited.bytes().begin(), limited.bytes().end(), slot.begin()));
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(section->historySlot(1, true, 1), 0, 0), 4096U);

  const auto stats = section->stats(1);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->received, 1U);
  EXPECT_EQ(stats->receivedBytes, 4095U);
  EXPECT_EQ(stats->posted, 2U);
  EXPECT_EQ(stats->postedBytes, 14096U);  // the messages' own sizes, not the copies'
  EXPECT_EQ(stats->processorTime, 20U);
  EXPECT_EQ(stats->wakeUps, 1U);
  EXPECT_EQ(stats->status, 3U);
}

TEST_F(ComponentMemoryTest, ElevenReceivedKeepTheLastTenNewestFirst) {
  for (std::int64_t n = 0; n < 11; ++n) {
    DataMessage message;
    message.setInt("n", n);
    ASSERT_TRUE(client->addComponentStats(1, 3, 0, &message, nullptr, 0, 1));
  }
  for (std::uint32_t slot = 0; slot < 10; ++slot) {
    const DataMessage stored(section->historySlot(1, false, slot));
    EXPECT_EQ(stored.getInt("n"), 10 - static_cast<std::int64_t>(slot)) << "slot " << slot;
  }
  EXPECT_EQ(section->stats(1)->received, 11U);
  EXPECT_EQ(section->stats(1)->wakeUps, 11U);
}

// Slots move by their records' sizes: long and short records in turn must
// each arrive whole in the slot below, whatever the slot held before.
TEST_F(ComponentMemoryTest, RecordsOfMixedSizesMoveDownWhole) {
  std::vector<DataMessage> posted;
  for (std::uint32_t n = 0; n < 13; ++n) {
    posted.push_back(messageOfSize(n % 3 == 0 ? 3900 : 400 + 40 * n, static_cast<std::uint8_t>(n)));
    ASSERT_TRUE(client->addComponentStats(1, 3, 0, nullptr, &posted.back(), 0, 0));
  }
  for (std::uint32_t slot = 0; slot < 10; ++slot) {
    const DataMessage& expected = posted[12 - slot];
    const std::vector<std::uint8_t> stored = section->historySlot(1, true, slot);
    ASSERT_GE(stored.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.bytes().begin(), expected.bytes().end(), stored.begin()))
        << "slot " << slot;
  }
}

TEST_F(ComponentMemoryTest, StatusTwoTimesAndAccumulators) {
  ASSERT_TRUE(client->addComponentStats(1, 2, 5, nullptr, nullptr, 7, 2));
  const auto first = section->stats(1);
  ASSERT_TRUE(first);
  EXPECT_NE(first->firstStatus2, 0U);
  EXPECT_EQ(first->firstStatus2, first->lastStatus2);
  ASSERT_TRUE(client->addComponentStats(1, 2, 5, nullptr, nullptr, 7, 2));
  ASSERT_TRUE(client->addComponentStats(1, 3, 5, nullptr, nullptr, 7, 2));
  const auto later = section->stats(1);
  EXPECT_EQ(later->firstStatus2, first->firstStatus2);
  EXPECT_GE(later->lastStatus2, first->lastStatus2);
  EXPECT_EQ(later->seconds, 21U);
  EXPECT_EQ(later->wakeUps, 6U);
  EXPECT_EQ(later->processorTime, 15U);
  EXPECT_EQ(later->status, 3U);
}

TEST_F(ComponentMemoryTest, NewSerialIsFollowedAndABadOneKeepsTheOldView) {
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 16000);
  const auto specs = components(8000);
  ASSERT_TRUE(section->replace(specs, 3));
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 8000);
  EXPECT_EQ(client->serial(), section->serial());

  // Serial 3 exists but carries the wrong format mark.
  const std::uint32_t bad = section->serial() + 1;
  auto wrong =
      host::OwnedSection::create(familySectionName(SectionFamily::component, instance, bad), 4096);
  ASSERT_TRUE(wrong);
  bytes::store<std::uint32_t>(wrong->bytes(), 8, 0x000F000F);
  ASSERT_TRUE(master->publishComponent(bad, 4096));
  EXPECT_FALSE(client->hasParameter(1, "Rate"));
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 8000);  // old view, serial kept
  EXPECT_EQ(client->serial(), bad);
}

TEST_F(ComponentMemoryTest, GrownSectionKeepsContents) {
  ASSERT_TRUE(client->addComponentStats(1, 3, 1, nullptr, nullptr, 0, 1));
  ASSERT_TRUE(section->grow(1 << 16));
  EXPECT_EQ(client->getParameterString(1, "Voices"), "third");
  ASSERT_TRUE(client->addComponentStats(1, 3, 1, nullptr, nullptr, 0, 1));
  EXPECT_EQ(section->stats(1)->wakeUps, 2U);
}

// Reports from two threads while the host grows the section three times: the
// mutex and the serial check make every report land in the section that is
// current at that moment, so none is lost.
TEST_F(ComponentMemoryTest, ConcurrentReportsSurviveGrows) {
  constexpr int kReports = 300;
  auto report = [this] {
    for (int i = 0; i < kReports; ++i) {
      EXPECT_TRUE(client->addComponentStats(1, 3, 1, nullptr, nullptr, 0, 1));
    }
  };
  std::thread first(report), second(report);
  for (int grow = 0; grow < 3; ++grow) {
    EXPECT_TRUE(section->grow(4096));
    std::this_thread::yield();
  }
  first.join();
  second.join();
  EXPECT_EQ(section->stats(1)->wakeUps, 2U * kReports);
  EXPECT_EQ(section->serial(), 4U);
}

TEST_F(ComponentMemoryTest, WithoutMutexEverythingFailsUntilOpenMakesIt) {
  ComponentMemory bare(master->memory(), nullptr);
  EXPECT_FALSE(bare.hasParameter(1, "Rate"));
  EXPECT_EQ(bare.getParameterInt(1, "Rate"), 0);
  EXPECT_TRUE(bare.open());
  EXPECT_EQ(bare.getParameterInt(1, "Rate"), 16000);
}

// Hostile sections: every corrupt size or offset makes the operation fail.
TEST_F(ComponentMemoryTest, CorruptParameterAreaReadsAsNotFound) {
  const std::span<std::uint8_t> e = entry1();
  const std::uint64_t first = L::kParameters;
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    // List index far past the items.
    const std::string voices = "Voices";
    std::uint64_t at = first;
    for (;;) {  // find the record of "Voices" in the host's bytes
      const std::string_view name(reinterpret_cast<const char*>(e.data() + at + 8));
      if (name == voices) break;
      at += bytes::loadAt<std::uint32_t>(e.data() + at);
    }
    const std::uint64_t value = at + 8 + voices.size() + 1;
    bytes::storeAt<std::uint32_t>(e.data() + value, 0xFFFFFFFFU);
  }
  EXPECT_EQ(client->getParameterString(1, "Voices"), "");
  EXPECT_TRUE(client->hasParameter(1, "Voices"));
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::storeAt<std::uint32_t>(e.data() + first, 0);  // first record: size 0
  }
  EXPECT_FALSE(client->hasParameter(1, "Gain"));  // the walk stops, it does not spin
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::storeAt<std::uint32_t>(e.data() + first, 0xFFFFFF00U);  // runs past the used bytes
  }
  EXPECT_FALSE(client->hasParameter(1, "Gain"));
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::storeAt<std::uint32_t>(e.data() + L::kParameterBytes, 0xFFFFFFF0U);  // past the entry
  }
  EXPECT_FALSE(client->hasParameter(1, "Rate"));
  EXPECT_EQ(client->getComponentNameString(1), "Speech");  // the entry itself is fine
}

TEST_F(ComponentMemoryTest, CorruptTableRefusesTheId) {
  const std::span<std::uint8_t> s = section->bytes();
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<std::uint64_t>(s, L::kOffsetTable + 8 * 3, s.size());  // entry past the end
  }
  EXPECT_EQ(client->getComponentNameString(3), "");
  EXPECT_FALSE(client->addComponentStats(3, 3, 0, nullptr, nullptr, 0, 0));
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<std::uint64_t>(s, L::kOffsetTable + 8, ~std::uint64_t{0});  // would wrap
  }
  EXPECT_EQ(client->getComponentNameString(1), "");
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    bytes::store<std::uint32_t>(s, L::kCount, 0xFFFFFFFFU);  // table past the end
  }
  EXPECT_EQ(client->getComponentNameString(0x7FFFFFFF), "");
}

// Takes the component-section mutex of the instance named by `argument` and
// dies holding it.
int holdComponentMutexAndDie(const std::string& argument) {
  Mutex mutex(
      familyMutexName(SectionFamily::component, static_cast<std::uint32_t>(std::stoul(argument))));
  if (mutex.enter(5000, nullptr)) test::killSelf();
  return 1;
}
[[maybe_unused]] const bool kHolderRole =
    test::registerChildRole("component-mutex-holder-dies", &holdComponentMutexAndDie);

// Another process dies holding the component-section mutex: the next
// operation here reports the abandoned mutex once, the one after works.
TEST_F(ComponentMemoryTest, HolderKilledInAnotherProcess) {
  const auto child =
      test::ChildProcess::start("component-mutex-holder-dies", std::to_string(instance));
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->wait(), test::kKilledStatus);
  test::LogCapture log;
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 0);
  EXPECT_EQ(log.count("Mutex enter error"), 1U);
  EXPECT_EQ(log.count("vornix::ComponentMemory::getParameter"), 1U);
  EXPECT_EQ(client->getParameterInt(1, "Rate"), 16000);
  EXPECT_EQ(log.lines().size(), 1U);
}

}  // namespace
}  // namespace vornix

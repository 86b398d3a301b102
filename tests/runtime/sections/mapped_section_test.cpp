// MappedSection: the one view of a section. It carries its own handle and is
// released without any mapping registry, so that the copy of the runtime that
// drops it need not be the copy that mapped it, and it bounds every access by
// the smaller of the mapped length and the section's size word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "runtime/mapped_section.h"
#include "util/bytes.h"
#include "util/shared_memory.h"
#include "util/sync/sync_test_support.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using test::SectionName;

// A section of `size` bytes whose size word says `size`, as its writer makes it.
MappedSection written(const std::string& logical, std::uint64_t size) {
  MappedSection view = MappedSection::create(logical, size);
  if (view) bytes::store<std::uint64_t>(view.bytes(), 0, size);
  return view;
}

MappedSection openAny(const std::string& logical) {
  return MappedSection::open(logical, std::nullopt);
}

TEST(MappedSectionTest, CreateAndOpenShareBytesOutsideTheRegistry) {
  SectionName name;
  MappedSection created = written(name.logical, 4096);
  ASSERT_TRUE(created);
  EXPECT_EQ(created.size(), 4096U);
  std::memcpy(created.data() + 16, "hello", 6);

  MappedSection opened = openAny(name.logical);
  ASSERT_TRUE(opened);
  EXPECT_NE(opened.data(), created.data());
  EXPECT_EQ(opened.size(), 4096U);
  EXPECT_STREQ(reinterpret_cast<const char*>(opened.data() + 16), "hello");
  // Neither view is known to the registry: releasing one never depends on it.
  EXPECT_EQ(mappedLength(created.data()), 0U);
  EXPECT_EQ(mappedLength(opened.data()), 0U);

  // A view opened through the registry sees the same bytes and is released
  // by it, leaving the carried views alone.
  std::uint8_t* registered = openSharedMemory(name.logical);
  ASSERT_NE(registered, nullptr);
  registered[100] = 9;
  EXPECT_TRUE(closeSharedMemory(registered, mappedLength(registered)));
  EXPECT_EQ(opened.data()[100], 9);
}

TEST(MappedSectionTest, MovesHandOverTheViewAndReleaseItOnce) {
  SectionName name;
  MappedSection first = written(name.logical, 64);
  ASSERT_TRUE(first);
  std::uint8_t* const address = first.data();

  MappedSection second(std::move(first));
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): a moved-from view is empty
  EXPECT_EQ(first.data(), nullptr);
  EXPECT_EQ(first.size(), 0U);
  ASSERT_EQ(second.data(), address);
  second.data()[63] = 5;  // still mapped

  MappedSection third = openAny(name.logical);
  ASSERT_TRUE(third);
  third = std::move(second);  // releases what `third` held
  EXPECT_EQ(third.data(), address);
  EXPECT_EQ(third.data()[63], 5);

  third.reset();
  EXPECT_FALSE(third);
  third.reset();  // twice is harmless
}

// The section lives while a view of it does: a client that drops its view
// keeps nothing of the section behind. On Windows the view's handle is the
// only thing that keeps the name, so the name goes with the last view; on
// POSIX it goes with removal, as the section's creator does at the stop.
TEST(MappedSectionTest, DroppingTheLastViewLeavesNoSectionBehind) {
  SectionName name;
  {
    MappedSection creator = written(name.logical, 128);
    ASSERT_TRUE(creator);
    creator.data()[20] = 1;
    MappedSection reader = openAny(name.logical);
    ASSERT_TRUE(reader);
    creator.reset();
    // The reader's handle keeps the section and its bytes.
    EXPECT_EQ(reader.data()[20], 1);
    MappedSection again = openAny(name.logical);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.data()[20], 1);
  }
#ifndef _WIN32
  EXPECT_TRUE(removeSharedMemory(name.logical));
#endif
  EXPECT_FALSE(openAny(name.logical));
  // A new section under the name starts from zero bytes.
  MappedSection fresh = MappedSection::create(name.logical, 128);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh.data()[20], 0);
}

// A grow copies a section into a new one. Whatever the copy leaves out must
// read as zero in the new section, and a target that is not new gets every
// byte, its own earlier content included.
TEST(MappedSectionTest, CopyToReproducesEveryByteOfTheSource) {
  constexpr std::uint64_t kPage = 4096;
  constexpr std::uint64_t kLength = 64 * kPage + 100;  // ends inside a page
  SectionName from;
  SectionName into;
  SectionName reused;
  MappedSection source = written(from.logical, kLength);
  ASSERT_TRUE(source);
  EXPECT_TRUE(source.created());
  // Written: the first page, two neighbours in the middle, a page written
  // with zeros only, and the partial last page; the rest never touched.
  source.data()[8] = 1;
  source.data()[10 * kPage + 4095] = 2;
  source.data()[11 * kPage] = 3;
  std::memset(source.data() + 30 * kPage, 0, kPage);
  source.data()[kLength - 1] = 4;
  // Read through a second view, as a client that followed the serial would.
  const MappedSection opened = openAny(from.logical);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened.created());

  const MappedSection fresh = MappedSection::create(into.logical, kLength + 3 * kPage);
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(fresh.created());
  opened.copyTo(fresh, kLength);
  EXPECT_EQ(std::memcmp(fresh.data(), source.data(), kLength), 0);
  for (std::uint64_t i = kLength; i < fresh.size(); ++i) ASSERT_EQ(fresh.data()[i], 0) << i;

  // A target found under its name (not made by this create) holds old bytes:
  // those the source never wrote must be overwritten too.
  const MappedSection first = MappedSection::create(reused.logical, kLength);
  ASSERT_TRUE(first);
  std::memset(first.data(), 0xEE, kLength);
  const MappedSection found = MappedSection::create(reused.logical, kLength);
  ASSERT_TRUE(found);
  EXPECT_FALSE(found.created());
  source.copyTo(found, kLength);
  EXPECT_EQ(std::memcmp(found.data(), source.data(), kLength), 0);
}

// The usable bytes are the smaller of the mapped length and the size word, so
// a corrupt size word can neither reach past the mapping nor hide a refusal;
// a refused section is told from an absent one.
TEST(MappedSectionTest, UsableBytesAreBoundedByMappingAndSizeWord) {
  SectionName name;
  constexpr std::uint32_t kMark = 0xD000D;
  MappedSection writer = MappedSection::create(name.logical, 8192);
  ASSERT_TRUE(writer);
  bytes::store<std::uint32_t>(writer.bytes(), 8, kMark);
  bool absent = true;

  bytes::store<std::uint64_t>(writer.bytes(), 0, 5000);  // the store uses part of its mapping
  EXPECT_EQ(MappedSection::open(name.logical, kMark, 0, &absent).size(), 5000U);
  EXPECT_FALSE(absent);
  bytes::store<std::uint64_t>(writer.bytes(), 0, ~std::uint64_t{0});  // corrupt: past the end
  EXPECT_EQ(MappedSection::open(name.logical, kMark).size(), writer.size());

  bytes::store<std::uint64_t>(writer.bytes(), 0, 5000);
  EXPECT_FALSE(MappedSection::open(name.logical, kMark, 5001, &absent));  // too short
  EXPECT_FALSE(absent);
  EXPECT_FALSE(MappedSection::open(name.logical, kMark + 1, 0, &absent));  // another format
  EXPECT_FALSE(absent);
  bytes::store<std::uint64_t>(writer.bytes(), 0, 11);  // no room for the size word and mark
  EXPECT_FALSE(MappedSection::open(name.logical, std::nullopt, 0, &absent));
  EXPECT_FALSE(absent);
  EXPECT_FALSE(MappedSection::open(name.logical + "_none", std::nullopt, 0, &absent));
  EXPECT_TRUE(absent);

  // A section found under the name that is shorter than the writer asks for
  // is not handed out as if it had the asked-for length.
  EXPECT_FALSE(MappedSection::create(name.logical, 1 << 20));
  // copyTo never copies more than either view holds.
  MappedSection small = MappedSection::create(name.logical + "_small", 64);
  ASSERT_TRUE(small);
  writer.copyTo(small, 8192);
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(small.data() + 8), kMark);
  small.reset();
  removeSharedMemory(name.logical + "_small");
}

TEST(MappedSectionTest, FailuresGiveAnEmptyViewWithTheRegistryLines) {
  SectionName name;
  {
    LogCapture capture;
    EXPECT_FALSE(openAny(name.logical));
    EXPECT_THAT(capture.lines(), IsEmpty());
  }
  LogCapture capture;
  const MappedSection none = MappedSection::create(name.logical, 0);
  EXPECT_FALSE(none);
  EXPECT_EQ(none.data(), nullptr);
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0],
              HasSubstr("Could not create shared memory 'Local\\Shmem_" + name.logical + "': "));
}

}  // namespace
}  // namespace vornix

// SharedView: a view that carries its own handle and is released without any
// mapping registry, so that the copy of the runtime that drops it need not be
// the copy that mapped it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "sync_test_support.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

struct SectionName {
  std::string logical = uniqueName("view");
  ~SectionName() { removeSharedMemory(logical); }
};

TEST(SharedViewTest, CreateAndOpenShareBytesOutsideTheRegistry) {
  SectionName name;
  SharedView created = SharedView::create(name.logical, 4096);
  ASSERT_TRUE(created);
  EXPECT_EQ(created.length(), 4096U);
  std::memcpy(created.data(), "hello", 6);

  SharedView opened = SharedView::open(name.logical);
  ASSERT_TRUE(opened);
  EXPECT_NE(opened.data(), created.data());
  EXPECT_GE(opened.length(), 4096U);
  EXPECT_STREQ(reinterpret_cast<const char*>(opened.data()), "hello");
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

TEST(SharedViewTest, MovesHandOverTheViewAndReleaseItOnce) {
  SectionName name;
  SharedView first = SharedView::create(name.logical, 64);
  ASSERT_TRUE(first);
  std::uint8_t* const address = first.data();

  SharedView second(std::move(first));
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): a moved-from view is empty
  EXPECT_EQ(first.data(), nullptr);
  EXPECT_EQ(first.length(), 0U);
  ASSERT_EQ(second.data(), address);
  second.data()[63] = 5;  // still mapped

  SharedView third = SharedView::open(name.logical);
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
TEST(SharedViewTest, DroppingTheLastViewLeavesNoSectionBehind) {
  SectionName name;
  {
    SharedView creator = SharedView::create(name.logical, 128);
    ASSERT_TRUE(creator);
    creator.data()[0] = 1;
    SharedView reader = SharedView::open(name.logical);
    ASSERT_TRUE(reader);
    creator.reset();
    // The reader's handle keeps the section and its bytes.
    EXPECT_EQ(reader.data()[0], 1);
    SharedView again = SharedView::open(name.logical);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.data()[0], 1);
  }
#ifndef _WIN32
  EXPECT_TRUE(removeSharedMemory(name.logical));
#endif
  EXPECT_FALSE(SharedView::open(name.logical));
  // A new section under the name starts from zero bytes.
  SharedView fresh = SharedView::create(name.logical, 128);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh.data()[0], 0);
}

// A grow copies a section into a new one. Whatever the copy leaves out must
// read as zero in the new section, and a target that is not new gets every
// byte, its own earlier content included.
TEST(SharedViewTest, CopyToReproducesEveryByteOfTheSource) {
  constexpr std::uint64_t kPage = 4096;
  constexpr std::uint64_t kLength = 64 * kPage + 100;  // ends inside a page
  SectionName from;
  SectionName into;
  SectionName reused;
  SharedView source = SharedView::create(from.logical, kLength);
  ASSERT_TRUE(source);
  EXPECT_TRUE(source.created());
  // Written: the first page, two neighbours in the middle, a page written
  // with zeros only, and the partial last page; the rest never touched.
  source.data()[0] = 1;
  source.data()[10 * kPage + 4095] = 2;
  source.data()[11 * kPage] = 3;
  std::memset(source.data() + 30 * kPage, 0, kPage);
  source.data()[kLength - 1] = 4;
  // Read through a second view, as a client that followed the serial would.
  const SharedView opened = SharedView::open(from.logical);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened.created());

  const SharedView fresh = SharedView::create(into.logical, kLength + 3 * kPage);
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(fresh.created());
  opened.copyTo(fresh, kLength);
  EXPECT_EQ(std::memcmp(fresh.data(), source.data(), kLength), 0);
  for (std::uint64_t i = kLength; i < fresh.length(); ++i) ASSERT_EQ(fresh.data()[i], 0) << i;

  // A target found under its name (not made by this create) holds old bytes:
  // those the source never wrote must be overwritten too.
  const SharedView first = SharedView::create(reused.logical, kLength);
  ASSERT_TRUE(first);
  std::memset(first.data(), 0xEE, kLength);
  const SharedView found = SharedView::create(reused.logical, kLength);
  ASSERT_TRUE(found);
  EXPECT_FALSE(found.created());
  source.copyTo(found, kLength);
  EXPECT_EQ(std::memcmp(found.data(), source.data(), kLength), 0);
}

TEST(SharedViewTest, FailuresGiveAnEmptyViewWithTheRegistryLines) {
  SectionName name;
  {
    LogCapture capture;
    EXPECT_FALSE(SharedView::open(name.logical));
    EXPECT_THAT(capture.lines(), IsEmpty());
  }
  LogCapture capture;
  const SharedView none = SharedView::create(name.logical, 0);
  EXPECT_FALSE(none);
  EXPECT_EQ(none.data(), nullptr);
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0],
              HasSubstr("Could not create shared memory 'Local\\Shmem_" + name.logical + "': "));
}

}  // namespace
}  // namespace vornix

#include "util/shared_memory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sync_test_support.h"
#include "util/mutex.h"
#include "util/semaphore.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using test::SectionName;

TEST(SharedMemoryTest, OpenOfAnUnknownNameIsNullAndSilent) {
  LogCapture capture;
  EXPECT_EQ(openSharedMemory(uniqueName("nobody")), nullptr);
  EXPECT_THAT(capture.lines(), IsEmpty());
}

TEST(SharedMemoryTest, CreateOpenAndCreateAgainSeeTheSameBytes) {
  SectionName name;
  std::uint8_t* created = createSharedMemory(name.logical, 4096);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(mappedLength(created), 4096U);
  std::memcpy(created, "hello", 6);

  std::uint8_t* opened = openSharedMemory(name.logical);
  ASSERT_NE(opened, nullptr);
  EXPECT_NE(opened, created);
  EXPECT_STREQ(reinterpret_cast<const char*>(opened), "hello");

  // An existing section keeps its own size, whatever the second creator asks.
  std::uint8_t* again = createSharedMemory(name.logical, 100000);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(mappedLength(again), 4096U);
  again[10] = 42;
  EXPECT_EQ(created[10], 42);

  EXPECT_TRUE(closeSharedMemory(again, 100000));
  EXPECT_EQ(mappedLength(again), 0U);
  EXPECT_TRUE(closeSharedMemory(opened, 4096));
  EXPECT_TRUE(closeSharedMemory(created, 4096));
}

TEST(SharedMemoryTest, CloseWithSizeZeroOrNullDoesNothing) {
  SectionName name;
  std::uint8_t* view = createSharedMemory(name.logical, 64);
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(closeSharedMemory(view, 0));
  EXPECT_EQ(mappedLength(view), 64U);
  view[63] = 7;  // still mapped
  EXPECT_TRUE(closeSharedMemory(nullptr, 64));
  EXPECT_TRUE(closeSharedMemory(view, 64));
}

TEST(SharedMemoryTest, CloseOfAnUnregisteredAddressIsRefused) {
  std::uint8_t local[16] = {};
  EXPECT_FALSE(closeSharedMemory(local, sizeof local));
  EXPECT_EQ(mappedLength(local), 0U);
}

TEST(SharedMemoryTest, CreateWithSizeZeroFailsWithTheCreateLine) {
  SectionName name;
  LogCapture capture;
  EXPECT_EQ(createSharedMemory(name.logical, 0), nullptr);
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0],
              HasSubstr("Could not create shared memory 'Local\\Shmem_" + name.logical + "': "));
  EXPECT_EQ(openSharedMemory(name.logical), nullptr);
}

TEST(SharedMemoryTest, NameTooLongIsRefusedWithALine) {
  LogCapture capture;
  const std::string longName(260, 's');
  EXPECT_EQ(createSharedMemory(longName, 64), nullptr);
  EXPECT_EQ(openSharedMemory(longName), nullptr);
  const auto lines = capture.lines();
  ASSERT_THAT(lines, SizeIs(2));
  EXPECT_THAT(lines[0], HasSubstr("Name too long for a system object: 'Local\\Shmem_sss"));
}

TEST(SharedMemoryTest, NamesWithSlashAndPercentStayDistinct) {
  SectionName a;
  SectionName b;
  a.logical += "a/b";
  b.logical = a.logical.substr(0, a.logical.size() - 3) + "a%2Fb";
  std::uint8_t* first = createSharedMemory(a.logical, 64);
  std::uint8_t* second = createSharedMemory(b.logical, 128);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(mappedLength(first), 64U);
  EXPECT_EQ(mappedLength(second), 128U);
  closeSharedMemory(first, 64);
  closeSharedMemory(second, 128);
}

}  // namespace
}  // namespace vornix

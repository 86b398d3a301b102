// Sections reserve their memory when created: a /dev/shm without room is one
// error at creation, never a SIGBUS at the first touch of a page; and the
// reservation leaves unwritten pages out of what a grow copies.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "private_shm_posix.h"
#include "sync_test_support.h"
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;

constexpr std::uint64_t kKiB = 1024;

// In a /dev/shm of 512 KiB: a section larger than the free space is refused
// at creation with one line saying so and leaves no name behind, while one
// that fits can be written to its last byte, and then the next one that no
// longer fits is refused in turn.
TEST(SectionReservePosixTest, SectionLargerThanTheFreeSpaceIsRefusedAtCreation) {
  const std::string name = uniqueName("full");
  const test::PrivateShmRun run = test::runInPrivateShm(512, [&] {
    {
      LogCapture log;
      if (createSharedMemory(name + "_big", 1024 * kKiB) != nullptr) return 2;
      const std::string expected = "No space left in /dev/shm for section '" +
                                   sectionFullName(name + "_big") + "' (1048576 bytes)";
      // One line for the reason (the caller adds its own "Could not create").
      const auto lines = log.lines();
      if (std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(expected) != std::string::npos;
          }) != 1) {
        return 3;
      }
    }
    if (openSharedMemory(name + "_big") != nullptr) return 4;
    std::uint8_t* fits = createSharedMemory(name + "_fits", 384 * kKiB);
    if (fits == nullptr) return 5;
    std::memset(fits, 0xA5, 384 * kKiB);  // every page: a SIGBUS ends the child with 135
    if (createSharedMemory(name + "_more", 256 * kKiB) != nullptr) return 6;
    return 0;
  });
  if (!run.exitCode) GTEST_SKIP() << run.skipReason;
  EXPECT_EQ(*run.exitCode, 0) << "2: created, 3: no line, 4: name left, 5: a fitting section "
                                 "refused, 6: the second one created, 135: SIGBUS";
}

// Counts the bytes the system reports as data (not holes) in the section.
std::uint64_t dataBytes(const std::string& logicalName, std::uint64_t length) {
  const std::optional<std::string> name = systemObjectName(sectionFullName(logicalName));
  if (!name) return 0;
  const int fd = ::shm_open(name->c_str(), O_RDONLY, 0);
  if (fd < 0) return 0;
  std::uint64_t data = 0;
  off_t at = 0;
  while (static_cast<std::uint64_t>(at) < length) {
    const off_t start = ::lseek(fd, at, SEEK_DATA);
    if (start < 0) break;
    const off_t end = ::lseek(fd, start, SEEK_HOLE);
    if (end <= start) break;
    data += static_cast<std::uint64_t>(end - start);
    at = end;
  }
  ::close(fd);
  return data;
}

// A reserved but unwritten page is still a hole to SEEK_DATA (tmpfs keeps it
// "not up to date"), so copying a mostly unused section into its successor
// writes only the pages the old one wrote. Were reserved pages reported as
// data, every page of the new section would be written (and this count be
// the whole section).
TEST(SectionReservePosixTest, ReservedSectionsStillCopyOnlyTheirWrittenPages) {
  const std::string from = uniqueName("reservedfrom");
  const std::string into = uniqueName("reservedinto");
  constexpr std::uint64_t kSize = 4096 * kKiB;
  const SectionView source = createSectionLogged(from, kSize, true).view;
  ASSERT_NE(source.address, nullptr);
  source.address[kSize / 2] = 7;
  const SectionResult made = createSectionLogged(into, kSize + 64 * kKiB, true);
  const SectionView target = made.view;
  ASSERT_NE(target.address, nullptr);
  ASSERT_TRUE(made.created);
  copyWrittenBytes(source, target.address, kSize);
  // One page written (the system may count a larger folio); far from all.
  // Counted before the reads below, which make the pages they touch data.
  const std::uint64_t written = dataBytes(into, kSize + 64 * kKiB);
  EXPECT_GE(written, 1U);
  EXPECT_LE(written, 64 * kKiB);
  EXPECT_EQ(target.address[kSize / 2], 7);
  EXPECT_EQ(target.address[0], 0);
  unmapSection(source);
  unmapSection(target);
  EXPECT_TRUE(removeSharedMemory(from));
  EXPECT_TRUE(removeSharedMemory(into));
}

}  // namespace
}  // namespace vornix

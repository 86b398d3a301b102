// The error text of the POSIX seam: the C library's text for errno.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "util/format.h"

namespace vornix {
namespace {

TEST(ErrorText, ErrnoTextWithLineBreakPosix) {
  errno = ENOENT;
  EXPECT_EQ(lastErrorText(), std::string(std::strerror(ENOENT)) + "\n");
}

}  // namespace
}  // namespace vornix

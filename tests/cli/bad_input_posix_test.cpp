// A recording the user may not read: file modes bind only on POSIX (and not
// the superuser there); Windows access rules are not set by these tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli/bad_input_fixture.h"

namespace loquant::test {
namespace {

TEST_F(BadInput, UnreadableRecordingPosix) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  std::filesystem::copy_file(dir_ / "good.wav", dir_ / "locked.wav");
  std::filesystem::permissions(dir_ / "locked.wav", std::filesystem::perms::none);
  expectFailure("analyze locked.wav --output out.txt", kInput, {"locked.wav"});
}

}  // namespace
}  // namespace loquant::test

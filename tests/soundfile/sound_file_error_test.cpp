#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "sound_test_support.h"
#include "soundfile/sound_file.h"

// Let the sanitizer allocator answer an impossible request with null, as
// the C allocator does, instead of stopping the test program.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace vornix {
namespace {

TEST(SoundFileError, WithoutACallbackReportsGoToStandardError) {
  const SoundFileErrorCallback previous = setSoundFileErrorCallback(nullptr);
  testing::internal::CaptureStderr();
  sound_file_error("riff_open: bad format: %s", "only PCM data is supported");
  const std::string text = testing::internal::GetCapturedStderr();
  setSoundFileErrorCallback(previous);
  EXPECT_EQ(text, "riff_open: bad format: only PCM data is supported\n");
}

TEST(SoundFileError, TheCallbackGetsOneTerminatedLineCutToItsBuffer) {
  test::ReportCapture reports;
  sound_file_error("%d channels", 3);
  const std::string longText(5000, 'x');
  sound_file_error("%s", longText.c_str());
  ASSERT_EQ(reports.lines().size(), 2U);
  EXPECT_EQ(reports.lines()[0], "3 channels\n");
  EXPECT_EQ(reports.lines()[1], std::string(1023, 'x') + "\n");
}

TEST(SoundFileAlloc, FailureIsReportedAndGivesNull) {
  test::ReportCapture reports;
  void* block = sound_file_alloc(std::numeric_limits<std::size_t>::max() - 4096);
  EXPECT_EQ(block, nullptr);
  ASSERT_EQ(reports.lines().size(), 1U);
  EXPECT_EQ(reports.lines()[0], "malloc: out of memory\n");

  void* small = sound_file_alloc(16);
  EXPECT_NE(small, nullptr);
  std::free(small);
}

}  // namespace
}  // namespace vornix

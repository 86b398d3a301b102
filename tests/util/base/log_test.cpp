#include "util/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.h"

namespace vornix {
namespace {

struct Captured {
  std::uint32_t source = 0;
  std::uint8_t category = 0;
  std::uint8_t level = 0;
  std::string line;
};

// Collects the lines handed to the sink while installed.
class CapturingSink {
 public:
  CapturingSink() {
    setLogLineSink([this](std::uint32_t source, std::uint8_t category, std::uint8_t level,
                          std::string_view line) {
      const std::lock_guard lock(mutex_);
      lines_.push_back({source, category, level, std::string(line)});
    });
  }
  ~CapturingSink() { setLogLineSink({}); }
  CapturingSink(const CapturingSink&) = delete;
  CapturingSink& operator=(const CapturingSink&) = delete;

  std::vector<Captured> lines() {
    const std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<Captured> lines_;
};

// 2021-03-07 14:05:09.123456 UTC.
constexpr Micros kFixedTime = kUnixEpochMicros + 1'615'125'909ULL * 1'000'000 + 123'456;

TEST(LogLine, WritesTimeAndTextAsOneLine) {
  testing::ScopedFakeClock fake(kFixedTime);
  CapturingSink sink;
  EXPECT_TRUE(logLine(42, 3, 0, "section %s failed (%d)", "Temporal", -1));
  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].source, 42U);
  EXPECT_EQ(lines[0].category, 3);
  EXPECT_EQ(lines[0].level, 0);
  EXPECT_EQ(lines[0].line,
            formatTimeString(kFixedTime, true, true, true) + " section Temporal failed (-1)\n");
}

TEST(LogLine, FilteredLinesAreNotWrittenButSucceed) {
  CapturingSink sink;
  EXPECT_TRUE(logLine(0, 3, 2, "resize notice %d", 1));
  EXPECT_TRUE(logLine(0, 12, 0, "no such category"));
  EXPECT_TRUE(logLine(0, 255, 0, "no such category"));
  EXPECT_TRUE(logLine(0, 7, 1, "level one passes"));
  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_THAT(lines[0].line, ::testing::EndsWith(" level one passes\n"));
}

TEST(LogLine, EmptyTextIsNotWrittenAndFails) {
  CapturingSink sink;
  EXPECT_FALSE(logLine(0, 0, 0, "%s", ""));
  EXPECT_TRUE(sink.lines().empty());
}

TEST(LogLine, ThresholdsOfEveryCategory) {
  for (int category = 0; category < 12; ++category) {
    const auto c = static_cast<std::uint8_t>(category);
    EXPECT_TRUE(logWouldWrite(c, 0));
    EXPECT_TRUE(logWouldWrite(c, 1));
    EXPECT_FALSE(logWouldWrite(c, 2));
  }
  EXPECT_FALSE(logWouldWrite(12, 0));
}

TEST(LogLine, DefaultGoesToStandardOutput) {
  ::testing::internal::CaptureStdout();
  const bool written = logLine(0, 1, 0, "mutex %s timed out", "Local\\Mutex_x");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(written);
  // std::regex: GoogleTest's own matcher knows only a simple dialect on Windows.
  EXPECT_TRUE(std::regex_match(out, std::regex("[0-9/]{10} [0-9:]{8}\\.[0-9]{3}\\.[0-9]{3} "
                                               "mutex Local\\\\Mutex_x timed out\n")))
      << out;
}

TEST(LogLine, SinkReplacedWhileThreadsLog) {
  std::atomic<int> delivered{0};
  const auto install = [&delivered] {
    setLogLineSink([&delivered](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view line) {
      if (!line.empty() && line.back() == '\n') delivered.fetch_add(1);
    });
  };
  install();
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([i] {
      for (int n = 0; n < 200; ++n) logLine(static_cast<std::uint32_t>(i), 7, 0, "line %d", n);
    });
  }
  for (int round = 0; round < 50; ++round) install();
  for (auto& writer : writers) writer.join();
  setLogLineSink({});
  // Every line reached exactly one of the sinks, none was lost or doubled.
  EXPECT_EQ(delivered.load(), 4 * 200);
}

// The logger's first use happens in a fresh process (the death-test child
// re-runs this binary for this test alone), from many threads at once; every
// line must come out whole, one per call.
TEST(LogLineDeathTest, FirstUseFromManyThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atomic<int> whole{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
          threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            if (logLine(static_cast<std::uint32_t>(i), 0, 0, "thread %d", i)) whole.fetch_add(1);
          });
        }
        go.store(true);
        for (auto& thread : threads) thread.join();
        std::exit(whole.load() == 8 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vornix

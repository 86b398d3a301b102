// A component that cannot return in time is reported by name at stop. The
// component is kept from returning for certain: its last line goes to a
// standard output that is a full pipe until the test drains it.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include "host/config.h"
#include "host/system.h"

namespace vornix::host {
namespace {

TEST(HostSystemStop, ComponentThatDoesNotReturnInTimeIsReportedByName) {
  SystemConfig config = std::get<SystemConfig>(parseConfig(R"(
[[components]]
name = "two"
entry = "AnalyzeTwo"
)",
                                                           "slow.toml"));
  // Real time: each component on its own thread, which the stop waits for
  // up to the limit.
  SystemOptions options;
  options.logOutput = nullptr;
  options.stopLimit = std::chrono::milliseconds(100);
  std::string error;
  std::unique_ptr<System> system = System::create(config, options, error);
  ASSERT_NE(system, nullptr) << error;
  ASSERT_TRUE(system->start());

  // AnalyzeTwo writes a line to standard output as it returns: make that a
  // full pipe, so the write blocks until the drainer reads.
  std::array<int, 2> fds{};
  ASSERT_EQ(::pipe(fds.data()), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  const std::array<char, 4096> filler{};
  while (::write(fds[1], filler.data(), filler.size()) > 0) {
  }
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);
  std::fflush(stdout);
  const int savedStdout = ::dup(STDOUT_FILENO);
  ASSERT_GE(savedStdout, 0);
  ASSERT_GE(::dup2(fds[1], STDOUT_FILENO), 0);
  ::close(fds[1]);
  std::thread drainer([fd = fds[0]] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::array<char, 4096> buffer{};
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
  });

  ::testing::internal::CaptureStderr();
  system->stop();
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Closing the pipe's last write end lets the drainer see its end.
  ::dup2(savedStdout, STDOUT_FILENO);
  ::close(savedStdout);
  drainer.join();
  ::close(fds[0]);
  EXPECT_NE(err.find("component 'two' did not stop within 100 ms"), std::string::npos) << err;
}

}  // namespace
}  // namespace vornix::host

// A capture whose reader stalls for longer than its ring holds, recording a
// real PulseAudio null sink's monitor: the audio that did not fit is counted
// as overruns, the stall is not taken for a device gone, and `loquant
// inspect` shows the count on the capture's row. PulseAudio refuses to run as
// root, so under root it runs as a throw-away user and lets this process in
// without its cookie.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"
#include "host/config.h"
#include "host/live_capture.h"
#include "host/system.h"
#include "live/live_support_posix.h"

namespace {

// The audio system's plug-ins that PortAudio loads into this process keep a
// few allocations past their unloading, which the leak checker of a
// sanitized build can no longer attribute (their code is gone). A process
// that loaded them skips the leak check at its exit; every test runs in a
// process of its own, so the other tests keep theirs.
std::atomic<bool> audioPluginsLoaded{false};

}  // namespace

extern "C" __attribute__((visibility("default"), used)) int __lsan_is_turned_off() {
  return audioPluginsLoaded.load() ? 1 : 0;
}

namespace vornix::host {
namespace {

using loquant::test::Process;
using loquant::test::ScratchDir;
using loquant::test::ThrowAwayUser;
using namespace std::chrono_literals;

constexpr const char* kSystem = R"(
[[components]]
name = "microphone"
entry = "capture"
[components.parameters]
Device = "pulse"
Channel = 1
Target = "out"
BufferSize = 1024

[[components]]
name = "out"
entry = "sink"
process = 1
)";

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class CaptureOverrunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/pulseaudio", X_OK) != 0) {
      GTEST_SKIP() << "pulseaudio is not installed (scripts/setup installs it)";
    }
    const bool root = ::getuid() == 0;
    if (root) {
      user_ = std::make_unique<ThrowAwayUser>();
      if (!user_->made()) GTEST_SKIP() << "no throw-away user could be made";
      ASSERT_EQ(::chown(dir_.path().c_str(), user_->uid(), user_->gid()), 0);
    }
    const std::string home = dir_.path().string();
    server_ = std::make_unique<Process>(
        std::vector<std::string>{
            "/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
            "--disable-shm=yes", "--use-pid-file=no", "-L",
            "module-null-sink sink_name=lqsink rate=44100 channels=2", "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + home + "/native"},
        std::vector<std::string>{"HOME=" + home, "XDG_RUNTIME_DIR=" + home, "PATH=/usr/bin:/bin"},
        dir_.path(), dir_ / "pulse.out", dir_ / "pulse.err", root, root ? user_->uid() : 0,
        root ? user_->gid() : 0);
    for (int i = 0; i < 500 && !std::filesystem::exists(dir_ / "native"); ++i) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(std::filesystem::exists(dir_ / "native"))
        << loquant::test::readFile(dir_ / "pulse.err");
    // This process records from that server only, and keeps its client
    // files in the test's folder.
    env_.push_back(std::make_unique<ScopedEnv>("PULSE_SERVER", "unix:" + home + "/native"));
    env_.push_back(std::make_unique<ScopedEnv>("PULSE_SOURCE", "lqsink.monitor"));
    env_.push_back(std::make_unique<ScopedEnv>("PULSE_COOKIE", home + "/cookie"));
    audioPluginsLoaded.store(true);
  }
  void TearDown() override {
    env_.clear();
    if (server_) {
      server_->signal(SIGTERM);
      server_->wait(5s);
    }
  }

  ScratchDir dir_;
  std::unique_ptr<ThrowAwayUser> user_;
  std::unique_ptr<Process> server_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// The fields of the line of `inspect` output whose second field is `name`.
std::vector<std::string> rowOf(const std::string& output, const std::string& name) {
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    if (row.size() > 1 && row[1] == name) return row;
  }
  return {};
}

TEST_F(CaptureOverrunTest, AStalledReaderCountsOverrunsThatInspectShows) {
  ConfigResult parsed = parseConfig(kSystem, "overrun.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed));
  const SystemConfig config = std::get<SystemConfig>(std::move(parsed));
  std::string error;
  std::unique_ptr<LiveCapture> capture = LiveCapture::open(config, ConditioningSettings{}, error);
  ASSERT_NE(capture, nullptr) << error;
  std::unique_ptr<System> system = System::create(config, SystemOptions{}, error);
  ASSERT_NE(system, nullptr) << error;
  ASSERT_TRUE(system->start());

  // Frame 20 (half a second in) holds the reader for longer than the ring's
  // 2 s and than the 3 s after which a silent device counts as gone.
  std::atomic<bool> stop{false};
  std::uint64_t frames = 0;
  const bool pumped = capture->pump(
      *system, stop,
      [&](std::size_t, std::uint64_t frame, std::span<const std::int16_t>) {
        frames = frame + 1;
        if (frame == 20) std::this_thread::sleep_for(3500ms);
        if (frame == 150) stop.store(true);
      },
      nullptr, error);
  const std::uint64_t overruns = capture->overruns();
  EXPECT_TRUE(pumped) << error;
  EXPECT_GE(frames, 151U);
  EXPECT_GT(overruns, 0U);

  const loquant::test::Outcome inspect =
      loquant::test::runLoquant(dir_, "inspect --instance " + std::to_string(system->instanceId()));
  system->stop();
  ASSERT_EQ(inspect.status, 0) << inspect.err;
  // id, name, status, received, bytes, posted, bytes, undelivered, ...
  const std::vector<std::string> row = rowOf(inspect.out, "microphone");
  ASSERT_GE(row.size(), 8U) << inspect.out;
  EXPECT_EQ(row[7], std::to_string(overruns)) << inspect.out;
  EXPECT_EQ(rowOf(inspect.out, "out").at(7), "0") << inspect.out;
}

}  // namespace
}  // namespace vornix::host

// The live verbs end to end with real parts the tests start themselves: a
// nats-server on 127.0.0.1 receiving what `loquant run --publish` prints, and
// a PulseAudio server in a temporary folder whose null sink plays a generated
// two-speaker recording that `loquant listen` hears through the sink's
// monitor. PulseAudio refuses to run as root, so under root the server and
// the command run as a throw-away user.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"
#include "live/live_support_posix.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kRate = 44100;

// The text of JSON field `name` (a string) in `line`; empty when absent.
std::string field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return {};
  const std::size_t from = at + key.size();
  return line.substr(from, line.find('"', from) - from);
}

double timeOf(const std::string& line) {
  const std::size_t at = line.find("\"time\":");
  return at == std::string::npos ? -1e9 : std::stod(line.substr(at + 7));
}

// Two speakers taking turns, one per channel.
void writeConversation(const std::filesystem::path& path) {
  writeWave(path, kRate,
            {track(kRate, 7.0, {{0.5, 2.0}, {4.0, 5.0}}, 120.0),
             track(kRate, 7.0, {{2.5, 3.5}, {5.5, 6.3}}, 190.0)});
}

// The example configuration of `loquant run`, playing `wav` instead.
std::string runConfig(const std::filesystem::path& wav) {
  std::string text =
      readFile(std::filesystem::path(LOQUANT_SOURCE_DIR) / "examples" / "conversation.toml");
  const std::string from = "examples/conversation.wav";
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), wav.string());
    at += wav.string().size();
  }
  return text;
}

TEST(LivePublish, RunPublishesEveryLineItPrintsInOrder) {
  if (natsServerProgram().empty()) GTEST_SKIP() << "nats-server is not installed";
  ScratchDir dir;
  const std::uint16_t port = freePort();
  NatsServer server(port);
  ASSERT_TRUE(server.start());
  Subscriber subscriber(server.url(), "talk.>");
  ASSERT_TRUE(subscriber.ok());
  writeConversation(dir / "talk.wav");
  writeFile(dir / "talk.toml", runConfig(dir / "talk.wav"));
  const Outcome run =
      runLoquant(dir, "run talk.toml --publish nats://127.0.0.1:" + std::to_string(port) + "/talk");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> printed = lines(run.out);
  ASSERT_GT(printed.size(), 8U);  // turns of both speakers and the floor
  const std::vector<Received> got = subscriber.waitFor(printed.size(), 5s);
  ASSERT_EQ(got.size(), printed.size());
  for (std::size_t i = 0; i < printed.size(); ++i) {
    EXPECT_EQ(got[i].payload, printed[i]) << i;
    EXPECT_EQ(got[i].subject,
              "talk." + field(printed[i], "component") + "." + field(printed[i], "post"));
    EXPECT_FALSE(got[i].instance.empty());
  }
}

TEST(LivePublish, AnAddressThatDoesNotResolveIsOneLineAndStatus1) {
  ScratchDir dir;
  writeConversation(dir / "talk.wav");
  writeFile(dir / "talk.toml", runConfig(dir / "talk.wav"));
  for (const char* address : {"nats://no-such-host.invalid:4222/x", "http://127.0.0.1/x"}) {
    const Outcome run = runLoquant(dir, std::string("run talk.toml --publish ") + address);
    EXPECT_EQ(run.status, 1) << address;
    EXPECT_EQ(lines(run.err).size(), 1U) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
}

// A PulseAudio server with a null sink "lqsink", in a folder of its own.
class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/pulseaudio", X_OK) != 0 || ::access("/usr/bin/paplay", X_OK) != 0) {
      GTEST_SKIP() << "pulseaudio or paplay is not installed (scripts/setup installs them)";
    }
    if (::getuid() == 0) {
      user_ = std::make_unique<ThrowAwayUser>();
      if (!user_->made()) GTEST_SKIP() << "no throw-away user could be made";
      ASSERT_EQ(::chown(dir_.path().c_str(), user_->uid(), user_->gid()), 0);
    }
    before_ = sharedMemoryOf(uid());
    env_ = {"HOME=" + dir_.path().string(), "XDG_RUNTIME_DIR=" + dir_.path().string(),
            "PULSE_SERVER=unix:" + (dir_ / "native").string(), "PULSE_SINK=lqsink",
            "PULSE_SOURCE=lqsink.monitor", "PATH=/usr/bin:/bin",
            // The audio system's plug-ins, loaded and unloaded at run time,
            // keep a few allocations the leak checker of a sanitized build
            // can no longer attribute; the checks below stand without it.
            "ASAN_OPTIONS=detect_leaks=0"};
    server_ = start(
        {"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
         "--use-pid-file=no", "-L", "module-null-sink sink_name=lqsink rate=44100 channels=2", "-L",
         "module-native-protocol-unix socket=" + (dir_ / "native").string()},
        "pulse");
    for (int i = 0; i < 500 && !std::filesystem::exists(dir_ / "native"); ++i) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(std::filesystem::exists(dir_ / "native")) << readFile(dir_ / "pulse.err");
  }
  void TearDown() override {
    if (server_) {
      server_->signal(SIGTERM);
      server_->wait(5s);
    }
  }
  std::unique_ptr<Process> start(const std::vector<std::string>& argv, const std::string& stem) {
    const bool as = user_ != nullptr;
    return std::make_unique<Process>(argv, env_, dir_.path(), dir_ / (stem + ".out"),
                                     dir_ / (stem + ".err"), as, as ? user_->uid() : 0,
                                     as ? user_->gid() : 0);
  }
  uid_t uid() const { return user_ ? user_->uid() : ::getuid(); }
  // Entries of /dev/shm of the user that were not there at the start (a
  // reused uid may own leftovers of a run killed earlier).
  std::vector<std::string> newSharedMemory() const {
    std::vector<std::string> now = sharedMemoryOf(uid());
    std::erase_if(now, [this](const std::string& name) {
      return std::find(before_.begin(), before_.end(), name) != before_.end();
    });
    return now;
  }

  ScratchDir dir_;
  std::unique_ptr<ThrowAwayUser> user_;
  std::vector<std::string> env_;
  std::vector<std::string> before_;
  std::unique_ptr<Process> server_;
};

TEST_F(PulseTest, ListenHearsTheTurnsThatAnalyzeFindsInWhatItRecorded) {
  writeConversation(dir_ / "talk.wav");
  if (user_) {
    ASSERT_EQ(::chown((dir_ / "talk.wav").c_str(), user_->uid(), user_->gid()), 0);
  }
  std::unique_ptr<Process> listen =
      start({loquantBinary(), "listen", "--device", "pulse", "--channels", "2", "--record",
             (dir_ / "heard.wav").string(), "--no-view"},
            "listen");
  for (int i = 0; i < 500 && readFile(dir_ / "listen.err").find("listening") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_NE(readFile(dir_ / "listen.err").find("listening"), std::string::npos)
      << readFile(dir_ / "listen.err");
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(
      start({"/usr/bin/paplay", "-d", "lqsink", (dir_ / "talk.wav").string()}, "play")->wait(30s),
      0)
      << readFile(dir_ / "play.err");
  std::this_thread::sleep_for(2s);  // the last utterances close
  listen->signal(SIGINT);
  ASSERT_EQ(listen->wait(15s), 0) << readFile(dir_ / "listen.err");
  // A clean stop leaves nothing of the user in shared memory.
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});

  const Outcome offline = runLoquant(dir_, "analyze heard.wav");
  ASSERT_EQ(offline.status, 0) << offline.err;
  // Per component: the same posts in the same order, at the same times.
  std::map<std::string, std::vector<std::string>> live;
  std::map<std::string, std::vector<std::string>> analysed;
  for (const std::string& line : lines(readFile(dir_ / "listen.out")))
    live[field(line, "component")].push_back(line);
  for (const std::string& line : lines(offline.out))
    analysed[field(line, "component")].push_back(line);
  ASSERT_EQ(live.size(), analysed.size());
  ASSERT_GE(analysed["speaker1"].size(), 4U);  // two turns: on, off, ...
  ASSERT_GE(analysed["speaker2"].size(), 4U);
  for (const auto& [component, expected] : analysed) {
    const std::vector<std::string>& heard = live[component];
    ASSERT_EQ(heard.size(), expected.size()) << component;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(field(heard[i], "post"), field(expected[i], "post")) << component << " " << i;
      EXPECT_NEAR(timeOf(heard[i]), timeOf(expected[i]), 50.0)
          << component << " " << field(expected[i], "post");
    }
  }
}

TEST_F(PulseTest, ADeviceThatDoesNotExistIsOneLineAndStatus1) {
  std::unique_ptr<Process> listen =
      start({loquantBinary(), "listen", "--device", "no-such-microphone", "--no-view"}, "bad");
  EXPECT_EQ(listen->wait(15s), 1);
  const std::string err = readFile(dir_ / "bad.err");
  EXPECT_EQ(lines(err).size(), 1U) << err;
  EXPECT_NE(err.find("no-such-microphone"), std::string::npos) << err;
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

// The sound server records at rates up to 384 kHz (whatever its own rate,
// it resamples): speakers asking for 768 kHz ask for a rate the device
// refuses, which nothing resamples.
TEST_F(PulseTest, ARateTheDeviceRefusesIsOneLineAndStatus1) {
  std::unique_ptr<Process> listen =
      start({loquantBinary(), "listen", "--device", "pulse", "--channels", "2", "--no-view",
             "--param", "SamplingFrequency=768000"},
            "rate");
  EXPECT_EQ(listen->wait(15s), 1);
  const std::string err = readFile(dir_ / "rate.err");
  EXPECT_EQ(lines(err).size(), 1U) << err;
  EXPECT_NE(err.find("refuses"), std::string::npos) << err;
  EXPECT_NE(err.find("768000 Hz"), std::string::npos) << err;
  EXPECT_TRUE(readFile(dir_ / "rate.out").empty());
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

TEST_F(PulseTest, AnAddressThatDoesNotResolveStopsListenInOneLine) {
  std::unique_ptr<Process> listen =
      start({loquantBinary(), "listen", "--device", "pulse", "--no-view", "--publish",
             "nats://no-such-host.invalid:4222/x"},
            "unresolved");
  EXPECT_EQ(listen->wait(15s), 1);
  const std::string err = readFile(dir_ / "unresolved.err");
  EXPECT_EQ(lines(err).size(), 1U) << err;
  EXPECT_NE(err.find("does not resolve"), std::string::npos) << err;
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

// The sink (and with it the monitor listen records from) unloaded mid-run:
// a device gone, as an unplugged microphone.
TEST_F(PulseTest, ADeviceThatGoesAwayStopsListenInOneLine) {
  std::unique_ptr<Process> listen =
      start({loquantBinary(), "listen", "--device", "pulse", "--no-view"}, "gone");
  for (int i = 0; i < 500 && readFile(dir_ / "gone.err").find("listening") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(start({"/usr/bin/pactl", "unload-module", "module-null-sink"}, "unload")->wait(10s), 0)
      << readFile(dir_ / "unload.err");
  EXPECT_EQ(listen->wait(15s), 1);
  const std::string err = readFile(dir_ / "gone.err");
  EXPECT_NE(err.find("stopped delivering audio"), std::string::npos) << err;
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

// A device recording below Conditioning.ResampleHz is asked for the rate a
// recording of it would be upsampled to (the server's own is 44.1 kHz, so a
// resample rate of 88.2 kHz stands for a 16 kHz microphone); a rate the
// device refuses leaves it at its own rate with a note, and the run goes on.
TEST_F(PulseTest, ALowRateDeviceIsAskedForTheUpsampledRateOrKeepsItsOwn) {
  const struct {
    const char* resampleHz;
    const char* rate;
    bool refused;
  } cases[] = {{"88200", "at 88200 Hz", false}, {"384000", "at 44100 Hz", true}};
  for (const auto& c : cases) {
    const std::string stem = std::string("resample") + c.resampleHz;
    std::unique_ptr<Process> listen =
        start({loquantBinary(), "listen", "--device", "pulse", "--channels", "2", "--no-view",
               "--param", std::string("Conditioning.ResampleHz=") + c.resampleHz},
              stem);
    for (int i = 0;
         i < 500 && readFile(dir_ / (stem + ".err")).find("listening") == std::string::npos; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    listen->signal(SIGINT);
    EXPECT_EQ(listen->wait(15s), 0) << c.resampleHz;
    const std::string err = readFile(dir_ / (stem + ".err"));
    EXPECT_NE(err.find(c.rate), std::string::npos) << err;
    EXPECT_EQ(err.find("refuses 396900 Hz: analysed at its own 44100 Hz") != std::string::npos,
              c.refused)
        << err;
  }
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

TEST_F(PulseTest, DevicesListsTheSoundServer) {
  std::unique_ptr<Process> devices = start({loquantBinary(), "devices"}, "devices");
  EXPECT_EQ(devices->wait(15s), 0);
  EXPECT_NE(readFile(dir_ / "devices.out").find("pulse"), std::string::npos)
      << readFile(dir_ / "devices.out");
  EXPECT_EQ(newSharedMemory(), std::vector<std::string>{});
}

}  // namespace
}  // namespace loquant::test

// `loquant devices` and `loquant listen`: the built-in system (the one
// `analyze` uses) on live input from capture devices, until Ctrl-C or
// SIGTERM. Every message the sink receives is printed as it comes (a JSON
// line, or a readable line) and, with --publish, published to NATS; on a
// terminal a one-line view per speaker is redrawn on stderr. --record keeps
// what was heard and writes it whole at the end, so `loquant analyze` of it
// reproduces the events. The instance is stopped cleanly at the end and
// leaves no named object behind.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "analyze.h"
#include "default_system.h"
#include "host/capture_device.h"
#include "host/conditioning.h"
#include "host/conditioning_resample.h"
#include "host/live_capture.h"
#include "host/system.h"
#include "json_lines.h"
#include "live_system.h"
#include "live_view.h"
#include "platform.h"
#include "soundfile/byte_order.h"
#include "soundfile/sound_file.h"
#include "standard_output.h"
#include "util/clock.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

constexpr const char* kListenHelp =
    "usage: loquant listen [options]\n"
    "\n"
    "Runs the built-in system (the one 'loquant analyze' uses) on live input until\n"
    "Ctrl-C (SIGINT) or SIGTERM: channel n of the capture device is speaker n, at\n"
    "the device's own rate. Prints every posted message as it happens; on a\n"
    "terminal, stderr shows one line per speaker (level, speaking, voice pitch).\n"
    "\n"
    "exit status: 0 stopped; 1 bad input (no such device, a rate or channel count\n"
    "it refuses, a device gone mid-run, a NATS address that does not resolve);\n"
    "2 bad usage; 3 messages were lost or could not be published.\n"
    "\n"
    "options:\n"
    "  --device D          a device name or a unique part of one (see 'loquant\n"
    "                      devices'); default: the system's default input\n"
    "  --channels 1|2      speakers, one per channel of the device (default 1)\n"
    "  --format jsonl|text one JSON object per message (default), or one readable\n"
    "                      line per message\n"
    "  --record FILE.wav   also write what was heard (kept in memory, written at the\n"
    "                      end)\n"
    "  --publish nats://HOST:PORT/PREFIX\n"
    "                      also publish every message to NATS (see docs/live.md)\n"
    "  --config FILE       run a configuration with \"capture\" components instead\n"
    "  --param N=V         set parameter N (or C.N, or Conditioning.N), as analyze\n"
    "  --no-view           no live view, even on a terminal\n"
    "  --verbose           show the components' own lines on stderr\n"
    "  --library PATH      the component library to load\n";

constexpr int kExitLost = 3;
constexpr auto kViewPeriod = std::chrono::milliseconds(100);

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onListenSignal(int /*signal*/) {
  stopRequested.store(true);
}

struct ListenOptions {
  std::string device = "default";
  int channels = 1;
  std::string format = "jsonl";
  std::string record;
  std::string publish;
  std::string config;
  std::vector<std::string> params;
  std::string library;
  bool view = true;
  bool verbose = false;
};

// One readable line per message: time, component, post, type.
void appendTextLine(std::string& out, const vornix::host::SinkRecord& record, double timeMs) {
  char head[64];
  std::snprintf(head, sizeof head, "%10.3f s  ", timeMs / 1000.0);
  out.append(head).append(record.sender);
  out.append(record.sender.size() < 14 ? 14 - record.sender.size() : 1, ' ');
  out.append(record.postName);
  out.append(record.postName.size() < 20 ? 20 - record.postName.size() : 1, ' ');
  out.append(record.typeName);
  if (record.postName == "SpeechOff") {
    if (const double hz = LiveView::utteranceHz(record.message); hz > 0.0) {
      std::snprintf(head, sizeof head, "  F0 %.0f Hz", hz);
      out.append(head);
    }
  }
  out.push_back('\n');
}

// Writes `channels` (equal lengths) as a 16-bit WAV file, through a
// temporary name so that FILE is whole or absent.
bool writeRecording(const std::string& path, const std::vector<std::vector<std::int16_t>>& channels,
                    std::uint32_t rate, std::string& error) {
  const std::string partial = path + ".part";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(partial.c_str(), "wb"),
                                                       &std::fclose);
  if (!file) {
    error = path + ": cannot be written";
    return false;
  }
  const std::size_t frames = channels.empty() ? 0 : channels.front().size();
  vornix::SoundFormat format;
  format.rate = static_cast<std::int32_t>(rate);
  format.bits = 16;
  format.channels = static_cast<std::int8_t>(channels.size());
  vornix::SoundFilePtr sound = vornix::riff_create(file.get(), format);
  bool ok = sound != nullptr;
  std::vector<std::uint8_t> bytes(2 * channels.size() * 4096);
  for (std::size_t at = 0; ok && at < frames; at += 4096) {
    const std::size_t n = std::min<std::size_t>(4096, frames - at);
    std::size_t o = 0;
    for (std::size_t i = 0; i < n; ++i) {
      for (const auto& channel : channels) {
        vornix::sound_bytes::store<2>(bytes, o, vornix::sound_bytes::Order::kLittle,
                                      static_cast<std::uint16_t>(channel[at + i]));
        o += 2;
      }
    }
    ok = std::fwrite(bytes.data(), 1, o, file.get()) == o;
    sound->samplesWritten += static_cast<std::int32_t>(n * channels.size());
  }
  ok = ok && vornix::riff_finish(*sound) && std::fflush(file.get()) == 0;
  ok = std::fclose(file.release()) == 0 && ok;
  std::error_code ec;
  if (ok) std::filesystem::rename(partial, path, ec);
  if (!ok || ec) {
    std::filesystem::remove(partial, ec);
    error = path + ": cannot be written";
    return false;
  }
  return true;
}

// The built-in system for the device: speaker n hears channel n. A device
// whose own rate lies below Conditioning.ResampleHz is asked for the rate a
// recording of it would be upsampled to, in frames as long as that
// recording's (the sound server converts, and no resampler's look-ahead is
// added to the latency); one that refuses it is analysed at its own rate,
// with a note.
bool builtInSystem(const ListenOptions& options,
                   const vornix::host::ConditioningSettings& conditioning,
                   vornix::host::SystemConfig& config, std::vector<std::string>& speakers,
                   std::string& error) {
  vornix::host::CaptureDeviceInfo device;
  if (!vornix::host::findCaptureDevice(options.device, device, error)) return false;
  const auto ownRate = static_cast<std::uint32_t>(device.defaultRate + 0.5);
  if (ownRate < 1000) {
    error = "capture device '" + device.name + "' reports no usable rate";
    return false;
  }
  std::uint32_t factor =
      conditioning.enabled && conditioning.resampleHz > 0.0
          ? vornix::host::upsamplingFactor(
                ownRate, static_cast<std::uint32_t>(std::lround(conditioning.resampleHz)))
          : 1U;
  if (factor > 1 &&
      !vornix::host::captureRateAccepted(device.name, options.channels, ownRate * factor)) {
    std::fprintf(stderr,
                 "loquant listen: capture device '%s' refuses %u Hz: analysed at its own "
                 "%u Hz, where fewer voiced frames have a pitch\n",
                 device.name.c_str(), static_cast<unsigned>(ownRate * factor),
                 static_cast<unsigned>(ownRate));
    factor = 1;
  }
  const std::uint32_t rate = ownRate * factor;
  const std::uint32_t buffer = defaultBufferSize(ownRate) * factor;
  config = defaultSystem(options.channels, rate);
  if (!applyParameter(config, "BufferSize=" + std::to_string(buffer), error)) return false;
  for (const vornix::host::ComponentConfig& c : config.components) {
    if (c.entry == "Runtime") speakers.push_back(c.name);
  }
  for (int n = 1; n <= options.channels; ++n) {
    vornix::host::ComponentConfig capture;
    capture.name = "microphone" + std::to_string(n);
    capture.entry = vornix::host::kCaptureEntry;
    capture.parameters = {
        vornix::host::ParameterSpec{"Device", device.name},
        vornix::host::ParameterSpec{"Channel", std::int64_t{n}},
        vornix::host::ParameterSpec{"Target", speakers[static_cast<std::size_t>(n - 1)]},
        vornix::host::ParameterSpec{"BufferSize", std::int64_t{buffer}}};
    config.components.push_back(std::move(capture));
  }
  return true;
}

int listen(const ListenOptions& options) {
  vornix::host::SystemConfig config;
  std::vector<std::string> speakers;
  std::string error;
  if (!options.config.empty()) {
    vornix::host::ConfigResult loaded = vornix::host::loadConfig(options.config);
    if (const auto* bad = std::get_if<vornix::host::ConfigError>(&loaded)) {
      std::fprintf(stderr, "loquant listen: %s\n", bad->text().c_str());
      return kExitInput;
    }
    config = std::get<vornix::host::SystemConfig>(std::move(loaded));
  }
  vornix::host::ConditioningSettings conditioning;
  std::vector<std::string> componentParams;
  bool gateGiven = false;
  if (!vornix::host::takeConditioningParameters(options.params, conditioning, componentParams,
                                                gateGiven, error)) {
    std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.config.empty() && !builtInSystem(options, conditioning, config, speakers, error)) {
    std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
    return kExitInput;
  }
  for (const std::string& assignment : componentParams) {
    if (!applyParameter(config, assignment, error)) {
      std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  if (!options.config.empty()) {
    // The components the captures feed are the speakers.
    for (const auto& c : config.components) {
      vornix::host::CaptureSettings settings;
      if (c.entry == vornix::host::kCaptureEntry &&
          vornix::host::readCaptureSettings(config, c, settings, error)) {
        speakers.push_back(settings.target);
      }
    }
  }
  // The speakers' own gate is the conditioning's, as in analyze.
  if (const std::optional<double> gate = lowestSpeechGate(config, speakers); gate && !gateGiven) {
    conditioning.noiseThreshold = *gate;
  }

  std::unique_ptr<vornix::host::LiveCapture> capture =
      vornix::host::LiveCapture::open(config, conditioning, error);
  if (!capture) {
    std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
    return kExitInput;
  }
  if (capture->captures().empty()) {
    std::fprintf(stderr, "loquant listen: %s has no \"capture\" component\n",
                 options.config.c_str());
    return kExitInput;
  }
  platform::StopSignals signals(onListenSignal);
  stopRequested.store(false);
  StandardOutputGuard guard(options.verbose);
  std::FILE* out = guard.out();
  LiveSystem live;
  if (!startLiveSystem("listen", config, options.library, options.publish, live)) {
    return kExitInput;
  }
  vornix::host::System* const system = live.system.get();

  std::vector<std::string> viewNames;
  for (const auto& c : capture->captures()) viewNames.push_back(c.target);
  const bool showView = options.view && ::isatty(2) != 0;
  LiveView view(viewNames, stderr);
  // Event times count as analyze's do: frame k enters the system k frames
  // after the start. Live frames enter as they arrive, late by a varying
  // delay and never early, so the start is the earliest of (arrival of frame
  // k - k frames).
  std::atomic<vornix::Micros> start{vornix::currentTime()};
  std::mutex outputMutex;
  const bool text = options.format == "text";
  const std::uint16_t instance = system->instanceId();
  std::string line;
  std::string json;
  system->onSink([&](vornix::host::SinkRecord&& record) {
    std::lock_guard<std::mutex> lock(outputMutex);
    const double timeMs =
        (static_cast<double>(record.message.getCreatedTime()) - static_cast<double>(start.load())) /
        1000.0;
    json.clear();
    appendJsonLine(json, record, timeMs, false);
    line.clear();
    if (text) appendTextLine(line, record, timeMs);
    if (showView) view.clear();
    std::fputs(text ? line.c_str() : json.c_str(), out);
    std::fflush(out);
    if (showView) view.draw();
    publishLine(live, record, json, instance);
    view.record(record);
  });

  std::vector<std::vector<std::int16_t>> recorded(
      options.record.empty() ? 0 : capture->captures().size());
  std::fprintf(
      stderr,
      "loquant listen: instance %u listening to %zu channel(s) at %u Hz (stop with Ctrl-C)\n",
      static_cast<unsigned>(instance), capture->captures().size(), capture->rate(0));
  system->start();
  std::atomic<bool> viewDone{false};
  std::thread viewThread;
  if (showView) {
    viewThread = std::thread([&] {
      while (!viewDone.load()) {
        view.draw();
        std::this_thread::sleep_for(kViewPeriod);
      }
    });
  }
  const std::uint32_t rate = capture->rate(0);
  const bool pumped = capture->pump(
      *system, stopRequested,
      [&](std::size_t index, std::uint64_t frame, std::span<const std::int16_t> samples) {
        if (index == 0) {
          const vornix::Micros at =
              vornix::currentTime() -
              static_cast<vornix::Micros>(frame * samples.size() * 1'000'000U / rate);
          if (frame == 0 || at < start.load()) start.store(at);
        }
        view.level(index, samples);
        if (!recorded.empty()) {
          recorded[index].insert(recorded[index].end(), samples.begin(), samples.end());
        }
      },
      stderr, error);
  viewDone.store(true);
  if (viewThread.joinable()) viewThread.join();
  if (showView) view.clear();
  system->stop();
  const std::uint64_t lost = system->lostMessages();
  live.system.reset();
  const std::uint64_t overruns = capture->overruns();
  capture.reset();
  const bool published = !live.publisher || live.publisher->finish(stderr);
  std::fprintf(stderr, "loquant listen: stopped\n");
  if (overruns != 0) {
    std::fprintf(stderr, "loquant listen: %llu capture overrun(s): some audio was dropped\n",
                 static_cast<unsigned long long>(overruns));
  }
  int status = kExitOk;
  if (!options.record.empty() && !writeRecording(options.record, recorded, rate, error)) {
    std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
    status = kExitInput;
  }
  if (!pumped) {
    std::fprintf(stderr, "loquant listen: %s\n", error.c_str());
    return kExitInput;
  }
  if (status != kExitOk) return status;
  if (lost != 0) {
    std::fprintf(stderr, "loquant listen: %llu posted message(s) were lost\n",
                 static_cast<unsigned long long>(lost));
    return kExitLost;
  }
  return published ? kExitOk : kExitLost;
}

}  // namespace

int devicesVerb(const Arguments& args) {
  if (!args.empty()) {
    if (args.front() == "--help" || args.front() == "-h") {
      std::fputs(
          "usage: loquant devices\n\nLists the capture devices: name, audio system, input "
          "channels, default rate.\n",
          stdout);
      return kExitOk;
    }
    std::fprintf(stderr, "loquant devices: takes no arguments (see --help)\n");
    return kExitUsage;
  }
  std::vector<vornix::host::CaptureDeviceInfo> devices;
  std::string error;
  if (!vornix::host::listCaptureDevices(devices, error)) {
    std::fprintf(stderr, "loquant devices: %s\n", error.c_str());
    return kExitInput;
  }
  if (devices.empty()) {
    std::printf("no capture devices found\n");
    return kExitOk;
  }
  for (const auto& d : devices) {
    std::printf("%s%s  (%s, %d channel%s, %.0f Hz)\n", d.isDefault ? "* " : "  ", d.name.c_str(),
                d.api.c_str(), d.channels, d.channels == 1 ? "" : "s", d.defaultRate);
  }
  return kExitOk;
}

int listenVerb(const Arguments& args) {
  ListenOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kListenHelp, stdout);
      return kExitOk;
    } else if (a == "--device") {
      if (!optionValue(args, i, "listen", options.device)) return kExitUsage;
    } else if (a == "--channels") {
      if (!optionValue(args, i, "listen", v)) return kExitUsage;
      if (v != "1" && v != "2") {
        std::fprintf(stderr, "loquant listen: --channels takes 1 or 2, not '%s'\n", v.c_str());
        return kExitUsage;
      }
      options.channels = v == "1" ? 1 : 2;
    } else if (a == "--format") {
      if (!optionValue(args, i, "listen", options.format)) return kExitUsage;
      if (options.format != "jsonl" && options.format != "text") {
        std::fprintf(stderr, "loquant listen: --format takes jsonl or text, not '%s'\n",
                     options.format.c_str());
        return kExitUsage;
      }
    } else if (a == "--record") {
      if (!optionValue(args, i, "listen", options.record)) return kExitUsage;
    } else if (a == "--publish") {
      if (!optionValue(args, i, "listen", options.publish)) return kExitUsage;
    } else if (a == "--config") {
      if (!optionValue(args, i, "listen", options.config)) return kExitUsage;
    } else if (a == "--param") {
      if (!optionValue(args, i, "listen", v)) return kExitUsage;
      options.params.push_back(v);
    } else if (a == "--library") {
      if (!optionValue(args, i, "listen", options.library)) return kExitUsage;
    } else if (a == "--no-view") {
      options.view = false;
    } else if (a == "--verbose" || a == "-v") {
      options.verbose = true;
    } else {
      std::fprintf(stderr, "loquant listen: unknown argument '%s' (see --help)\n", a.c_str());
      return kExitUsage;
    }
  }
  return listen(options);
}

}  // namespace loquant::cli

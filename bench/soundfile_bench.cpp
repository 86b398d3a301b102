// Reading the sample data of a one-hour 44.1 kHz 16-bit mono file into
// frames of 1024 samples (the audio source's BufferSize), through the
// streaming SampleReader. Goal: at least 1 GB/s of sample data. The peak
// resident size is reported to show that memory does not grow with length.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"

namespace {

using vornix::SoundFormat;

constexpr std::int32_t kRate = 44100;
constexpr std::int64_t kSeconds = 3600;
constexpr std::size_t kBufferSize = 1024;

struct CloseFile {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// A temporary directory holding the generated files, removed at exit.
class Files {
 public:
  Files() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "loquant-sound-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~Files() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  // Writes (once) an hour of a sawtooth through the create/finish routines.
  std::filesystem::path hour(bool aiff) {
    const auto path = dir_ / (aiff ? "hour.aiff" : "hour.wav");
    if (std::filesystem::exists(path)) return path;
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "wb+"));
    if (!file) return {};
    const auto& type = vornix::soundFileTypes()[aiff ? 0 : 1];
    vornix::SoundFilePtr record = type.create(file.get(), SoundFormat{kRate, 16, 1, 0});
    if (!record) return {};
    std::vector<std::uint8_t> block(2 * kRate);
    for (std::int64_t second = 0; second < kSeconds; ++second) {
      for (std::size_t i = 0; i < block.size(); i += 2) {
        const auto value = static_cast<std::uint16_t>(i * 37 + static_cast<std::size_t>(second));
        block[i + (aiff ? 0 : 1)] = static_cast<std::uint8_t>(value >> 8);
        block[i + (aiff ? 1 : 0)] = static_cast<std::uint8_t>(value);
      }
      if (std::fwrite(block.data(), 1, block.size(), file.get()) != block.size()) return {};
    }
    record->samplesWritten = static_cast<std::int32_t>(kRate * kSeconds);
    if (!type.finish(*record)) return {};
    return path;
  }

 private:
  std::filesystem::path dir_;
};

Files& files() {
  static Files instance;
  return instance;
}

double peakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void readHour(benchmark::State& state, bool aiff) {
  const auto path = files().hour(aiff);
  if (path.empty()) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  std::vector<std::int16_t> frame(kBufferSize);
  const std::array<std::span<std::int16_t>, 1> channels{frame};
  std::int64_t bytes = 0;
  for (auto _ : state) {
    auto reader = vornix::SampleReader::open(path);
    if (!reader) {
      state.SkipWithError("cannot open the input file");
      return;
    }
    std::int64_t sum = 0;
    std::size_t got = 0;
    while ((got = reader->read(channels)) > 0) {
      sum += frame[0];
      bytes += static_cast<std::int64_t>(got) * 2;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(bytes);
  state.counters["peak_rss_MiB"] = peakResidentMiB();
}

void BM_ReadHourWave16Mono(benchmark::State& state) {
  readHour(state, false);
}
void BM_ReadHourAiff16Mono(benchmark::State& state) {
  readHour(state, true);
}

BENCHMARK(BM_ReadHourWave16Mono)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ReadHourAiff16Mono)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

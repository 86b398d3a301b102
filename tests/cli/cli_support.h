// Helpers of the end-to-end tests of the loquant command: a scratch
// directory, running the built binary, and generated recordings.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace loquant::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct Outcome {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// The built loquant program.
std::string loquantBinary();

// `loquant <arguments>` started in `dir` and left running, its standard
// output and error written to `dir`/<stem>.out and <stem>.err. The arguments
// are words separated by spaces, without quotes. One implementation per
// system (cli_process_posix.cpp, cli_process_win32.cpp); the program is
// killed if it still runs when the object goes.
class BackgroundLoquant {
 public:
  BackgroundLoquant(const ScratchDir& dir, const std::string& arguments, const std::string& stem);
  ~BackgroundLoquant();
  BackgroundLoquant(const BackgroundLoquant&) = delete;
  BackgroundLoquant& operator=(const BackgroundLoquant&) = delete;

  bool started() const;
  // The system's id of the process (for signals); 0 when it did not start.
  std::uint32_t id() const;
  // Its exit status; -1 when it did not exit within `limit` or was killed.
  int wait(std::chrono::milliseconds limit);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Runs `loquant <arguments>` in `dir` and collects its exit status, standard
// output and error.
Outcome runLoquant(const ScratchDir& dir, const std::string& arguments);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// A voiced burst: a harmonic tone whose pitch glides from f0 to f0 × 1.3,
// with 10 ms fades, `seconds` long.
std::vector<std::int16_t> voicedBurst(std::uint32_t rate, double seconds, double f0);

// A track of `total` seconds: silence with voiced bursts [start, end) seconds.
std::vector<std::int16_t> track(std::uint32_t rate, double total,
                                const std::vector<std::pair<double, double>>& bursts, double f0);

// Writes a 16-bit PCM WAVE file; `channels` are the per-channel tracks
// (equal lengths).
void writeWave(const std::filesystem::path& path, std::uint32_t rate,
               const std::vector<std::vector<std::int16_t>>& channels);

// Splits text into lines (without their line breaks, "\n" or "\r\n").
std::vector<std::string> lines(const std::string& text);

}  // namespace loquant::test

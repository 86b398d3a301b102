#include "cli/cli_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>

namespace loquant::test {

ScratchDir::ScratchDir() {
  // Creating the directory is the claim (an existing one is never taken
  // over), as with mkdtemp, with the same code on every system.
  static std::mt19937_64 generator{std::random_device{}()};
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  for (int attempt = 0; !error && attempt < 100; ++attempt) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(generator()));
    const std::filesystem::path candidate = base / (std::string("loquant-cli-") + digits);
    if (std::filesystem::create_directory(candidate, error)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      path_ = candidate;
      return;
    }
  }
  std::fprintf(stderr, "no scratch directory: %s\n", error.message().c_str());
  std::abort();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Outcome runLoquant(const ScratchDir& dir, const std::string& arguments) {
  Outcome outcome;
  {
    BackgroundLoquant run(dir, arguments, ".run");
    if (run.started()) outcome.status = run.wait(std::chrono::minutes(10));
  }
  outcome.out = readFile(dir / ".run.out");
  outcome.err = readFile(dir / ".run.err");
  std::filesystem::remove(dir / ".run.out");
  std::filesystem::remove(dir / ".run.err");
  return outcome;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::int16_t> voicedBurst(std::uint32_t rate, double seconds, double f0) {
  const auto n = static_cast<std::size_t>(seconds * rate);
  const double fade = 0.010 * rate;
  std::vector<std::int16_t> out(n);
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double at = static_cast<double>(i) / static_cast<double>(n);
    phase += 2 * std::numbers::pi * f0 * (1.0 + 0.3 * at) / rate;
    double v = 0;
    for (int k = 1; k < 8; ++k) v += std::sin(k * phase) / k;
    const double envelope =
        std::min({1.0, static_cast<double>(i) / fade, static_cast<double>(n - i) / fade});
    out[i] = static_cast<std::int16_t>(std::lround(4000.0 * v * envelope));
  }
  return out;
}

std::vector<std::int16_t> track(std::uint32_t rate, double total,
                                const std::vector<std::pair<double, double>>& bursts, double f0) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(total * rate));
  for (const auto& [start, end] : bursts) {
    const std::vector<std::int16_t> burst = voicedBurst(rate, end - start, f0);
    const auto at = static_cast<std::size_t>(start * rate);
    for (std::size_t i = 0; i < burst.size() && at + i < out.size(); ++i) out[at + i] = burst[i];
  }
  return out;
}

namespace {
void put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFFU);
  out += static_cast<char>(v >> 8U);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v & 0xFFFFU));
  put16(out, static_cast<std::uint16_t>(v >> 16U));
}
}  // namespace

void writeWave(const std::filesystem::path& path, std::uint32_t rate,
               const std::vector<std::vector<std::int16_t>>& channels) {
  const auto count = static_cast<std::uint32_t>(channels.size());
  const auto frames = static_cast<std::uint32_t>(channels.front().size());
  const std::uint32_t dataBytes = frames * count * 2U;
  std::string out = "RIFF";
  put32(out, 36U + dataBytes);
  out += "WAVEfmt ";
  put32(out, 16);
  put16(out, 1);
  put16(out, static_cast<std::uint16_t>(count));
  put32(out, rate);
  put32(out, rate * count * 2U);
  put16(out, static_cast<std::uint16_t>(count * 2U));
  put16(out, 16);
  out += "data";
  put32(out, dataBytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    for (const auto& channel : channels) put16(out, static_cast<std::uint16_t>(channel[i]));
  }
  writeFile(path, out);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    // Text written in the Windows C runtime's text mode ends lines in "\r\n".
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

}  // namespace loquant::test

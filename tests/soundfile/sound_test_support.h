// Helpers shared by the sound-file tests: report capture, temporary files
// and byte builders for hand-made headers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "soundfile/sound_file.h"

namespace vornix::test {

// Collects every report made while it lives (one per thread of the test).
class ReportCapture {
 public:
  ReportCapture() : previous_(setSoundFileErrorCallback(&ReportCapture::collect)) {
    lines().clear();
  }
  ~ReportCapture() { setSoundFileErrorCallback(previous_); }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  static std::vector<std::string>& lines() {
    static std::vector<std::string> collected;
    return collected;
  }
  bool contains(const std::string& text) const {
    for (const auto& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static void collect(const char* text) { lines().emplace_back(text); }
  SoundFileErrorCallback previous_;
};

struct CloseFile {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, CloseFile>;

// A name no earlier call of this process gave, with random digits so that
// other processes' names rarely collide either ("<prefix>-<16 hex digits>").
inline std::string uniqueTempName(std::string_view prefix) {
  static std::mt19937_64 generator{std::random_device{}()};
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(generator()));
  return std::string(prefix) + "-" + digits;
}

// An anonymous read/write temporary file, removed when closed.
inline FilePtr tempFile() {
#if defined(_WIN32)
  // The C runtime's tmpfile() creates its file in the root of the current
  // drive, which an ordinary Windows user may not write. The user's temporary
  // folder instead, opened binary (b), kept in memory where possible (T) and
  // deleted on close (D).
  const auto path = std::filesystem::temp_directory_path() / uniqueTempName("loquant-sound");
  return FilePtr(std::fopen(path.string().c_str(), "w+bTD"));
#else
  return FilePtr(std::tmpfile());
#endif
}

// A temporary file holding `bytes`, positioned at byte 0.
inline FilePtr fileWith(const std::vector<std::uint8_t>& bytes) {
  FilePtr file = tempFile();
  if (file && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  if (file) std::rewind(file.get());
  return file;
}

// Every byte of a stream, leaving it at its end.
inline std::vector<std::uint8_t> contents(std::FILE* file) {
  std::vector<std::uint8_t> bytes;
  std::fflush(file);
  std::rewind(file);
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
  return bytes;
}

// A directory removed with everything in it at the end of its life.
class TempDir {
 public:
  // Creates a new directory with a random name that only its owner may use;
  // `path()` is empty when none could be made. Creating the directory is the
  // claim (an existing one is never taken over), as with mkdtemp, but
  // without an OS call, so that both builds share it.
  TempDir() {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) return;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto candidate = base / uniqueTempName("loquant-sound");
      if (std::filesystem::create_directory(candidate, error)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
        path_ = candidate;
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Appends numbers and tags to a byte vector.
class Bytes {
 public:
  // Appends the characters of `text` (four for a chunk id; fewer to cut a file short).
  Bytes& tag(std::string_view text) {
    for (char c : text) data.push_back(static_cast<std::uint8_t>(c));
    return *this;
  }
  Bytes& le16(std::uint32_t v) { return little(v, 2); }
  Bytes& le32(std::uint32_t v) { return little(v, 4); }
  Bytes& be16(std::uint32_t v) { return big(v, 2); }
  Bytes& be32(std::uint32_t v) { return big(v, 4); }
  Bytes& raw(const std::vector<std::uint8_t>& bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& fill(std::size_t count, std::uint8_t value = 0) {
    data.insert(data.end(), count, value);
    return *this;
  }
  std::vector<std::uint8_t> data;

 private:
  Bytes& little(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& big(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
};

inline std::uint32_t readLe32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b.at(at)} | std::uint32_t{b.at(at + 1)} << 8 |
         std::uint32_t{b.at(at + 2)} << 16 | std::uint32_t{b.at(at + 3)} << 24;
}
inline std::uint32_t readBe32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b.at(at)} << 24 | std::uint32_t{b.at(at + 1)} << 16 |
         std::uint32_t{b.at(at + 2)} << 8 | std::uint32_t{b.at(at + 3)};
}

}  // namespace vornix::test

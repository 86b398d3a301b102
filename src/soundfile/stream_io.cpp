#include "soundfile/stream_io.h"

#include <cerrno>
#include <cstring>
#include <limits>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace vornix::sound_io {

namespace {

#if defined(_WIN32)
using Offset = long long;
int seekRaw(std::FILE* stream, Offset offset, int whence) {
  return _fseeki64(stream, offset, whence);
}
Offset tellRaw(std::FILE* stream) {
  return _ftelli64(stream);
}
#else
using Offset = off_t;
int seekRaw(std::FILE* stream, Offset offset, int whence) {
  return fseeko(stream, offset, whence);
}
Offset tellRaw(std::FILE* stream) {
  return ftello(stream);
}
#endif

}  // namespace

ReadResult readExact(std::FILE* stream, std::span<std::uint8_t> buffer) noexcept {
  if (buffer.empty()) return ReadResult::kOk;
  const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stream);
  if (got == buffer.size()) return ReadResult::kOk;
  return std::ferror(stream) != 0 ? ReadResult::kError : ReadResult::kEndOfFile;
}

bool writeAll(std::FILE* stream, std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return true;
  return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

bool seekTo(std::FILE* stream, std::uint64_t offset) noexcept {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<Offset>::max())) {
    errno = EOVERFLOW;
    return false;
  }
  return seekRaw(stream, static_cast<Offset>(offset), SEEK_SET) == 0;
}

bool tell(std::FILE* stream, std::uint64_t& position) noexcept {
  const Offset at = tellRaw(stream);
  if (at < 0) return false;
  position = static_cast<std::uint64_t>(at);
  return true;
}

bool size(std::FILE* stream, std::uint64_t& bytes) noexcept {
  std::uint64_t here = 0;
  if (!tell(stream, here)) return false;
  if (seekRaw(stream, 0, SEEK_END) != 0) return false;
  std::uint64_t end = 0;
  const bool known = tell(stream, end);
  if (!seekTo(stream, here) || !known) return false;
  bytes = end;
  return true;
}

const char* lastErrorText() noexcept {
  return std::strerror(errno);
}

}  // namespace vornix::sound_io

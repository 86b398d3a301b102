#include "soundfile/sample_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "soundfile/stream_io.h"

namespace vornix {

namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;
constexpr std::size_t kScratchSamples = 16 * 1024;

std::int16_t fromBytes(unsigned high, unsigned low) noexcept {
  // C++20 defines the conversion of an out-of-range unsigned value as modular.
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((high << 8) | low));
}

// Decodes `samples` samples of `Bytes` bytes each, keeping the top 16 bits.
template <std::size_t Bytes, bool BigEndian>
void decodeWide(const std::uint8_t* in, std::size_t samples, std::int16_t* out) noexcept {
  constexpr std::size_t kHigh = BigEndian ? 0 : Bytes - 1;
  constexpr std::size_t kLow = BigEndian ? 1 : Bytes - 2;
  for (std::size_t i = 0; i < samples; ++i, in += Bytes) out[i] = fromBytes(in[kHigh], in[kLow]);
}

}  // namespace

std::optional<SampleReader> SampleReader::open(const std::filesystem::path& path) {
  FilePtr file(std::fopen(path.string().c_str(), "rb"));
  if (!file) {
    sound_file_error("SampleReader: cannot open %s: %s", path.string().c_str(),
                     sound_io::lastErrorText());
    return std::nullopt;
  }
  std::array<std::uint8_t, 4> magic{};
  if (sound_io::readExact(file.get(), magic) != sound_io::ReadResult::kOk ||
      !sound_io::seekTo(file.get(), 0)) {
    sound_file_error("SampleReader: %s is neither an AIFF nor a WAVE file", path.string().c_str());
    return std::nullopt;
  }
  SoundFormat format;
  SoundFilePtr record;
  if (std::memcmp(magic.data(), "FORM", 4) == 0) {
    record = aiff_open(file.get(), format);
  } else if (std::memcmp(magic.data(), "RIFF", 4) == 0) {
    record = riff_open(file.get(), format);
  }
  if (!record) {
    // The open routines report every problem except a wrong magic number.
    if (std::memcmp(magic.data(), "FORM", 4) != 0 && std::memcmp(magic.data(), "RIFF", 4) != 0) {
      sound_file_error("SampleReader: %s is neither an AIFF nor a WAVE file",
                       path.string().c_str());
    }
    return std::nullopt;
  }
  if (bytesPerSample(format.bits) > 4) {
    sound_file_error("SampleReader: %s: %d-bit samples not supported", path.string().c_str(),
                     format.bits);
    return std::nullopt;
  }
  return SampleReader(std::move(file), std::move(record), format);
}

SampleReader::SampleReader(FilePtr file, SoundFilePtr record, const SoundFormat& format)
    : file_(std::move(file)),
      record_(std::move(record)),
      format_(format),
      channels_(format.channels),
      bytesPerSample_(static_cast<std::size_t>(bytesPerSample(format.bits))),
      frameBytes_(bytesPerSample_ * static_cast<std::size_t>(format.channels)),
      bigEndian_(record_->bigEndian != 0),
      unsignedBytes_(record_->sampleOffset == 128),
      remaining_(record_->dataBytes),
      block_(kBlockBytes) {}

bool SampleReader::atEnd() const noexcept {
  return ended_ && filled_ - position_ < frameBytes_;
}

bool SampleReader::refill() {
  if (filled_ - position_ >= frameBytes_) return true;
  if (ended_) return false;
  // Keep the bytes of a frame split across two reads.
  const std::size_t leftover = filled_ - position_;
  std::memmove(block_.data(), block_.data() + position_, leftover);
  position_ = 0;
  filled_ = leftover;
  const std::size_t room = block_.size() - filled_;
  const std::size_t wanted = remaining_ < room ? static_cast<std::size_t>(remaining_) : room;
  std::size_t got = 0;
  if (wanted > 0) got = std::fread(block_.data() + filled_, 1, wanted, file_.get());
  filled_ += got;
  remaining_ -= got;
  if (got < wanted || remaining_ == 0) {
    ended_ = true;
    failed_ = std::ferror(file_.get()) != 0;
  }
  return filled_ >= frameBytes_;
}

void SampleReader::decode(const std::uint8_t* in, std::size_t samples,
                          std::int16_t* out) const noexcept {
  switch (bytesPerSample_) {
    case 1: {
      const unsigned flip = unsignedBytes_ ? 0x80U : 0U;
      for (std::size_t i = 0; i < samples; ++i) out[i] = fromBytes(in[i] ^ flip, 0);
      break;
    }
    case 2:
      if (bigEndian_) {
        decodeWide<2, true>(in, samples, out);
      } else {
        // Little-endian 16-bit samples are the host's own int16 layout on
        // every supported target.
        std::memcpy(out, in, samples * 2);
      }
      break;
    case 3:
      bigEndian_ ? decodeWide<3, true>(in, samples, out) : decodeWide<3, false>(in, samples, out);
      break;
    default:
      bigEndian_ ? decodeWide<4, true>(in, samples, out) : decodeWide<4, false>(in, samples, out);
      break;
  }
}

std::size_t SampleReader::readInterleaved(std::span<std::int16_t> out) {
  const std::size_t wantedFrames = out.size() / static_cast<std::size_t>(channels_);
  std::size_t done = 0;
  while (done < wantedFrames && refill()) {
    const std::size_t available = (filled_ - position_) / frameBytes_;
    const std::size_t frames = std::min(available, wantedFrames - done);
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    decode(block_.data() + position_, samples,
           out.data() + done * static_cast<std::size_t>(channels_));
    position_ += frames * frameBytes_;
    done += frames;
  }
  return done;
}

std::size_t SampleReader::read(std::span<const std::span<std::int16_t>> perChannel) {
  if (perChannel.size() != static_cast<std::size_t>(channels_)) return 0;
  std::size_t wantedFrames = perChannel.front().size();
  for (const auto& channel : perChannel) wantedFrames = std::min(wantedFrames, channel.size());
  if (channels_ == 1) return readInterleaved(perChannel.front().first(wantedFrames));

  const auto stride = static_cast<std::size_t>(channels_);
  if (scratch_.empty()) scratch_.resize(kScratchSamples / stride * stride);
  std::size_t done = 0;
  while (done < wantedFrames) {
    const std::size_t batch = std::min(wantedFrames - done, scratch_.size() / stride);
    const std::size_t frames = readInterleaved(std::span(scratch_).first(batch * stride));
    const std::int16_t* from = scratch_.data();
    if (stride == 2) {
      // The usual two speakers: one pass, a constant stride the compiler
      // can turn into shuffles.
      std::int16_t* first = perChannel[0].data() + done;
      std::int16_t* second = perChannel[1].data() + done;
      for (std::size_t k = 0; k < frames; ++k) {
        first[k] = from[2 * k];
        second[k] = from[2 * k + 1];
      }
    } else {
      for (std::size_t c = 0; c < stride; ++c) {
        std::int16_t* target = perChannel[c].data() + done;
        for (std::size_t k = 0; k < frames; ++k) target[k] = from[k * stride + c];
      }
    }
    done += frames;
    if (frames < batch) break;
  }
  return done;
}

}  // namespace vornix

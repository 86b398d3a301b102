#include "soundfile/sound_file.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

namespace vornix {

namespace {

std::atomic<SoundFileErrorCallback> errorCallback{nullptr};

constexpr std::array<SoundFileType, 2> kTypes{{
    {"AIFF", &aiff_open, &aiff_create, &aiff_finish},
    {"WAVE", &riff_open, &riff_create, &riff_finish},
}};

}  // namespace

void SoundFileFree::operator()(SoundFile* file) const noexcept {
  if (file == nullptr) return;
  file->~SoundFile();
  std::free(file);
}

std::span<const SoundFileType> soundFileTypes() noexcept {
  return kTypes;
}

SoundFileErrorCallback setSoundFileErrorCallback(SoundFileErrorCallback callback) noexcept {
  // acq_rel: a callback installed by one thread is seen whole by the thread
  // that reports next.
  return errorCallback.exchange(callback, std::memory_order_acq_rel);
}

void sound_file_error(const char* format, ...) {
  // One buffer per thread: reports from concurrent opens never interleave.
  thread_local std::array<char, 1025> text{};
  std::va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text.data(), text.size() - 1, format, args);
  va_end(args);
  std::size_t length = 0;
  if (written > 0) {
    length = static_cast<std::size_t>(written) < text.size() - 2 ? static_cast<std::size_t>(written)
                                                                 : text.size() - 2;
  }
  text[length] = '\n';
  text[length + 1] = '\0';

  const SoundFileErrorCallback callback = errorCallback.load(std::memory_order_acquire);
  if (callback != nullptr) {
    callback(text.data());
  } else {
    std::fputs(text.data(), stderr);
  }
}

void* sound_file_alloc(std::size_t size) noexcept {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) sound_file_error("malloc: out of memory");
  return block;
}

namespace detail {

SoundFilePtr newSoundFile() noexcept {
  void* block = sound_file_alloc(sizeof(SoundFile));
  if (block == nullptr) return nullptr;
  return SoundFilePtr(::new (block) SoundFile{});
}

}  // namespace detail

}  // namespace vornix

// SampleRing: a lock-free single-producer, single-consumer ring of 16-bit
// samples, the only way audio leaves a capture callback.
//
// The producer (the audio callback) writes a whole block or nothing: a block
// that does not fit is refused and the caller counts it as an overrun, so the
// consumer never sees a block cut short. Neither side blocks, allocates or
// takes a lock once the ring is made.
//
// Thread safety: one producer thread calls write()/filled(), one consumer
// thread calls available()/read(); capacity() and the constructor are for anyone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

namespace vornix::host {

class SampleRing {
 public:
  // Holds at least `minimumSamples` samples (rounded up to a power of two);
  // throws std::invalid_argument for 0 or more than 2^30.
  explicit SampleRing(std::size_t minimumSamples) {
    if (minimumSamples == 0 || minimumSamples > (std::size_t{1} << 30)) {
      throw std::invalid_argument("SampleRing: capacity out of range");
    }
    std::size_t capacity = 1;
    while (capacity < minimumSamples) capacity <<= 1U;
    mask_ = capacity - 1;
    samples_ = std::make_unique<std::int16_t[]>(capacity);
  }
  SampleRing(const SampleRing&) = delete;
  SampleRing& operator=(const SampleRing&) = delete;

  std::size_t capacity() const noexcept { return mask_ + 1; }

  // Producer: appends all of `block`, or nothing when it does not fit
  // (returns false).
  bool write(std::span<const std::int16_t> block) noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    // Pairs with the consumer's release of tail_: the space it freed is ours.
    const std::size_t tail = tail_.load(std::memory_order_acquire);
    if (block.size() > capacity() - (head - tail)) return false;
    for (std::size_t i = 0; i < block.size(); ++i) samples_[(head + i) & mask_] = block[i];
    // Pairs with the consumer's acquire of head_: the samples are visible first.
    head_.store(head + block.size(), std::memory_order_release);
    return true;
  }

  // Producer: samples in the ring now, or more (the consumer may have
  // taken some since).
  std::size_t filled() const noexcept {
    // Pairs with the consumer's release of tail_.
    return head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire);
  }

  // Consumer: samples ready to read.
  std::size_t available() const noexcept {
    // Pairs with the producer's release of head_.
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
  }

  // Consumer: moves min(out.size(), available()) samples into `out`; returns
  // how many.
  std::size_t read(std::span<std::int16_t> out) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t ready = head_.load(std::memory_order_acquire) - tail;
    const std::size_t n = out.size() < ready ? out.size() : ready;
    for (std::size_t i = 0; i < n; ++i) out[i] = samples_[(tail + i) & mask_];
    // Pairs with the producer's acquire of tail_: the space is free once read.
    tail_.store(tail + n, std::memory_order_release);
    return n;
  }

 private:
  std::size_t mask_ = 0;
  std::unique_ptr<std::int16_t[]> samples_;
  // Counters run freely (wrapping at 2^64) and are masked on use; each on a
  // cache line of its own so the two sides do not share one.
  alignas(64) std::atomic<std::size_t> head_{0};  // written by the producer
  alignas(64) std::atomic<std::size_t> tail_{0};  // written by the consumer
};

}  // namespace vornix::host

// What the section fuzzers share: a fresh section under a new serial for
// every input, holding exactly the bytes the input describes, and the seed
// writer that turns the host writers' own layouts into corpus files.
//
// Every section is mapped by the client itself; guarded_mapping.cpp makes the
// byte after its end unaddressable, so an access outside it stops the run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/owned_section.h"
#include "util/shared_memory.h"

namespace vornix::fuzz {

// True when the n bytes at `from` are all zero. Compared a word at a time and
// kept out of the coverage instrumentation: a byte loop here was half of a
// section fuzzer's time, counting comparisons of the harness, not the code
// under test.
__attribute__((no_sanitize("coverage"))) inline bool allZero(const std::uint8_t* from,
                                                             std::size_t n) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, from + i, 8);
    any |= word;
  }
  for (; i < n; ++i) any |= from[i];
  return any == 0;
}

// Writes `content` over a new section (zero but for its size word), skipping
// the pages after the first that are zero throughout in `content`: they read
// as zero already, and a section's mostly empty areas (histories, process
// records) then stay unallocated instead of costing a page fault each on
// every input.
__attribute__((no_sanitize("coverage"))) inline void copySparse(
    std::span<const std::uint8_t> content, std::span<std::uint8_t> zeroed) {
  constexpr std::size_t kPage = 4096;
  for (std::size_t at = 0; at < content.size(); at += kPage) {
    const std::size_t n = std::min(kPage, content.size() - at);
    const std::uint8_t* from = content.data() + at;
    if (at > 0 && allZero(from, n)) continue;
    std::memcpy(zeroed.data() + at, from, n);
  }
}

// The new section "<logicalName>" of exactly `content.size()` bytes holding
// `content`; removed and unmapped when the result goes. A section a crashed
// earlier run left under the name is removed first, so the new one starts
// zeroed.
inline std::optional<host::OwnedSection> sectionWith(const std::string& logicalName,
                                                     std::span<const std::uint8_t> content) {
  (void)removeSharedMemory(logicalName);
  std::optional<host::OwnedSection> section =
      host::OwnedSection::create(logicalName, content.size());
  if (!section || section->bytes().size() != content.size()) return std::nullopt;
  copySparse(content, section->bytes());
  return section;
}

// With LOQUANT_FUZZ_SEEDS=<directory> in the environment, a target writes its
// seed inputs there (named "<prefix>_<n>") at start-up and exits; this is how
// fuzz/corpus/<target>/ is made from the host writers' layouts.
inline void writeSeedsIfAsked(const char* prefix,
                              const std::vector<std::vector<std::uint8_t>>& seeds) {
  const char* directory = std::getenv("LOQUANT_FUZZ_SEEDS");
  if (directory == nullptr) return;
  int n = 0;
  for (const auto& seed : seeds) {
    const std::string path = std::string(directory) + "/" + prefix + "_" + std::to_string(n++);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::exit(1);
    const bool written = std::fwrite(seed.data(), 1, seed.size(), file) == seed.size();
    if (std::fclose(file) != 0 || !written) std::exit(1);
  }
  std::exit(0);
}

template <class T>
void append(std::vector<std::uint8_t>& out, T value) {
  std::uint8_t raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  out.insert(out.end(), raw, raw + sizeof(T));
}

}  // namespace vornix::fuzz

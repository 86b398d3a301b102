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

namespace vornix::fuzz {

// The section "<logicalName>" of exactly `content.size()` bytes holding
// `content`; removed and unmapped when the result goes.
inline std::optional<host::OwnedSection> sectionWith(const std::string& logicalName,
                                                     std::span<const std::uint8_t> content) {
  std::optional<host::OwnedSection> section =
      host::OwnedSection::create(logicalName, content.size());
  if (!section || section->bytes().size() != content.size()) return std::nullopt;
  std::copy(content.begin(), content.end(), section->bytes().begin());
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

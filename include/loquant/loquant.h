// Loquant's entry points, as a host finds them by name in the library.
//
// Each takes the component handle that the host created for one component,
// runs the component's loop until the handle says stop, and returns 0. Given
// no handle, the 32-bit entry points return -1 and the 8-bit ones 255.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define LOQUANT_EXPORT
#else
#define LOQUANT_EXPORT __attribute__((visibility("default")))
#endif

namespace vornix {
class ZelAPI;
}

extern "C" {
LOQUANT_EXPORT std::int32_t AnalyzeSingle(vornix::ZelAPI* api);
LOQUANT_EXPORT std::int32_t AnalyzeSingleContinuous(vornix::ZelAPI* api);
LOQUANT_EXPORT std::int32_t AnalyzeTwo(vornix::ZelAPI* api);
LOQUANT_EXPORT std::int32_t PitchTrackerDetector(vornix::ZelAPI* api);
LOQUANT_EXPORT std::uint8_t Runtime(vornix::ZelAPI* api);
LOQUANT_EXPORT std::uint8_t Test(vornix::ZelAPI* api);
}

namespace loquant {
// Signatures of the two kinds of entry point, for hosts that look them up.
using EntryPoint32 = std::int32_t (*)(vornix::ZelAPI*);
using EntryPoint8 = std::uint8_t (*)(vornix::ZelAPI*);
// Results of an entry point given no handle.
inline constexpr std::int32_t kNullHandle32 = -1;
inline constexpr std::uint8_t kNullHandle8 = 255;
}  // namespace loquant

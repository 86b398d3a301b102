// Loquant's entry points, as a host finds them by name in the library.
//
// Each takes the component handle that the host created for one component,
// runs the component's loop until the handle says stop, and returns 0. Given
// no handle, the 32-bit entry points return -1 and the 8-bit ones 255. A
// component stopped by an error (a std::exception inside its loop, such as an
// allocation that failed) logs one line through the handle and returns -2 or
// 254: no std::exception leaves an entry point. Exceptions of other types
// pass through unchanged, so that a host may unwind a task it runs a
// component on with a type of its own.
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
// Results of an entry point whose component was stopped by an error.
inline constexpr std::int32_t kFailed32 = -2;
inline constexpr std::uint8_t kFailed8 = 254;
}  // namespace loquant

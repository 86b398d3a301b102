// The six exported entry points. Each answers a null handle at once with its
// null-handle code; the component loops they run live in speech/ and
// analysis/ and are joined here as they are built.
#include "loquant/loquant.h"

extern "C" {

std::int32_t AnalyzeSingle(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return 0;
}

std::int32_t AnalyzeSingleContinuous(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return 0;
}

std::int32_t AnalyzeTwo(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return 0;
}

std::int32_t PitchTrackerDetector(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return 0;
}

std::uint8_t Runtime(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  return 0;
}

std::uint8_t Test(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  return 0;
}

}  // extern "C"

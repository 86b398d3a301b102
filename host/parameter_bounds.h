// The bounds of the component parameters that size allocations.
//
// A component sizes some of its buffers by a parameter: the speech
// component's pitch tracker by "BufferSize" (about 24 bytes a sample) and
// its pitch ring by "PitchMonitorWindow" (8 bytes a value). A value far out of
// any sensible range would make the component allocate gigabytes or fail to;
// the host refuses such a value when it loads a configuration or a --param,
// with the parameter's name and its documented limit, so that no run starts
// with it. A value within the limit is passed on unchanged; values below the
// useful range are the components' to handle (a BufferSize below 2 analyses
// nothing and says so, a PitchMonitorWindow below 1 is raised to 1), as they
// are for any host.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host/component_section.h"

namespace vornix::host {

struct ParameterBound {
  const char* name;
  std::int64_t highest;
  const char* unit;  // what one counts, for messages
};

// Every bounded parameter, in the order the documentation lists them.
std::span<const ParameterBound> parameterBounds() noexcept;

// True when `parameter` is within its limit, or is not a bounded integer
// parameter (the name is matched exactly, as the components read it); false
// with the reason in `error` ("PitchMonitorWindow 2147483647 is over its
// limit of 1048576 pitch values") when it is over it.
[[nodiscard]] bool parameterWithinBounds(const ParameterSpec& parameter, std::string& error);

}  // namespace vornix::host

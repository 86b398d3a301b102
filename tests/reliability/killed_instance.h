// The killed-host scenario shared by the reliability tests: a child process
// that starts an instance, adds objects only a long run has, and dies.
#pragma once

#include <cstdint>
#include <string>

namespace vornix::test {

// The child role: its argument is the instance number; it ends killed
// (kKilledStatus) once the instance runs, or with 2 to 5 when a step failed.
inline constexpr const char* kStartSystemAndDie = "start-system-and-die";

// The configuration text of the instance: one sink component.
std::string killedInstanceConfig(std::uint16_t instance);

}  // namespace vornix::test

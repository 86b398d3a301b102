// The few names of the host tests that differ between systems, one file per
// system (host_test_platform_posix.cpp, host_test_platform_win32.cpp).
#pragma once

namespace vornix::testing {

// A system library that loads but has none of the six entry points.
const char* libraryWithoutTheExports();

}  // namespace vornix::testing

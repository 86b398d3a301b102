#include "host_test_platform.h"

namespace vornix::testing {

const char* libraryWithoutTheExports() {
  return "kernel32.dll";
}

}  // namespace vornix::testing

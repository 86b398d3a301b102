#include "host_test_platform.h"

namespace vornix::testing {

const char* libraryWithoutTheExports() {
  return "libm.so.6";
}

}  // namespace vornix::testing

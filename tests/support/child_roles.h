// The registry of child roles shared by the two implementations of
// test_process.h.
#pragma once

#include "support/test_process.h"

namespace vornix::test::detail {

// The role registered under `name`; null when there is none.
ChildRole findChildRole(std::string_view name);

}  // namespace vornix::test::detail

// Finding the named objects of running instances without creating any, the
// way each system allows: on POSIX through the files of /dev/shm, on Windows
// (which lists no "Local\" objects) by opening a name and closing it again.
// InstanceView uses it so that looking at an instance never creates one of
// its objects; listInstances (instance_view.h) is defined with it.
//
// Thread safety: thread-safe; every answer is a snapshot that may be out of
// date as soon as it is given.
#pragma once

#include <string_view>

namespace vornix::host {

// True when the named object `fullName` ("Local\Mutex_...",
// "Local\Semaphore_...", "Local\Shmem_...") exists now. False for a name the
// system cannot carry, and for a name of none of these kinds.
bool namedObjectExists(std::string_view fullName);

}  // namespace vornix::host

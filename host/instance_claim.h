// InstanceClaim: one host process's hold on an instance number, taken before
// any other object of the instance is made and kept until the instance is
// gone, so that two hosts never share a number and a starting host never
// touches the objects of a live one.
//
// On POSIX the claim is a file of the instance's own name in /dev/shm
// (instanceClaimFileName of util/object_names.h, mode 0600, never a followed link)
// locked with flock and holding the owner's pid, process start time and boot
// id. The kernel drops the lock when its owner dies, however it dies; the
// next host to lock the file owns the number and clears what the dead owner
// left behind. A claim is released by removing its name while still locked,
// and a new holder checks that the file it locked still carries the name, so
// no two holders can hold two files of one name. On Windows, where named
// objects die with their last handle, the claim is a section of that name that
// this process created.
//
// Only objects of this user are ever removed: an object under an instance's
// names that belongs to another user (or is not a regular file) is left in
// place and reported, and the number is not used.
//
// Thread safety: the free functions are thread-safe; a claim is owned by one
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vornix::host {

class InstanceClaim {
 public:
  enum class Refusal {
    none,
    inUse,    // a live process holds the number
    foreign,  // an object under the instance's names is not ours
    failed,   // the system refused (the reason is in `error`)
  };

  // Claims `number`. Null with the reason when it cannot be had: `error` is
  // one line ("instance N is in use by process P", "instance N: '<name>'
  // belongs to another user", ...). A claim left by a dead process is taken
  // over.
  static std::unique_ptr<InstanceClaim> take(std::uint16_t number, Refusal& refusal,
                                             std::string& error);
  ~InstanceClaim();  // releases the number
  InstanceClaim(const InstanceClaim&) = delete;
  InstanceClaim& operator=(const InstanceClaim&) = delete;

  std::uint16_t number() const noexcept { return number_; }

  struct Held;  // the system's hold, defined per system
  InstanceClaim(std::uint16_t number, std::unique_ptr<Held> held) noexcept;

 private:
  std::uint16_t number_;
  std::unique_ptr<Held> held_;
};

// True when a live process holds the claim of `number` (this process
// included). A claim file of another user never counts.
bool instanceClaimed(std::uint16_t number);

// The first object under the names of instance `number` that is not a
// regular file of this user, described in a line ("'<file>' belongs to uid
// U", "'<file>' is a symbolic link"); empty when there is none.
std::string foreignInstanceObject(std::uint16_t number);

// Removes every object of instance `number` that belongs to this user, except
// the claim; objects of other users are never touched. Called by the holder
// of the claim at start (a dead run's leftovers) and at the end. Returns the
// number of objects removed.
std::size_t clearInstanceObjects(std::uint16_t number);

// Clears what killed hosts of this user left behind: for every claim file of
// ours that no live process holds, takes the claim over, removes the
// instance's objects of this user (as clearInstanceObjects) and releases the
// claim. Live instances, instances without a claim file, and other users'
// objects are never touched. Called at every host start, so that a SIGKILLed
// run's objects do not stay until its number is used again. Returns the
// number of objects removed. On Windows, where named objects die with their
// last handle, there is nothing to clear.
std::size_t sweepDeadInstances();

}  // namespace vornix::host

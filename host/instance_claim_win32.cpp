// Instance claims on Windows: a named mutex of the instance's own name that
// this process created. Named objects die with their last handle, so a dead
// owner leaves nothing to clear, and the per-session "Local\" namespace keeps
// other users' objects apart (host/instance_claim.h).
#include <windows.h>

#include <cstdint>
#include <string>

#include "host/instance_claim.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::host {

namespace {

std::string claimName(std::uint16_t number) {
  return instanceClaimMutexName(number);
}

}  // namespace

struct InstanceClaim::Held {
  HANDLE handle = nullptr;
  ~Held() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
};

InstanceClaim::InstanceClaim(std::uint16_t number, std::unique_ptr<Held> held) noexcept
    : number_(number), held_(std::move(held)) {}
InstanceClaim::~InstanceClaim() = default;

std::unique_ptr<InstanceClaim> InstanceClaim::take(std::uint16_t number, Refusal& refusal,
                                                   std::string& error) {
  auto held = std::make_unique<Held>();
  held->handle = ::CreateMutexA(nullptr, FALSE, claimName(number).c_str());
  if (held->handle == nullptr) {
    refusal = Refusal::failed;
    error = formatString("instance %u: its claim cannot be created (error %lu)", number,
                         static_cast<unsigned long>(::GetLastError()));
    return nullptr;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    refusal = Refusal::inUse;
    error = formatString("instance %u is in use by another process", number);
    return nullptr;
  }
  refusal = Refusal::none;
  return std::make_unique<InstanceClaim>(number, std::move(held));
}

bool instanceClaimed(std::uint16_t number) {
  HANDLE handle = ::OpenMutexA(SYNCHRONIZE, FALSE, claimName(number).c_str());
  if (handle == nullptr) return false;
  ::CloseHandle(handle);
  return true;
}

std::string foreignInstanceObject(std::uint16_t) {
  return {};
}

std::size_t clearInstanceObjects(std::uint16_t) {
  return 0;
}

std::size_t sweepDeadInstances() {
  return 0;
}

}  // namespace vornix::host

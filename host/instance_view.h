// InstanceView: a read-only look, from any process of the same user, at the
// shared-memory sections of a live system instance: its components with
// their statistics, its message queues, and its temporal store.
//
// Nothing is written to the sections, and no mutex of the instance is ever
// taken: a viewer stopped (SIGSTOP) or slow at any moment can never stall the
// writers. Each section is copied whole in relaxed atomic loads while the
// writers go on; the copy counts only when the section's published serial
// and its size word read the same before and after it (else it is made
// again, a few times, and then the snapshot reports the instance as busy).
// Every field is then read from the copy through the bounds-checked helpers
// of util/bytes.h, so a copy that mixes older and newer fields can give odd
// figures but never a read outside it. The current section is found anew
// through its published serial at every snapshot, so a section that was
// replaced (grown) meanwhile is followed. The view never creates an object of
// the instance: a section that is not there makes the snapshot fail instead.
//
// Thread safety: one thread at a time per object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vornix::host {

struct ComponentView {
  std::uint32_t id = 0;
  std::string name;
  std::uint8_t status = 0;
  std::uint64_t lastUpdate = 0;  // µs, 0 = never
  std::uint64_t received = 0, receivedBytes = 0, posted = 0, postedBytes = 0;
  std::uint64_t undelivered = 0;  // messages the router could not queue for it
  std::string lastReceivedType;   // printable; empty when none was received
  std::string lastPostedType;
};

struct QueueView {
  std::uint32_t id = 0;
  std::int32_t process = -1;  // the process whose record lists it; -1 = none
  std::uint64_t size = 0;     // whole queue, header included
  std::uint64_t capacity = 0;
  std::uint64_t used = 0;     // unread bytes between R and W
  std::uint32_t counter = 0;  // messages appended so far (wraps)
};

struct BinView {
  std::uint32_t blockSize = 0, blockCount = 0, blocksInUse = 0;
  std::uint64_t bytesInUse = 0;
};

struct StoreView {
  std::uint32_t serial = 0;
  std::uint64_t sectionSize = 0;
  std::uint32_t slotCount = 0, slotsInUse = 0;
  std::uint64_t bytesInUse = 0;
  std::vector<BinView> bins;
};

struct InstanceSnapshot {
  std::uint16_t instance = 0;
  std::uint32_t componentSerial = 0, processSerial = 0;
  std::vector<ComponentView> components;
  std::vector<QueueView> queues;
  std::optional<StoreView> store;  // empty when the instance has no store
};

// The instance numbers of this user that a live host holds now and whose
// master section is this user's, ascending (a file planted under one of our
// names, or a dead host's leftovers, is no running instance).
std::vector<std::uint16_t> listInstances();

class InstanceView {
 public:
  // Attaches to the master section of `instance`. Null with the reason in
  // `error` when the instance has no master section (it is not running).
  [[nodiscard]] static std::unique_ptr<InstanceView> open(std::uint16_t instance,
                                                          std::string& error);
  ~InstanceView();
  InstanceView(const InstanceView&) = delete;
  InstanceView& operator=(const InstanceView&) = delete;

  std::uint16_t instance() const noexcept;

  // Reads everything once. Nullopt with the reason in `error` when a
  // section is missing or corrupt, or kept changing through every copy.
  [[nodiscard]] std::optional<InstanceSnapshot> snapshot(std::string& error);

  struct State;

  // Only the factory can make a view (the key is private to it).
  class Key {
    friend class InstanceView;
    Key() = default;
  };
  InstanceView(Key, std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vornix::host

// AnalysisState: the process-wide state of the three analysis entry points,
// and how a run gets hold of it.
//
// The state has two parts with separate users:
// - the pitch table, used by AnalyzeSingle and AnalyzeSingleContinuous, each
//   of which resets it when it starts;
// - the speaker floor (floor state, open segment, speaking flag per
//   speaker), used by AnalyzeTwo, which empties the segment when it starts
//   and keeps the floor state and the speakers from one run to the next.
//
// Sharing rule. A run leases the part it uses for as long as it runs. When
// the process-wide part is free, the run gets it, so runs that follow each
// other see what earlier runs left (the floor state and the speakers carry
// over; the table is reset by every start anyway). When another run holds
// it, the new run gets a private part of its own, built as at load, and
// dropped when the run ends. Two runs therefore never touch the same object
// at once, and two concurrent single-speaker runs (one per speaker) never
// fold both speakers' turns into one running mean.
//
// Thread safety: leasing and releasing are thread-safe; a leased part is used
// by its holder's thread only. The lease's release (a store with release
// order) pairs with the next lease's claim (a compare-exchange with acquire
// order), so a run sees everything the previous holder wrote.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "analysis/pitch_table_xml.h"
#include "analysis/xml_segment.h"

namespace vornix {

// The part of the state that the two-speaker analysis uses.
struct SpeakerFloor {
  // 0 = silence, 1 = one speaker, 2 = overlap.
  std::int32_t floorState = 0;
  // The open segment; empty when none is open.
  XMLSegment segment;
  // Speaking flag per speaker key, ordered by byte-wise key comparison.
  std::map<std::string, bool> speakers;
};

struct AnalysisState {
  SpeakerFloor floor;
  PitchTableXML table;
};

// Exclusive use of one part of the analysis state for the lifetime of the
// lease. Move-only; the part is released when the lease is destroyed.
template <class Part>
class StateLease {
 public:
  // A lease of the shared `part`, already claimed through `claim`.
  StateLease(Part& part, std::atomic<bool>& claim) noexcept : part_(&part), claim_(&claim) {}
  // A lease of a private part, built as at load.
  StateLease() : own_(std::make_unique<Part>()) { part_ = own_.get(); }

  StateLease(StateLease&& other) noexcept
      : part_(other.part_), own_(std::move(other.own_)), claim_(other.claim_) {
    other.part_ = nullptr;
    other.claim_ = nullptr;
  }
  StateLease& operator=(StateLease&&) = delete;
  StateLease(const StateLease&) = delete;
  StateLease& operator=(const StateLease&) = delete;
  ~StateLease() {
    // Pairs with the acquire of the next SharedAnalysisState::claim.
    if (claim_ != nullptr) claim_->store(false, std::memory_order_release);
  }

  Part& operator*() const noexcept { return *part_; }
  Part* operator->() const noexcept { return part_; }
  // True when this lease holds the process-wide part.
  bool isShared() const noexcept { return claim_ != nullptr; }

 private:
  Part* part_ = nullptr;
  std::unique_ptr<Part> own_;
  std::atomic<bool>* claim_ = nullptr;
};

// One analysis state and the claims on its parts.
class SharedAnalysisState {
 public:
  // The table part: the shared one when free, else a private one.
  // Throws std::bad_alloc only.
  StateLease<PitchTableXML> leaseTable() { return lease(state_.table, tableClaimed_); }
  // The speaker-floor part: the shared one when free, else a private one.
  StateLease<SpeakerFloor> leaseFloor() { return lease(state_.floor, floorClaimed_); }

 private:
  template <class Part>
  static StateLease<Part> lease(Part& part, std::atomic<bool>& claimed) {
    bool expected = false;
    // Pairs with the release in ~StateLease.
    if (claimed.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      return StateLease<Part>(part, claimed);
    }
    return StateLease<Part>();
  }

  AnalysisState state_;
  std::atomic<bool> tableClaimed_{false};
  std::atomic<bool> floorClaimed_{false};
};

// The process's analysis state, shared by the analysis entry points; it
// lives until the library is unloaded.
SharedAnalysisState& processAnalysisState();

}  // namespace vornix

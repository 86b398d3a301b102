"""Scores of one system on one file against the ground truth, and their sums.

- Frames: 10 ms per channel; a frame is detected speech when a segment covers
  its middle. F1 of speech frames, miss rate (speech frames missed / speech
  frames), false-alarm rate (non-speech frames called speech / non-speech
  frames).
- Utterances: each true utterance is paired with the detected segment of the
  same channel that overlaps it most (one to one, largest overlaps first);
  start and end errors are the median absolute differences of the pairs.
- Events: a true gap, pause, overlap (at a change of speaker) or backchannel
  is found when the system reports one of the same kind whose start and end
  are each within TOLERANCE_MS. "Overlaps located" counts both overlap kinds
  found at the right place whatever their type. A reported event that is
  within tolerance of no true event of any kind is spurious.
- Floor transfers (gaps and overlaps at a change of speaker): a reported
  transfer to the same speaker whose span, widened by TOLERANCE_MS, meets the
  true one's is its match (nearest middles first); the offset error is the
  median absolute difference of the signed offsets.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .floor import Event

TOLERANCE_MS = 200.0
KINDS = ("gap", "pause", "overlap", "backchannel")


def frame_mask(segments: list[tuple[float, float]], frames: int) -> np.ndarray:
    mask = np.zeros(frames, dtype=bool)
    for s, e in segments:
        a = max(0, math.ceil((s - 5.0) / 10.0))
        b = min(frames, math.ceil((e - 5.0) / 10.0))
        if b > a:
            mask[a:b] = True
    return mask


@dataclass
class Score:
    tp: int = 0
    fp: int = 0
    fn: int = 0
    tn: int = 0
    start_errors: list[float] = field(default_factory=list)
    end_errors: list[float] = field(default_factory=list)
    truth_events: dict[str, int] = field(default_factory=lambda: dict.fromkeys(KINDS, 0))
    found_events: dict[str, int] = field(default_factory=lambda: dict.fromkeys(KINDS, 0))
    overlaps_located: int = 0
    spurious: int = 0
    transfers: int = 0
    transfers_found: int = 0
    offset_errors: list[float] = field(default_factory=list)

    def add(self, other: "Score") -> None:
        for name, value in vars(other).items():
            mine = getattr(self, name)
            if isinstance(value, dict):
                for k, v in value.items():
                    mine[k] += v
            else:
                setattr(self, name, mine + value)

    # summary figures
    def f1(self) -> float:
        return 2 * self.tp / max(1, 2 * self.tp + self.fp + self.fn)

    def miss(self) -> float:
        return self.fn / max(1, self.tp + self.fn)

    def false_alarm(self) -> float:
        return self.fp / max(1, self.fp + self.tn)

    def found(self, kind: str) -> float | None:
        """Share of the true events of `kind` found; None when there are none."""
        n = self.truth_events[kind]
        return self.found_events[kind] / n if n else None

    def located(self) -> float | None:
        n = self.truth_events["overlap"] + self.truth_events["backchannel"]
        return self.overlaps_located / n if n else None

    def spurious_rate(self) -> float:
        return self.spurious / max(1, sum(self.truth_events.values()))

    def transfer_rate(self) -> float | None:
        return self.transfers_found / self.transfers if self.transfers else None

    def summary(self) -> dict:
        med = lambda xs: float(np.median(np.abs(xs))) if xs else None
        return {
            "f1": self.f1(), "miss": self.miss(), "false_alarm": self.false_alarm(),
            "start_error_ms": med(self.start_errors), "end_error_ms": med(self.end_errors),
            "start_bias_ms": float(np.median(self.start_errors)) if self.start_errors else None,
            "end_bias_ms": float(np.median(self.end_errors)) if self.end_errors else None,
            "truth_events": dict(self.truth_events), "found_events": dict(self.found_events),
            "overlaps_located": self.overlaps_located, "spurious": self.spurious,
            "transfers": self.transfers, "transfers_found": self.transfers_found,
            "offset_error_ms": med(self.offset_errors),
        }


def pair_utterances(truth, detected):
    """(truth, detected) pairs, one to one, largest overlap first."""
    candidates = []
    for i, (ts, te) in enumerate(truth):
        for j, (ds, de) in enumerate(detected):
            overlap = min(te, de) - max(ts, ds)
            if overlap > 0:
                candidates.append((-overlap, i, j))
    candidates.sort()
    used_t, used_d, pairs = set(), set(), []
    for _, i, j in candidates:
        if i not in used_t and j not in used_d:
            used_t.add(i)
            used_d.add(j)
            pairs.append((truth[i], detected[j]))
    return pairs


def close(a: Event, b: Event) -> bool:
    return abs(a.start - b.start) <= TOLERANCE_MS and abs(a.end - b.end) <= TOLERANCE_MS


def match_events(truth: list[Event], detected: list[Event], same) -> int:
    """Number of true events paired one to one with a detected event `same`
    accepts, nearest first."""
    candidates = sorted(
        (abs(t.start - d.start) + abs(t.end - d.end), i, j)
        for i, t in enumerate(truth) for j, d in enumerate(detected) if same(t, d))
    used_t, used_d = set(), set()
    for _, i, j in candidates:
        if i not in used_t and j not in used_d:
            used_t.add(i)
            used_d.add(j)
    return len(used_t)


def score(truth_segments, truth_events: list[Event], frames: int,
          segments, events: list[Event]) -> Score:
    s = Score()
    for channel in (1, 2):
        t = frame_mask(truth_segments[channel], frames)
        d = frame_mask(segments.get(channel, []), frames)
        s.tp += int(np.sum(t & d))
        s.fp += int(np.sum(~t & d))
        s.fn += int(np.sum(t & ~d))
        s.tn += int(np.sum(~t & ~d))
        for (ts, te), (ds, de) in pair_utterances(truth_segments[channel], segments.get(channel, [])):
            s.start_errors.append(ds - ts)
            s.end_errors.append(de - te)

    for kind in KINDS:
        of_kind = [e for e in truth_events if e.kind == kind]
        s.truth_events[kind] = len(of_kind)
        s.found_events[kind] = match_events(of_kind, [e for e in events if e.kind == kind], close)
    overlaps = [e for e in truth_events if e.kind in ("overlap", "backchannel")]
    s.overlaps_located = match_events(
        overlaps, [e for e in events if e.kind in ("overlap", "backchannel")], close)
    s.spurious = sum(1 for d in events if not any(close(t, d) for t in truth_events))

    true_transfers = [e for e in truth_events if e.is_transfer]
    found_transfers = [e for e in events if e.is_transfer]
    s.transfers = len(true_transfers)
    candidates = []
    for i, t in enumerate(true_transfers):
        for j, d in enumerate(found_transfers):
            if d.taker != t.taker:
                continue
            lo_t, hi_t = sorted((t.start, t.end))
            lo_d, hi_d = sorted((d.start, d.end))
            if lo_d - TOLERANCE_MS <= hi_t and lo_t - TOLERANCE_MS <= hi_d:
                candidates.append((abs((lo_t + hi_t) - (lo_d + hi_d)) / 2, i, j))
    candidates.sort()
    used_t, used_d = set(), set()
    for _, i, j in candidates:
        if i not in used_t and j not in used_d:
            used_t.add(i)
            used_d.add(j)
            s.offset_errors.append(found_transfers[j].offset - true_transfers[i].offset)
    s.transfers_found = len(used_t)
    return s

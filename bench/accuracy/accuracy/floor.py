"""Floor events from per-channel speech segments.

The rules are those of the command's conversation analysis, applied to
segments in time order: with nobody speaking a silence opens, and it is a
"pause" when the speaker who stopped goes on, a "gap" when another speaker
takes over; with two speaking an overlap opens and closes when one of them
stops. An overlap closed by the speaker who came in (a short utterance of the
listener inside the other's turn that does not take the floor) is a
"backchannel"; one closed by the speaker who was already talking is an
overlap at a change of speaker ("overlap").

Floor transfers are the gaps (positive offset) and the overlaps at a change
of speaker (negative offset); backchannels and pauses are not transfers.
"""
from __future__ import annotations

from dataclasses import dataclass


@dataclass
class Event:
    kind: str  # "gap", "pause", "overlap" or "backchannel"
    start: float  # ms
    end: float  # ms
    opener: int  # channel whose change opened it (stopped for silences, came in for overlaps)
    closer: int  # channel whose change closed it

    @property
    def is_transfer(self) -> bool:
        return self.kind in ("gap", "overlap")

    @property
    def taker(self) -> int:
        """The channel that holds the floor after a transfer."""
        return self.closer if self.kind == "gap" else self.opener

    @property
    def offset(self) -> float:
        """Floor-transfer offset in ms: positive for a gap, negative for an overlap."""
        return self.end - self.start if self.kind == "gap" else self.start - self.end

    def to_json(self) -> dict:
        return {"kind": self.kind, "start": self.start, "end": self.end,
                "opener": self.opener, "closer": self.closer}


def classify_silence(opener: int, closer: int) -> str:
    return "pause" if opener == closer else "gap"


def classify_overlap(opener: int, closer: int) -> str:
    return "backchannel" if opener == closer else "overlap"


def floor_events(segments: dict[int, list[tuple[float, float]]]) -> list[Event]:
    """Events of the segments of each channel ({channel: [(start_ms, end_ms)]})."""
    changes = []
    for channel, segs in segments.items():
        for start, end in segs:
            if end > start:
                changes.append((start, 1, channel, True))
                changes.append((end, 0, channel, False))
    changes.sort()  # at one instant a stop is handled before a start

    speaking: set[int] = set()
    events: list[Event] = []
    open_kind, open_start, opener = None, 0.0, 0
    for time, _, channel, on in changes:
        before = min(len(speaking), 2)
        if on:
            speaking.add(channel)
        else:
            speaking.discard(channel)
        after = min(len(speaking), 2)
        if after == before:
            continue
        if before == 1 and after == 0:
            open_kind, open_start, opener = "silence", time, channel
        elif before == 0 and after == 1 and open_kind == "silence":
            events.append(Event(classify_silence(opener, channel), open_start, time, opener, channel))
            open_kind = None
        elif before < 2 and after == 2:
            open_kind, open_start, opener = "overlap", time, channel
        elif before == 2 and after < 2 and open_kind == "overlap":
            events.append(Event(classify_overlap(opener, channel), open_start, time, opener, channel))
            open_kind = None  # both stopping at once leaves no silence open, as in the command
    return events

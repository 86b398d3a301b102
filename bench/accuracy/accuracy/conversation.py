"""Two-speaker conversations assembled from recordings, with exact ground truth.

A conversation alternates turns between speaker A (channel 1) and speaker B
(channel 2). A turn is one to three recordings separated by in-turn pauses of
400-1200 ms. At a change of speaker the next turn starts after a gap of
200-1000 ms or, in 45 % of changes where both speakers' words are long
enough, 200-800 ms before the current speaker's last word ends (an overlap). Inside a turn of two or more
recordings the listener may put in a backchannel: one short recording
(0.3-0.9 s) placed wholly inside a stretch of the speaker's speech, which
does not take the floor.

Everything is placed on the 10 ms frame grid, so the ground truth is exact:
a frame is speech where the placed recording's own energy says so, and
silences shorter than MIN_SILENCE_MS are filled (the minimum silence every
scored system uses). Each channel gets its own speech level, drawn between
-36 and -26 dBFS of active speech; each recording is set to it within
+-2 dB, as a speaker's loudness varies in a real recording.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .corpus import FRAME, Clip, Corpus, frame_energy_db, make_clip, recordings, runs
from .floor import Event, floor_events

MIN_SILENCE_MS = 300
MIN_SILENCE_FRAMES = MIN_SILENCE_MS // 10
STOP_DB = 20.0  # a stop between words, where a backchannel recording may be cut
SPEAKERS = ("A", "B")


@dataclass
class Placement:
    channel: int  # 0 or 1
    start: int  # frame
    clip: Clip
    gain: float  # linear

    @property
    def end(self) -> int:
        return self.start + self.clip.frames


@dataclass
class Conversation:
    frames: int
    placements: list[Placement] = field(default_factory=list)
    levels_db: tuple[float, float] = (-30.0, -30.0)

    def speech_signal(self, channel: int) -> np.ndarray:
        """The channel's close-talk speech, float64, before any noise."""
        out = np.zeros(self.frames * FRAME)
        for p in self.placements:
            if p.channel == channel:
                out[p.start * FRAME: p.end * FRAME] += p.gain * p.clip.samples
        return out

    def speech_frames(self, channel: int) -> np.ndarray:
        """Ground truth per 10 ms frame: the recordings' speech, short silences filled."""
        mask = np.zeros(self.frames, dtype=bool)
        for p in self.placements:
            if p.channel == channel:
                mask[p.start: p.end] |= p.clip.speech
        return fill_short_silences(mask, MIN_SILENCE_FRAMES)

    def segments(self, channel: int) -> list[tuple[float, float]]:
        """Ground-truth utterances in ms."""
        return [(10.0 * a, 10.0 * b) for a, b in runs(self.speech_frames(channel))]

    def events(self) -> list[Event]:
        return floor_events({1: self.segments(0), 2: self.segments(1)})


def fill_short_silences(mask: np.ndarray, min_frames: int) -> np.ndarray:
    """Speech mask with silences shorter than min_frames between speech filled."""
    out = mask.copy()
    r = runs(mask)
    for (_, end), (start, _) in zip(r, r[1:]):
        if start - end < min_frames:
            out[end:start] = True
    return out


def active_level_db(clip: Clip) -> float:
    """Mean energy of the recording's speech frames, dB re full scale."""
    energy = frame_energy_db(clip.samples)
    return float(10 * np.log10(np.mean(10 ** (energy[clip.speech] / 10))))


class ClipSource:
    """Draws recordings of one speaker in a seeded order, each at most once."""

    def __init__(self, corpus: Corpus, speaker: str, rng: np.random.Generator):
        self.corpus = corpus
        files = recordings(speaker)
        if len(files) < 50:
            raise RuntimeError(f"only {len(files)} recordings of speaker {speaker}: "
                               "is fillets-ng-data-nl installed (bench/accuracy/setup)?")
        self.durations = corpus.durations(files)
        files = [f for f in files if self.durations[f] >= 0.5]  # a few files are empty
        self.order = [files[i] for i in rng.permutation(len(files))]
        self.used: set[str] = set()

    def draw(self, min_frames: int, max_frames: int) -> Clip:
        for path in self.order:
            if path in self.used:
                continue
            seconds = self.durations[path]
            # the header duration bounds the trimmed one from above
            if seconds * 100 < min_frames:
                continue
            clip = self.corpus.clip(path)
            if min_frames <= clip.frames <= max_frames:
                self.used.add(path)
                return clip
        raise RuntimeError(f"no unused recording of {min_frames}-{max_frames} frames left")

    def draw_short(self, min_frames: int, max_frames: int) -> Clip:
        """The opening words of an unused recording, cut in a stop between
        words (at least 30 ms STOP_DB below its loudest frame) and faded out
        over 5 ms; its truth is taken again from the cut samples' energy."""
        for path in self.order:
            if path in self.used:
                continue
            clip = self.corpus.clip(path)
            energy = frame_energy_db(clip.samples)
            quiet = energy < energy.max() - STOP_DB
            for cut in range(min(max_frames, len(quiet) - 3), min_frames - 1, -1):
                if quiet[cut: cut + 3].all() and not quiet[cut - 1]:
                    break
            else:
                continue
            self.used.add(path)
            x = clip.samples[: (cut + 1) * FRAME].copy()
            fade = FRAME // 2
            x[-fade:] *= 0.5 + 0.5 * np.cos(np.linspace(0.0, np.pi, fade))
            short = make_clip(f"{clip.name}[:{(cut + 1) * 10}ms]", x, clip.threshold_db)
            if short.frames >= min_frames:
                return short
        raise RuntimeError(f"no unused recording opens with {min_frames}-{max_frames} frames of speech")


def filled_runs(clip: Clip) -> list[tuple[int, int]]:
    return runs(fill_short_silences(clip.speech, MIN_SILENCE_FRAMES))


def generate(corpus: Corpus, rng: np.random.Generator, seconds: float) -> Conversation:
    sources = [ClipSource(corpus, s, rng) for s in SPEAKERS]
    levels = tuple(float(rng.uniform(-36.0, -26.0)) for _ in SPEAKERS)
    conv = Conversation(frames=0, levels_db=levels)
    last_end = [0, 0]  # end frame of each channel's latest recording

    def place(channel: int, start: int, clip: Clip) -> Placement:
        level = levels[channel] + rng.uniform(-2.0, 2.0)
        gain = 10 ** ((level - active_level_db(clip)) / 20)
        p = Placement(channel, start, clip, gain)
        conv.placements.append(p)
        last_end[channel] = max(last_end[channel], p.end)
        return p

    def frames_between(lo_ms: float, hi_ms: float) -> int:
        return int(rng.integers(round(lo_ms / 10), round(hi_ms / 10) + 1))

    def maybe_backchannel(speaker: int, utterance: Placement) -> None:
        listener = 1 - speaker
        if rng.random() >= 0.5:
            return
        clip = sources[listener].draw_short(30, 90)
        for a, b in filled_runs(utterance.clip):
            lo = utterance.start + a + 30  # 300 ms into the speaker's stretch
            hi = utterance.start + b - 30 - clip.frames  # ends 300 ms before its end
            lo = max(lo, last_end[listener] + 2 * MIN_SILENCE_FRAMES)
            if hi >= lo:
                place(listener, int(rng.integers(lo, hi + 1)), clip)
                return

    def turn(speaker: int, start: int, clip: Clip) -> Placement:
        """Places a turn of one to three recordings; returns its last one."""
        last = place(speaker, start, clip)
        for _ in range(int(rng.choice([1, 2, 3], p=[0.45, 0.35, 0.2])) - 1):
            maybe_backchannel(speaker, last)
            start = last.end + frames_between(400, 1200)
            last = place(speaker, start, sources[speaker].draw(80, 600))
        return last

    end_frames = int(seconds * 100)
    speaker = int(rng.integers(2))
    last = turn(speaker, frames_between(500, 1500), sources[speaker].draw(80, 600))
    while last.end < end_frames:
        # change of speaker: a gap, or an overlap with the last word when
        # both the last and the next stretch of speech outlast it by 300 ms
        nxt = 1 - speaker
        clip = sources[nxt].draw(80, 600)
        final_run = filled_runs(last.clip)[-1]
        first_run = filled_runs(clip)[0]
        overlap = frames_between(200, 800)
        can_overlap = (final_run[1] - final_run[0] >= overlap + 30
                       and first_run[1] - first_run[0] >= overlap + 30)
        if rng.random() < 0.45 and can_overlap:
            start = last.end - overlap
        else:
            start = last.end + frames_between(200, 1000)
        start = max(start, last_end[nxt] + 2 * MIN_SILENCE_FRAMES)
        speaker = nxt
        last = turn(speaker, start, clip)
    conv.frames = max(last_end) + frames_between(500, 1000)
    return conv

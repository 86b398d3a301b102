"""The systems scored: Loquant's `analyze`, and the peer voice-activity detectors.

Every system gives per-channel speech segments (ms) and floor events.
Loquant's are what the command reports to its user, read from its TextGrid:
the speaker tiers' utterances and the turn-taking tier's gaps, pauses and
overlaps ("Overlap between" at a change of speaker, "Overlap within" for a
backchannel), which the command computes from the utterances. The raw floor
posts of the JSON lines are not scored: they are the two-speaker component's
own, and a short gap whose speaker's SpeechOff arrives after the other's
SpeechOn is posted there as an overlap that ends before it starts. The
peers' events come from their segments through the same rules (floor.py).

The peers run with the same 300 ms minimum silence:
- Silero VAD: speech probability per 32 ms window at 16 kHz, turned into
  segments as its authors' reference post-processing does (start at 0.5, end
  below 0.35 held for the minimum silence, segments under 250 ms dropped,
  30 ms padding on each side);
- WebRTC VAD (libfvad) in aggressiveness mode M: its 10 ms decisions, silences
  under 300 ms filled, segments under 250 ms dropped.
"""
from __future__ import annotations

import json
import os
import re
import subprocess

import numpy as np

from .floor import Event, floor_events

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIN_SILENCE_MS = 300
MIN_SPEECH_MS = 250


class PipelineError(RuntimeError):
    """A system could not be run or its output could not be read."""


# ---------------------------------------------------------------- Loquant

def run_loquant(binary: str, wav: str, extra_args: list[str], fmt: str) -> str:
    cmd = [binary, "analyze", wav, "--format", fmt, *extra_args]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0:
        raise PipelineError(f"{' '.join(cmd)} exited {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def channel_of(name: str) -> int:
    m = re.search(r"(\d+)$", name)
    if not m:
        raise PipelineError(f"no channel number in speaker name {name!r}")
    return int(m.group(1))


TURN_KINDS = {"Overlap between": "overlap", "Overlap within": "backchannel",
              "Silence within": "pause", "Silence giving": "gap"}


def parse_textgrid(text: str) -> dict[str, list[tuple[float, float, str]]]:
    """The labelled intervals (start ms, end ms, label) of each tier of a
    TextGrid as `loquant analyze --format textgrid` writes it."""
    tiers: dict[str, list[tuple[float, float, str]]] = {}
    intervals = None
    lo = hi = None
    for raw in text.splitlines():
        line = raw.strip()
        m = re.match(r'name = "(.*)"$', line)
        if m:
            intervals = tiers.setdefault(m.group(1), [])
            continue
        m = re.match(r"(xmin|xmax) = ([0-9.]+)$", line)
        if m and raw.startswith(" " * 12):  # an interval's bounds, not the tier's
            if m.group(1) == "xmin":
                lo = float(m.group(2)) * 1000
            else:
                hi = float(m.group(2)) * 1000
            continue
        m = re.match(r'text = "(.*)"$', line)
        if m:
            if intervals is None or lo is None or hi is None:
                raise PipelineError(f"TextGrid interval outside a tier: {raw!r}")
            if m.group(1):
                intervals.append((lo, hi, m.group(1)))
            lo = hi = None
    return tiers


def channel_of(name: str) -> int:
    m = re.search(r"(\d+)$", name)
    if not m:
        raise PipelineError(f"no channel number in speaker name {name!r}")
    return int(m.group(1))


def at(segments: dict[int, list[tuple[float, float]]], edge: int, time: float) -> int:
    """The channel with a segment edge (0 start, 1 end) at `time` ms."""
    for channel, segs in segments.items():
        if any(abs(seg[edge] - time) < 0.5 for seg in segs):
            return channel
    raise PipelineError(f"turn-taking interval edge at {time} ms meets no utterance")


def command_reading(tiers: dict[str, list[tuple[float, float, str]]]):
    """Per-channel speech segments from the speaker tiers, and the events of
    the turn-taking tier, whose opener and closer are the speakers whose
    utterance edges bound each interval."""
    segments: dict[int, list[tuple[float, float]]] = {1: [], 2: []}
    for name, intervals in tiers.items():
        if name == "turn-taking" or name.endswith(" trend"):
            continue
        segments[channel_of(name)] = sorted((lo, hi) for lo, hi, label in intervals if label == "speech")
    events = []
    for lo, hi, label in tiers.get("turn-taking", []):
        kind = TURN_KINDS.get(label)
        if kind is None:
            raise PipelineError(f"unknown turn-taking label {label!r}")
        if kind in ("gap", "pause"):
            opener, closer = at(segments, 1, lo), at(segments, 0, hi)
        else:
            opener, closer = at(segments, 0, lo), at(segments, 1, hi)
        events.append(Event(kind, lo, hi, opener, closer))
    return segments, events


def loquant(binary: str, wav: str, extra_args: list[str]):
    """What the command reports: its TextGrid's speech tiers and turn-taking tier."""
    return command_reading(parse_textgrid(run_loquant(binary, wav, extra_args, "textgrid")))


# ---------------------------------------------------------------- peers

def ensure_peers_installed() -> None:
    if not os.path.isdir(os.path.join(HERE, "node_modules", "onnxruntime-node")):
        raise PipelineError("peer detectors missing: run bench/accuracy/setup --peers")


def resampled(wav: str, rate: int) -> str:
    """A copy of `wav` at `rate` Hz beside it (made once, by sox at its default
    quality), as a recording made at that rate would reach Loquant."""
    out = f"{wav[:-4]}.{rate}.wav"
    if not os.path.exists(out):
        subprocess.run(["sox", "-D", "-V1", wav, "-r", str(rate), out + ".tmp.wav"], check=True)
        os.replace(out + ".tmp.wav", out)
    return out


def decode_16k(wav: str, channel: int, out: str) -> None:
    subprocess.run(["sox", "-D", "-V1", wav, "-t", "raw", "-e", "floating-point", "-b", "32",
                    "-r", "16000", out, "remix", str(channel)], check=True)


def run_peer_detectors(jobs: list[dict], workers: int = 2) -> None:
    """jobs: [{"input": 16 kHz float32 file, "output": json file}], shared out
    between `workers` single-threaded node processes."""
    if not jobs:
        return
    ensure_peers_installed()
    running = []
    for w in range(min(workers, len(jobs))):
        listing = f"{jobs[0]['input']}.{w}.jobs.json"
        with open(listing, "w") as f:
            json.dump(jobs[w::workers], f)
        running.append(subprocess.Popen(
            ["node", os.path.join(HERE, "peers", "vad.mjs"), listing], cwd=HERE,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True))
    for process in running:
        stderr = process.communicate()[1]
        if process.returncode != 0:
            raise PipelineError(f"peer detectors failed: {stderr.strip()[-2000:]}")


def silero_segments(probs: list[float], threshold: float = 0.5, window_ms: float = 32.0,
                    pad_ms: float = 30.0) -> list[tuple[float, float]]:
    negative = threshold - 0.15
    total = len(probs) * window_ms
    segments, triggered, start, temp_end = [], False, 0.0, None
    for i, p in enumerate(probs):
        t = i * window_ms
        if p >= threshold and temp_end is not None:
            temp_end = None
        if p >= threshold and not triggered:
            triggered, start = True, t
            continue
        if p < negative and triggered:
            if temp_end is None:
                temp_end = t
            if t - temp_end < MIN_SILENCE_MS:
                continue
            if temp_end - start >= MIN_SPEECH_MS:
                segments.append((start, temp_end))
            triggered, temp_end = False, None
    if triggered and total - start >= MIN_SPEECH_MS:
        segments.append((start, total))
    padded = [(max(0.0, s - pad_ms), min(total, e + pad_ms)) for s, e in segments]
    return merge(padded, 0.0)


def webrtc_segments(decisions: list[int], frame_ms: float = 10.0) -> list[tuple[float, float]]:
    d = np.asarray(decisions, dtype=bool)
    padded = np.concatenate(([False], d, [False]))
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    segments = [(a * frame_ms, b * frame_ms) for a, b in zip(edges[0::2], edges[1::2])]
    return [(s, e) for s, e in merge(segments, MIN_SILENCE_MS) if e - s >= MIN_SPEECH_MS]


def merge(segments: list[tuple[float, float]], min_gap: float) -> list[tuple[float, float]]:
    """Segments joined across silences shorter than min_gap (and overlaps)."""
    out: list[list[float]] = []
    for s, e in sorted(segments):
        if out and (s <= out[-1][1] or s - out[-1][1] < min_gap):
            out[-1][1] = max(out[-1][1], e)
        else:
            out.append([s, e])
    return [(float(s), float(e)) for s, e in out]


def peer_result(raw: dict[int, dict], system: str):
    """Segments and events of a peer from its raw per-channel output."""
    segments = {}
    for channel, data in raw.items():
        if system == "silero":
            segments[channel] = silero_segments(data["silero"])
        elif system.startswith("webrtc"):
            segments[channel] = webrtc_segments(data["webrtc"][system[len("webrtc"):]])
        else:
            raise ValueError(system)
    return segments, floor_events(segments)

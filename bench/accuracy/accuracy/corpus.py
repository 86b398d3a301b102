"""The recorded speech the conversations are built from.

Source: the Dutch dialogue recordings of the fillets-ng-data-nl package, two
voice actors recorded line by line (names "<level>-m-<line>.ogg" for the
higher voice, "<level>-v-<line>.ogg" for the lower one), plus the lines of the
other characters, used only for babble noise. The files are 22.05 kHz Vorbis;
they are decoded once with sox to 44.1 kHz mono float (no dither, so the same
bytes on every run), high-passed at HIGHPASS_HZ, and kept in the work folder.

The high-pass stands for the low cut of any microphone input. Some recordings
drift far below the voice (a mean of up to 2,000 of 32,768),
and without it that drift alone counted as speech: a line placed in silence
opened with a step that the truth called a word, up to 300 ms before the
voice.

Ground truth of a recording comes from its own energy: a 10 ms frame is speech
when its energy is within TRUTH_RANGE_DB of the recording's loudest frame.
Leading and trailing frames below that are cut off, so a placed recording
starts and ends with speech exactly on a 10 ms frame boundary.
"""
from __future__ import annotations

import glob
import os
import re
import subprocess
from dataclasses import dataclass

import numpy as np

RATE = 44100
FRAME = RATE // 100  # samples per 10 ms frame
TRUTH_RANGE_DB = 30.0  # speech: frame energy within this of the loudest frame
HIGHPASS_HZ = 60  # low cut applied at decoding (sox "highpass", two poles)
SOUND_DIR = "/usr/share/games/fillets-ng/sound"

# speaker -> file name pattern
SPEAKER_PATTERNS = {
    "A": re.compile(r"^[^-]+-m-[a-z0-9_]+\.ogg$"),  # higher voice (median f0 about 215 Hz)
    "B": re.compile(r"^[^-]+-v-[a-z0-9_]+\.ogg$"),  # lower voice (median f0 about 145 Hz)
}


@dataclass
class Clip:
    """A trimmed recording: samples start and end with a speech frame."""

    name: str
    samples: np.ndarray  # float32, RATE Hz, len multiple of FRAME
    speech: np.ndarray  # bool per 10 ms frame, by the recording's own energy
    threshold_db: float  # the energy of a speech frame is above this

    @property
    def frames(self) -> int:
        return len(self.speech)

    def speech_runs(self) -> list[tuple[int, int]]:
        """Runs of speech frames as [start, end) frame indices."""
        return runs(self.speech)


def runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """[start, end) index pairs of the True runs of a boolean array."""
    padded = np.concatenate(([False], mask.astype(bool), [False]))
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    return [(int(a), int(b)) for a, b in zip(edges[0::2], edges[1::2])]


def frame_energy_db(x: np.ndarray) -> np.ndarray:
    n = len(x) // FRAME
    frames = x[: n * FRAME].astype(np.float64).reshape(n, FRAME)
    return 10.0 * np.log10(np.mean(frames * frames, axis=1) + 1e-20)


def recordings(speaker: str) -> list[str]:
    """The recordings of speaker "A" or "B", or of everyone else ("others")."""
    files = sorted(glob.glob(os.path.join(SOUND_DIR, "*", "nl", "*.ogg")))
    if speaker == "others":
        return [f for f in files
                if not any(p.match(os.path.basename(f)) for p in SPEAKER_PATTERNS.values())]
    return [f for f in files if SPEAKER_PATTERNS[speaker].match(os.path.basename(f))]


class Corpus:
    """Decodes recordings on first use and keeps them in `cache_dir`."""

    def __init__(self, cache_dir: str):
        self.cache_dir = cache_dir
        os.makedirs(cache_dir, exist_ok=True)
        self._durations: dict[str, float] = {}

    def durations(self, files: list[str]) -> dict[str, float]:
        """File durations in seconds as the headers give them (one soxi call)."""
        missing = [f for f in files if f not in self._durations]
        if missing:
            out = subprocess.run(["soxi", "-D", *missing], check=True,
                                 capture_output=True, text=True).stdout.split()
            if len(out) != len(missing):
                raise RuntimeError("soxi gave %d durations for %d files" % (len(out), len(missing)))
            self._durations.update(zip(missing, map(float, out)))
        return {f: self._durations[f] for f in files}

    def decode(self, path: str) -> np.ndarray:
        """The whole recording as float32 mono at RATE Hz, high-passed."""
        cached = os.path.join(self.cache_dir, os.path.relpath(path, SOUND_DIR).replace("/", "_")
                              + f".hp{HIGHPASS_HZ}.npy")
        if os.path.exists(cached):
            return np.load(cached)
        raw = subprocess.run(
            ["sox", "-D", "-V1", path, "-t", "raw", "-e", "floating-point", "-b", "32",
             "-r", str(RATE), "-c", "1", "-", "highpass", str(HIGHPASS_HZ)],
            check=True, capture_output=True).stdout
        x = np.frombuffer(raw, dtype="<f4").copy()
        tmp = cached + ".tmp.npy"
        np.save(tmp, x)
        os.replace(tmp, cached)
        return x

    def clip(self, path: str) -> Clip:
        """The recording trimmed to its first and last speech frame."""
        x = self.decode(path)
        if len(x) < FRAME:
            raise RuntimeError(f"{path} holds no audio")
        return make_clip(os.path.basename(path), x, frame_energy_db(x).max() - TRUTH_RANGE_DB)


def make_clip(name: str, x: np.ndarray, threshold_db: float) -> Clip:
    """`x` trimmed to its first and last frame with energy above threshold_db."""
    speech = frame_energy_db(x) > threshold_db
    idx = np.flatnonzero(speech)
    if len(idx) == 0:
        raise RuntimeError(f"{name}: no frame above {threshold_db:.1f} dB")
    first, last = int(idx[0]), int(idx[-1]) + 1
    return Clip(name, x[first * FRAME: last * FRAME], speech[first:last], threshold_db)

"""The recording conditions: clean, noise at a given SNR, crosstalk.

Noise is added to each channel independently, its level set against that
channel's active speech level (the mean energy of its ground-truth speech
frames): white (Gaussian), pink (1/f power, shaped in the frequency domain)
and babble (six streams of other characters' recordings end to end, summed).
Crosstalk: each channel also hears the other speaker CROSSTALK_DB below that
speaker's own close-talk level, delayed by 1-3 ms (the path between two
microphones a table apart). The "x" conditions (xwhite20, xpink10,
xbabble20) have both: the crosstalk, and the noise at the SNR named, a noisy
room with two microphones. "near" is crosstalk NEAR_CROSSTALK_DB down
(microphones closer together), and "xnear" that with white noise at 20 dB.
"xskew" has white noise at 20 dB too, and channel 1's microphone hears
speaker 2 SKEW_CROSSTALK_DB[0] down, channel 2's hears speaker 1
SKEW_CROSSTALK_DB[1] down: speaker 2 sits near speaker 1's microphone.
"reverb" and "nearreverb" are "crosstalk" and "near" in a room that
reverberates: each microphone hears the other speaker through an impulse
response (impulse_response below: the direct sound 1-3 ms late, then a
diffuse tail decaying by 60 dB in REVERB_RT60 s, as much energy in the tail
as in the direct sound), the whole pick-up at the level named.

Files are stereo 44.1 kHz 16-bit WAVE, one speaker per channel, rounded to
16 bits without dither: the same seed gives the same bytes.
"""
from __future__ import annotations

import os
import wave

import numpy as np

from .conversation import Conversation
from .corpus import FRAME, RATE, Corpus, recordings

CROSSTALK_DB = -20.0
NOISES = ("white", "pink", "babble")
SNRS = (20, 10, 5)
BABBLE_STREAMS = 6
CROSSTALK_AND_NOISE = ("xwhite20", "xpink10", "xbabble20")
NEAR_CROSSTALK_DB = -12.0
NEAR = {"near": None, "xnear": "white20"}  # condition: its noise
SKEW_CROSSTALK_DB = (-10.0, -22.0)
REVERB = {"reverb": CROSSTALK_DB, "nearreverb": NEAR_CROSSTALK_DB}  # condition: pick-up level
REVERB_RT60 = 0.4  # s: a furnished office or living room
REVERB_TAIL_DB = 0.0  # tail energy over direct energy (a talker 1-2 m from the microphone)


def condition_names(smoke: bool = False) -> list[str]:
    if smoke:
        return ["clean", "white10"]
    return (["clean"] + [f"{n}{s}" for n in NOISES for s in SNRS] + ["crosstalk"]
            + list(CROSSTALK_AND_NOISE) + list(NEAR) + ["xskew"] + list(REVERB))


def active_level(signal: np.ndarray, speech_frames: np.ndarray) -> float:
    """Mean power of the signal over the speech frames."""
    frames = signal[: len(speech_frames) * FRAME].reshape(-1, FRAME)
    return float(np.mean(frames[speech_frames] ** 2))


def pink(rng: np.random.Generator, n: int) -> np.ndarray:
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.arange(len(spectrum), dtype=float)
    f[0] = 1.0
    return np.fft.irfft(spectrum / np.sqrt(f), n)


def babble(corpus: Corpus, rng: np.random.Generator, n: int) -> np.ndarray:
    files = [f for f, d in corpus.durations(recordings("others")).items() if d >= 0.5]
    files.sort()
    out = np.zeros(n)
    for _ in range(BABBLE_STREAMS):
        stream = np.zeros(n)
        at = -int(rng.integers(0, 3 * RATE))  # streams start at different points of a line
        while at < n:
            x = corpus.decode(files[int(rng.integers(len(files)))]).astype(np.float64)
            x /= np.sqrt(np.mean(x * x)) + 1e-12
            lo, hi = max(at, 0), min(at + len(x), n)
            if hi > lo:
                stream[lo:hi] += x[lo - at: hi - at]
            at += len(x)
        out += stream
    return out


def noise(kind: str, corpus: Corpus, rng: np.random.Generator, n: int) -> np.ndarray:
    if kind == "white":
        x = rng.standard_normal(n)
    elif kind == "pink":
        x = pink(rng, n)
    elif kind == "babble":
        x = babble(corpus, rng, n)
    else:
        raise ValueError(kind)
    return x / np.sqrt(np.mean(x * x))


def impulse_response(rng: np.random.Generator, delay: int) -> np.ndarray:
    """A room's path from a talker to a microphone, of unit energy: a direct
    impulse `delay` samples late, then from 2 ms after it a Gaussian tail
    whose level falls 60 dB in REVERB_RT60 s, REVERB_TAIL_DB over the direct
    sound in energy, cut where it has fallen 60 dB."""
    start = delay + 2 * RATE // 1000
    n = int(REVERB_RT60 * RATE)
    t = np.arange(n) / RATE
    tail = rng.standard_normal(n) * 10 ** (-3.0 * t / REVERB_RT60)
    tail *= np.sqrt(10 ** (REVERB_TAIL_DB / 10) / np.sum(tail * tail))
    h = np.zeros(start + n)
    h[delay] = 1.0
    h[start:] = tail
    return h / np.sqrt(np.sum(h * h))


def convolve(x: np.ndarray, h: np.ndarray) -> np.ndarray:
    """x convolved with h, cut to len(x) (by FFT)."""
    n = len(x) + len(h) - 1
    size = 1 << (n - 1).bit_length()
    return np.fft.irfft(np.fft.rfft(x, size) * np.fft.rfft(h, size), size)[: len(x)]


def render(conv: Conversation, condition: str, corpus: Corpus, rng: np.random.Generator) -> np.ndarray:
    """The conversation's two channels in the condition, float64, shape (n, 2)."""
    speech = [conv.speech_signal(ch) for ch in (0, 1)]
    truth = [conv.speech_frames(ch) for ch in (0, 1)]
    out = [s.copy() for s in speech]
    n = len(speech[0])
    crosstalk = (condition in ("crosstalk", "xskew") or condition in CROSSTALK_AND_NOISE
                 or condition in NEAR)
    if condition in REVERB:
        for ch in (0, 1):
            delay = int(rng.integers(RATE // 1000, 3 * RATE // 1000 + 1))
            h = impulse_response(rng, delay)
            out[ch] += 10 ** (REVERB[condition] / 20) * convolve(speech[1 - ch], h)
    elif crosstalk:
        for ch in (0, 1):
            if condition == "xskew":
                db = SKEW_CROSSTALK_DB[ch]
            else:
                db = NEAR_CROSSTALK_DB if condition in NEAR else CROSSTALK_DB
            delay = int(rng.integers(RATE // 1000, 3 * RATE // 1000 + 1))
            other = speech[1 - ch]
            out[ch][delay:] += 10 ** (db / 20) * other[: n - delay]
    noisy = NEAR[condition] if condition in NEAR else "white20" if condition == "xskew" else condition
    if noisy is not None and noisy not in ("clean", "crosstalk") and noisy not in REVERB:
        noisy = noisy[1:] if noisy in CROSSTALK_AND_NOISE else noisy
        kind = noisy.rstrip("0123456789")
        snr = float(noisy[len(kind):])
        for ch in (0, 1):
            power = active_level(speech[ch], truth[ch]) / 10 ** (snr / 10)
            out[ch] += np.sqrt(power) * noise(kind, corpus, rng, n)
    return np.stack(out, axis=1)


def write_wav(path: str, x: np.ndarray) -> None:
    pcm = np.clip(np.round(x * 32768.0), -32768, 32767).astype("<i2")
    tmp = path + ".tmp"
    with wave.open(tmp, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())
    os.replace(tmp, path)

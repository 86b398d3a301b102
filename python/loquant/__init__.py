"""Speech and turn-taking analysis: the pitch tracker and the analysis of
`loquant analyze`, from Python.

    >>> import loquant
    >>> frames = loquant.track_pitch(samples, 44100)        # one channel, in memory
    >>> talk = loquant.analyze("conversation.wav")           # one speaker per channel
    >>> talk.events[0]["post"], talk.floor[0]["label"]
    >>> print(talk.summary())

`analyze` runs the same engine as the command and gives the same records for
the same input and parameters. Errors come as exceptions carrying the
command's messages: ValueError for a bad argument or parameter, OSError for a
recording or configuration that cannot be read.
"""

from __future__ import annotations

import json
import math
import os
import tempfile
import wave
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np

from . import _loquant

__all__ = ["track_pitch", "analyze", "Conversation", "PITCH_DTYPE"]
__version__ = "0.1.0"

#: The fields of a row of `track_pitch`: the frame's start in seconds, the
#: pitch on the tracker's scale (half the fundamental), the fundamental in Hz,
#: the wavelet level that accepted the pitch (6: none) and whether the frame
#: was above the noise gate.
PITCH_DTYPE: np.dtype = _loquant.track_pitch(np.zeros(0, np.int16), 1, 2, 0.75, 5.0).dtype


def _samples(data: Any, what: str) -> np.ndarray:
    """`data` as int16 samples of shape (samples,) or (samples, channels):
    int16 arrays as they are (no copy when already contiguous), floats in
    -1..1 scaled once, other integers when every value fits in 16 bits."""
    if isinstance(data, (str, bytes, os.PathLike)):
        raise ValueError(f"{what} takes samples, not a file name: read the recording first "
                         "(for example with the wave module), or give the file to analyze()")
    try:
        array = np.asarray(data)
    except Exception as error:  # ragged lists and the like
        raise ValueError(f"{what}: not an array of samples ({error})") from None
    if array.ndim not in (1, 2):
        raise ValueError(f"{what}: samples must be 1-D (one channel) or 2-D (samples, channels), "
                         f"not {array.ndim}-D")
    if array.dtype == np.int16:
        return np.ascontiguousarray(array)
    if array.dtype.kind == "f":
        if array.size and not np.all(np.isfinite(array)):
            raise ValueError(f"{what}: float samples must be finite")
        if array.size and (array.min() < -1.0 or array.max() > 1.0):
            raise ValueError(f"{what}: float samples must lie in -1..1")
        return np.clip(np.rint(array * 32767.0), -32768, 32767).astype(np.int16)
    if array.dtype.kind in "iu":
        if array.size and (array.min() < -32768 or array.max() > 32767):
            raise ValueError(f"{what}: integer samples must fit in 16 bits (-32768..32767)")
        return array.astype(np.int16)
    raise ValueError(f"{what}: samples must be int16, another integer type or float in -1..1, "
                     f"not {array.dtype}")


def _whole(value: Any, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} takes a whole number from {low} to {high}")
    if not math.isfinite(float(value)) or float(value) != int(value) or not low <= int(value) <= high:
        raise ValueError(f"{name} takes a whole number from {low} to {high}")
    return int(value)


def track_pitch(samples: Any, rate: int, buffer_size: Optional[int] = None,
                amplitude_threshold: float = 0.75, noise_threshold: float = 5.0) -> np.ndarray:
    """The pitch tracker's result for every frame of one channel.

    samples: int16 (used in place, not copied), float in -1..1 (converted
        once) or other integers within 16 bits; 1-D, or 2-D with one column.
    rate: the sampling rate in Hz.
    buffer_size: samples per frame; by default the even number nearest to
        23.2 ms (1024 at 44.1 kHz), as `loquant analyze` uses.
    amplitude_threshold: the tracker's maxima ratio.
    noise_threshold: the gate on ln(amplitude); frames below it have sound
        False, pitch 0 and level 0.

    Returns a structured array of PITCH_DTYPE, one row per frame; the last
    frame is padded with silence. The same values as `loquant pitch` gives for
    the same samples and settings. The interpreter lock is released while the
    frames are tracked (on several threads).
    """
    array = _samples(samples, "track_pitch")
    if array.ndim == 2:
        if array.shape[1] != 1:
            raise ValueError(f"track_pitch takes one channel, not {array.shape[1]}: "
                             "pass samples[:, k]")
        array = np.ascontiguousarray(array[:, 0])
    rate = _whole(rate, "rate", 1, 2**32 - 1)
    if buffer_size is None:
        buffer_size = _loquant.default_buffer_size(rate)
    buffer_size = _whole(buffer_size, "buffer_size", 2, 1 << 20)
    try:
        amplitude_threshold = float(amplitude_threshold)
        noise_threshold = float(noise_threshold)
    except (TypeError, ValueError):
        raise ValueError("amplitude_threshold and noise_threshold take numbers") from None
    return _loquant.track_pitch(array, rate, buffer_size, amplitude_threshold, noise_threshold)


def _parameter_text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


class Conversation:
    """What `analyze` found: the posted records and the conversation they
    describe. Times are ms from the start of the recording, as in the
    command's output."""

    def __init__(self, result: Any, file_id: str) -> None:
        self._conversation = result.conversation
        self._file_id = file_id
        #: Every posted message as a dict, exactly the command's JSON lines:
        #: time, component, post, type, entries.
        self.events: list[dict] = [json.loads(line) for line in result.json_lines.splitlines()]
        #: Every utterance of every speaker, by start: from its first frame
        #: with sound (SpeechOn comes SpeechOnDelay frames later) to SpeechOff.
        self.utterances: list[dict] = sorted(
            ({"speaker": s.name, "source": s.source, "start_ms": u.start_ms, "end_ms": u.end_ms}
             for s in self._conversation.speakers for u in s.utterances),
            key=lambda u: (u["start_ms"], u["speaker"]))
        #: Overlaps and silences between the first and the last utterance:
        #: "Overlap between" / "Overlap within" (a backchannel), "Silence
        #: within" (a pause) / "Silence giving" (a gap).
        self.floor: list[dict] = [
            {"start_ms": f.start_ms, "end_ms": f.end_ms, "label": f.label,
             "kind": f.label.split(" ")[0].lower()}
            for f in self._conversation.floor()]
        #: The offsets of the changes of speaker in ms (gaps positive).
        self.transfer_offsets: list[float] = list(self._conversation.transfer_offsets())
        self.duration_ms: float = self._conversation.duration_ms
        self.speakers: list[str] = [s.name for s in self._conversation.speakers]

    def summary(self) -> str:
        """The text of `loquant analyze --summary`."""
        return self._conversation.summary()

    def to_textgrid(self, path: Union[str, os.PathLike]) -> None:
        """Writes the Praat TextGrid of `--format textgrid` to `path`."""
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(self._conversation.textgrid())

    def to_rttm(self, path: Union[str, os.PathLike], file_id: Optional[str] = None) -> None:
        """Writes the RTTM lines of `--format rttm` to `path`; the file id is
        the first recording's name without its extension unless given."""
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(self._conversation.rttm(self._file_id if file_id is None else file_id))

    def to_csv(self, path: Union[str, os.PathLike]) -> None:
        """Writes the rows of `--format csv` to `path`."""
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(self._conversation.csv())

    def to_pandas(self) -> Any:
        """The events as a pandas DataFrame (one row per posted message, the
        entries in a column of dicts). Needs pandas."""
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas needs pandas (apt-get install python3-pandas)") from None
        return pandas.DataFrame(self.events, columns=["time", "component", "post", "type", "entries"])

    def __repr__(self) -> str:
        return (f"<Conversation {len(self.speakers)} speakers, {self.duration_ms / 1000:.3f} s, "
                f"{len(self.events)} events, {len(self.utterances)} utterances>")


def _paths(path_or_array: Any) -> Optional[list]:
    if isinstance(path_or_array, (str, os.PathLike)):
        return [os.fspath(path_or_array)]
    if isinstance(path_or_array, (list, tuple)) and path_or_array and all(
            isinstance(p, (str, os.PathLike)) for p in path_or_array):
        return [os.fspath(p) for p in path_or_array]
    return None


# The most speakers the built-in system is made for (as `loquant config`).
_MAX_SPEAKERS = 64


def _write_wave(path: str, samples: np.ndarray, rate: int) -> None:
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(samples.astype("<i2", copy=False).tobytes())


def analyze(path_or_array: Any, rate: Optional[int] = None,
            params: Optional[Mapping[str, Any]] = None, config: Optional[Union[str, os.PathLike]] = None,
            conditioning: bool = True, raw: bool = False) -> Conversation:
    """Analyses a conversation as `loquant analyze` does.

    path_or_array: a WAV or AIFF file (or a list of them), every channel one
        speaker; or samples (see track_pitch) of shape (samples,) for one
        speaker or (samples, channels) for one speaker per channel, with `rate`.
    params: {"Name": value} or {"speaker2.Name": value}, as --param.
    config: a configuration file to run instead of the built-in system.
    conditioning: False feeds the components the raw frames.
    raw: indexed entries as stored instead of grouped in arrays (--raw).
    """
    if params is None:
        params = {}
    if not isinstance(params, Mapping):
        raise ValueError("params takes a mapping of parameter names to values")
    assignments = [f"{name}={_parameter_text(value)}" for name, value in params.items()]
    config_path = "" if config is None else os.fspath(config)
    paths = _paths(path_or_array)
    if paths is not None:
        if rate is not None:
            raise ValueError("rate is read from the recording; give it with samples only")
        result = _loquant.analyze(paths, config_path, assignments, bool(conditioning), bool(raw), "")
        return Conversation(result, os.path.splitext(os.path.basename(paths[0]))[0])
    if rate is None:
        raise ValueError("analyze: samples need their rate (rate=...)")
    samples = _samples(path_or_array, "analyze")
    if samples.shape[0] == 0 or (samples.ndim == 2 and samples.shape[1] == 0):
        raise ValueError("analyze: no samples")
    if samples.ndim == 2 and samples.shape[1] > _MAX_SPEAKERS:
        raise ValueError(f"analyze: {samples.shape[1]} channels of {samples.shape[0]} samples; "
                         f"at most {_MAX_SPEAKERS} speakers (samples are (samples, channels): "
                         "is the array transposed?)")
    rate = _whole(rate, "rate", 1, 2**32 - 1)
    with tempfile.TemporaryDirectory(prefix="loquant-") as folder:
        path = os.path.join(folder, "samples.wav")
        _write_wave(path, samples, rate)
        result = _loquant.analyze([path], config_path, assignments, bool(conditioning), bool(raw), "")
    return Conversation(result, "samples")

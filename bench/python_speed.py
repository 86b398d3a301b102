#!/usr/bin/env python3
"""The Python module side by side with the command, on one hour of 44.1 kHz
16-bit mono speech (made once with sox from the bundled conversation, as
bench/analyze_speed.sh makes it):

  - loquant.track_pitch on the samples already in memory, against
    `loquant pitch FILE` less the time it takes to read the file's samples
    (measured separately: the file's samples read into memory in one go),
    with the command's
    settings (frames of 1024, ratio 0.75, gate 0);
  - loquant.analyze(FILE), events turned into dicts included, against
    `loquant analyze FILE > /dev/null`.

    PYTHONPATH=build/python python3 bench/python_speed.py [--command build/cli/loquant]
        [--runs 3] [--smoke]

Prints the median wall time of each over RUNS runs and the ratios; --smoke
uses the 17-s example once (seconds), for a check that everything runs.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

import loquant

ROOT = pathlib.Path(__file__).resolve().parents[1]


def hour_file() -> pathlib.Path:
    work = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "loquant-bench"
    work.mkdir(parents=True, exist_ok=True)
    hour = work / "hour-mono.wav"
    if not hour.exists():
        example = ROOT / "examples" / "conversation.wav"
        subprocess.run(["sox", example, "-r", "44100", work / "conv44.wav"], check=True)
        subprocess.run(["sox", work / "conv44.wav", work / "left.wav", "remix", "1"], check=True)
        subprocess.run(["sox", work / "left.wav", hour, "repeat", "208", "trim", "0", "3600"],
                       check=True)
    return hour


def median_time(runs: int, action) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def read_samples(path: pathlib.Path) -> tuple[np.ndarray, int]:
    """The first channel of a 16-bit WAVE file, read into memory in one go
    (the data chunk found by walking the RIFF chunks): the cost of reading
    the file, without any per-sample work of Python's."""
    with open(path, "rb") as file:
        header = file.read(12)
        assert header[:4] == b"RIFF" and header[8:12] == b"WAVE", path
        channels = rate = 0
        while True:
            chunk = file.read(8)
            if len(chunk) < 8:
                raise ValueError(f"{path}: no data chunk")
            size = int.from_bytes(chunk[4:8], "little")
            if chunk[:4] == b"fmt ":
                fmt = file.read(size + (size & 1))
                channels = int.from_bytes(fmt[2:4], "little")
                rate = int.from_bytes(fmt[4:8], "little")
            elif chunk[:4] == b"data":
                data = np.fromfile(file, "<i2", count=size // 2)
                return np.ascontiguousarray(data.reshape(-1, channels)[:, 0]), rate
            else:
                file.seek(size + (size & 1), 1)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--command", default=str(ROOT / "build" / "cli" / "loquant"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--smoke", action="store_true")
    options = parser.parse_args()
    path = ROOT / "examples" / "conversation.wav" if options.smoke else hour_file()
    runs = 1 if options.smoke else options.runs
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}

    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}; {path.name}, {runs} runs")
    command_pitch = median_time(runs, lambda: subprocess.run(
        [options.command, "pitch", str(path)], **quiet))
    reading = median_time(runs, lambda: read_samples(path))
    samples, rate = read_samples(path)
    track = median_time(runs, lambda: loquant.track_pitch(samples, rate, 1024, 0.75, 0.0))
    command_analyze = median_time(runs, lambda: subprocess.run(
        [options.command, "analyze", "--no-progress", str(path)], **quiet))
    module_analyze = median_time(runs, lambda: loquant.analyze(path))

    reference = command_pitch - reading
    print(f"loquant pitch FILE (wall)            {command_pitch:8.3f} s")
    print(f"  reading the samples of FILE        {reading:8.3f} s")
    print(f"  less the reading                   {reference:8.3f} s")
    print(f"loquant.track_pitch (in memory)      {track:8.3f} s   ratio {track / reference:5.2f}"
          " (goal <= 1.1)")
    print(f"loquant analyze FILE (wall)          {command_analyze:8.3f} s")
    print(f"loquant.analyze(FILE)                {module_analyze:8.3f} s   ratio "
          f"{module_analyze / command_analyze:5.2f} (goal <= 1.2)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

# %% [markdown]
# # Pitch and turn-taking of a conversation
#
# A notebook in plain Python (each `# %%` is a cell): it reads the bundled
# two-speaker recording, tracks the pitch of each channel in memory, analyses
# the conversation as `loquant analyze` does, and plots both when matplotlib
# is there (`apt-get install python3-matplotlib`).
#
#     python3 examples/python/conversation.py [RECORDING] [--plot FILE.png]

# %%
import argparse
import pathlib
import sys
import wave

import numpy as np

import loquant

parser = argparse.ArgumentParser(description="Pitch and turn-taking of a conversation")
parser.add_argument("recording", nargs="?",
                    default=pathlib.Path(__file__).parents[1] / "conversation.wav")
parser.add_argument("--plot", metavar="FILE.png", help="save the plot instead of showing it")
options = parser.parse_args()
recording = pathlib.Path(options.recording)
plot_file = options.plot

with wave.open(str(recording)) as w:
    rate = w.getframerate()
    samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels())
print(f"{recording.name}: {samples.shape[1]} channels, {len(samples) / rate:.1f} s at {rate} Hz")

# %% The pitch of every frame of each channel (one row per 23 ms frame).
pitch = [loquant.track_pitch(samples[:, channel], rate) for channel in range(samples.shape[1])]
for channel, rows in enumerate(pitch, start=1):
    voiced = rows[rows["f0"] > 0]
    print(f"channel {channel}: {len(voiced)} voiced frames, median F0 "
          f"{np.median(voiced['f0']) if len(voiced) else float('nan'):.0f} Hz")

# %% The conversation: utterances, overlaps, pauses and gaps.
talk = loquant.analyze(recording)
print(talk.summary())
for segment in talk.floor:
    print(f"{segment['start_ms'] / 1000:7.3f} - {segment['end_ms'] / 1000:7.3f} s  {segment['label']}")

# %% The picture: pitch contours over the speakers' turns.
try:
    import matplotlib
    if plot_file:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib is not installed: no plot)")
else:
    figure, axes = plt.subplots(figsize=(10, 4))
    for channel, rows in enumerate(pitch, start=1):
        voiced = rows["f0"] > 0
        axes.plot(rows["time"][voiced], rows["f0"][voiced], ".", ms=3, label=f"speaker{channel} F0")
    for utterance in talk.utterances:
        row = talk.speakers.index(utterance["speaker"])
        axes.broken_barh([(utterance["start_ms"] / 1000,
                           (utterance["end_ms"] - utterance["start_ms"]) / 1000)],
                         (40 + 15 * row, 10), alpha=0.4, color=f"C{row}")
    for segment in talk.floor:
        colour = "red" if segment["kind"] == "overlap" else "grey"
        axes.axvspan(segment["start_ms"] / 1000, segment["end_ms"] / 1000, color=colour, alpha=0.15)
    axes.set_xlabel("time (s)")
    axes.set_ylabel("F0 (Hz)")
    axes.legend(loc="upper right")
    if plot_file:
        figure.savefig(plot_file, dpi=100)
        print(f"plot written to {plot_file}")
    else:
        plt.show()

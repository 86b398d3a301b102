"""loquant.track_pitch gives, frame for frame, what `loquant pitch` gives."""
import csv
import io
import sys

import numpy as np
import pytest

import loquant


def command_rows(run, path, *options):
    status, out, _ = run("pitch", path, *options)
    assert status == 0
    return list(csv.DictReader(io.StringIO(out)))


class TestSameAsCommand:
    @pytest.mark.parametrize("buffer_size,ratio,noise", [(1024, 0.75, 5.0), (512, 0.6, 0.0),
                                                         (601, 0.7, 3.0)])
    def test_every_frame(self, run, example, example_samples, buffer_size, ratio, noise):
        samples, rate = example_samples
        expected = command_rows(run, example, "--buffer-size", buffer_size,
                                "--amplitude-threshold", ratio, "--noise-threshold", noise)
        rows = loquant.track_pitch(samples[:, 0], rate, buffer_size, ratio, noise)
        assert len(rows) == len(expected)  # the short last frame included
        for row, line in zip(rows, expected):
            assert row["time"] * 1000 == pytest.approx(float(line["time_ms"]), abs=5e-4)
            assert row["pitch"] == pytest.approx(float(line["pitch"]), rel=1e-5)
            assert row["f0"] == 2 * row["pitch"]
            assert row["level"] == int(line["level"])
            assert row["sound"] == (line["sound"] == "1")
        assert rows["sound"].any() and (rows["pitch"] > 0).any()


class TestInput:
    def test_int16_is_not_copied_and_floats_are_scaled(self, example_samples):
        samples, rate = example_samples
        channel = np.ascontiguousarray(samples[:, 0])
        before = sys.getrefcount(channel)
        rows = loquant.track_pitch(channel, rate)
        assert sys.getrefcount(channel) == before
        scaled = loquant.track_pitch(channel / 32767.0, rate)
        assert np.array_equal(rows, scaled)

    def test_default_frame_is_23_ms(self):
        assert len(loquant.track_pitch(np.zeros(1024 * 3, np.int16), 44100)) == 3
        assert len(loquant.track_pitch(np.zeros(372 * 2 + 1, np.int16), 16000)) == 3

    def test_tone_has_its_pitch(self):
        rate = 16000
        t = np.arange(rate) / rate
        rows = loquant.track_pitch(0.5 * np.sin(2 * np.pi * 220 * t), rate, 512)
        voiced = rows[rows["pitch"] > 0]
        assert len(voiced) > len(rows) // 2
        assert np.median(voiced["f0"]) == pytest.approx(220, rel=0.03)

    def test_empty_and_one_column(self):
        assert len(loquant.track_pitch(np.zeros(0, np.int16), 8000)) == 0
        assert len(loquant.track_pitch(np.zeros((1000, 1), np.int16), 8000, 100)) == 10

    @pytest.mark.parametrize("data", [np.zeros((100, 2), np.int16), np.zeros((2, 2, 2)),
                                      np.array(["x"]), None, np.array([1.5]),
                                      np.array([np.inf]), [[1], [2, 3]]])
    def test_bad_samples(self, data):
        with pytest.raises(ValueError):
            loquant.track_pitch(data, 8000)

    def test_a_file_name_is_refused_with_what_to_do(self, tmp_path):
        for name in ("conversation.wav", tmp_path / "conversation.wav"):
            with pytest.raises(ValueError, match="not a file name"):
                loquant.track_pitch(name, 8000)

    @pytest.mark.parametrize("options", [dict(rate=0), dict(rate=8000.5), dict(buffer_size=1),
                                         dict(buffer_size=2 ** 20 + 1), dict(buffer_size=10.5),
                                         dict(amplitude_threshold="high"),
                                         dict(noise_threshold=float("nan"))])
    def test_bad_settings(self, options):
        arguments = dict(rate=8000) | options
        with pytest.raises(ValueError):
            loquant.track_pitch(np.zeros(100, np.int16), **arguments)

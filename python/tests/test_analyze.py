"""loquant.analyze gives what `loquant analyze` gives for the same input."""
import json

import numpy as np
import pytest

import loquant


class TestSameAsCommand:
    def test_events_are_the_command_json_lines(self, run, example):
        status, out, _ = run("analyze", example)
        assert status == 0
        expected = [json.loads(line) for line in out.splitlines()]
        assert expected, "the example has events"
        assert loquant.analyze(example).events == expected

    def test_parameters_change_both_alike(self, run, example):
        status, out, _ = run("analyze", example, "--param", "SegmentIntervalThreshold=150",
                             "--param", "speaker2.PitchLowPass=200")
        assert status == 0
        talk = loquant.analyze(example, params={"SegmentIntervalThreshold": 150,
                                                "speaker2.PitchLowPass": 200})
        assert talk.events == [json.loads(line) for line in out.splitlines()]
        assert talk.events != loquant.analyze(example).events

    def test_raw_and_conditioning_off(self, run, example):
        _, out, _ = run("analyze", example, "--raw", "--conditioning", "off")
        talk = loquant.analyze(example, raw=True, conditioning=False)
        assert talk.events == [json.loads(line) for line in out.splitlines()]

    def test_reports_equal_the_command_formats(self, run, example, tmp_path):
        talk = loquant.analyze(example)
        assert talk.summary() == run("analyze", example, "--summary")[1]
        talk.to_textgrid(tmp_path / "a.TextGrid")
        assert (tmp_path / "a.TextGrid").read_text() == run("analyze", example, "--format",
                                                            "textgrid")[1]
        talk.to_rttm(tmp_path / "a.rttm")
        assert (tmp_path / "a.rttm").read_text() == run("analyze", example, "--format", "rttm")[1]
        talk.to_csv(tmp_path / "a.csv")
        assert (tmp_path / "a.csv").read_text() == run("analyze", example, "--format", "csv")[1]

    def test_samples_in_memory_give_the_file_events(self, example, example_samples):
        samples, rate = example_samples
        from_file = loquant.analyze(example).events
        assert loquant.analyze(samples, rate=rate).events == from_file
        # Floats in -1..1 scaled back to the same 16-bit values.
        assert loquant.analyze(samples / 32767.0, rate=rate).events == from_file
        assert loquant.analyze(samples.astype(np.int32), rate=rate).events == from_file


class TestConversation:
    def test_utterances_and_floor_follow_the_events(self, example):
        talk = loquant.analyze(example)
        ons = [e for e in talk.events if e["post"] == "SpeechOn"]
        assert len(talk.utterances) == len(ons)
        # An utterance starts on its first frame with sound: SpeechOn is
        # posted two frames of 1024 samples (23.2 ms) later, or at once.
        lags = []
        for name in ("speaker1", "speaker2"):
            posted = [e["entries"]["timestamp"] - 1000 for e in ons if e["component"] == name]
            starts = [u["start_ms"] for u in talk.utterances if u["speaker"] == name]
            assert len(starts) == len(posted)
            lags += [on - start for on, start in zip(posted, starts)]
        assert all(d in (0, 46, 47) for d in lags), lags
        assert 46 in lags or 47 in lags
        assert all(u["start_ms"] < u["end_ms"] for u in talk.utterances)
        assert talk.floor, "the example has gaps"
        for segment in talk.floor:
            assert segment["start_ms"] <= segment["end_ms"]
            assert segment["label"] in ("Overlap between", "Overlap within",
                                        "Silence within", "Silence giving")
        assert talk.speakers == ["speaker1", "speaker2"]

    def test_to_pandas(self, example):
        pandas = pytest.importorskip("pandas")
        frame = loquant.analyze(example).to_pandas()
        assert isinstance(frame, pandas.DataFrame)
        assert list(frame["post"])[:1] == ["SpeechOn"]


class TestErrors:
    def test_bad_parameter_is_a_value_error_with_the_command_message(self, run, example):
        status, _, err = run("analyze", example, "--param", "Nope=1")
        assert status == 2
        with pytest.raises(ValueError) as caught:
            loquant.analyze(example, params={"Nope": 1})
        assert err == f"loquant analyze: {caught.value}\n"

    def test_out_of_bounds_value(self, run, example):
        _, _, err = run("analyze", example, "--param", "BufferSize=99999999")
        with pytest.raises(ValueError) as caught:
            loquant.analyze(example, params={"BufferSize": 99999999})
        assert err == f"loquant analyze: {caught.value}\n"

    def test_missing_and_unreadable_files_are_os_errors(self, run, tmp_path):
        for path in (tmp_path / "none.wav", tmp_path):
            status, _, err = run("analyze", path)
            assert status == 1
            with pytest.raises(OSError) as caught:
                loquant.analyze(path)
            assert err == f"loquant analyze: {caught.value}\n"
        text = tmp_path / "text.wav"
        text.write_text("not a recording")
        with pytest.raises(OSError, match="text.wav"):
            loquant.analyze(text)

    def test_bad_configuration_file(self, run, example, tmp_path):
        config = tmp_path / "bad.toml"
        config.write_text("[[component]\n")
        _, _, err = run("analyze", example, "--config", config)
        with pytest.raises(OSError) as caught:
            loquant.analyze(example, config=config)
        assert err == f"loquant analyze: {caught.value}\n"

    @pytest.mark.parametrize("data", [
        [], np.zeros(0, np.int16), np.zeros((0, 2), np.int16), np.zeros((3, 2, 2)),
        np.array(["a", "b"]), np.zeros(8, complex), None, 7, [[1, 2], [3]],
        np.array([np.nan, 0.0]), np.array([2.0, 0.0]), np.array([70000, 0]),
        np.zeros(8, object), np.zeros((2, 44100), np.int16)])
    def test_no_crash_on_any_samples(self, data):
        with pytest.raises(ValueError):
            loquant.analyze(data, rate=16000)

    def test_samples_need_a_rate_and_files_take_none(self, example):
        with pytest.raises(ValueError, match="rate"):
            loquant.analyze(np.zeros(100, np.int16))
        with pytest.raises(ValueError, match="rate"):
            loquant.analyze(example, rate=44100)
        for rate in (0, -5, 1.5, "fast", float("nan")):
            with pytest.raises(ValueError, match="rate"):
                loquant.analyze(np.zeros(100, np.int16), rate=rate)
        with pytest.raises(ValueError, match="mapping"):
            loquant.analyze(example, params=["BufferSize=512"])

    def test_lists_of_numbers_and_channels(self):
        rate = 8000
        t = np.arange(rate) / rate
        tone = (0.3 * np.sin(2 * np.pi * 200 * t)).tolist()
        one = loquant.analyze(tone, rate=rate)
        assert one.speakers == ["speaker1"]
        two = loquant.analyze(np.column_stack([tone, np.zeros(rate)]), rate=rate)
        assert two.speakers == ["speaker1", "speaker2"]
        assert [u["speaker"] for u in two.utterances] == ["speaker1"] * len(one.utterances)

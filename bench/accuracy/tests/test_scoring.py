"""Checks of the benchmark's own reading and scoring, run by CI before its
smoke run: a fault here would bend every figure of the table.

    cd bench/accuracy && /usr/bin/python3 -m unittest discover -s tests
"""
from __future__ import annotations

import unittest

import numpy as np

from accuracy import conditions, score, systems
from accuracy.floor import floor_events


def textgrid(tiers: dict[str, list[tuple[float, float, str]]], end: float) -> str:
    """A TextGrid laid out as `loquant analyze --format textgrid` writes it:
    each tier's intervals cover it whole, the unlabelled ones included."""
    out = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "xmin = 0",
           f"xmax = {end / 1000:.3f}", "tiers? <exists>", f"size = {len(tiers)}", "item []:"]
    for k, (name, labelled) in enumerate(tiers.items(), 1):
        intervals, at = [], 0.0
        for lo, hi, label in sorted(labelled):
            if lo > at:
                intervals.append((at, lo, ""))
            intervals.append((lo, hi, label))
            at = hi
        if at < end:
            intervals.append((at, end, ""))
        out += [f"    item [{k}]:", '        class = "IntervalTier"', f'        name = "{name}"',
                "        xmin = 0", f"        xmax = {end / 1000:.3f}",
                f"        intervals: size = {len(intervals)}"]
        for i, (lo, hi, label) in enumerate(intervals, 1):
            out += [f"        intervals [{i}]:", f"            xmin = {lo / 1000:.3f}",
                    f"            xmax = {hi / 1000:.3f}", f'            text = "{label}"']
    return "\n".join(out) + "\n"


# Speaker 1 talks, pauses, goes on; speaker 2 comes in under the end of it
# (an overlap at a change of speaker), speaker 1 puts in a backchannel, then
# speaker 2 stops and speaker 1 takes the floor after a gap.
SEGMENTS = {1: [(500.0, 2000.0), (2600.0, 4200.0), (5000.0, 5400.0), (7000.0, 8000.0)],
            2: [(3900.0, 6500.0)]}
TURNS = [(2000.0, 2600.0, "Silence within"), (3900.0, 4200.0, "Overlap between"),
         (5000.0, 5400.0, "Overlap within"), (6500.0, 7000.0, "Silence giving")]


class ReadingTest(unittest.TestCase):
    def test_the_command_reading_gives_the_segments_and_events_of_the_tiers(self):
        tiers = {"speaker1": [(a, b, "speech") for a, b in SEGMENTS[1]],
                 "speaker1 trend": [(a, b, "Up_At") for a, b in SEGMENTS[1]],
                 "speaker2": [(a, b, "speech") for a, b in SEGMENTS[2]],
                 "turn-taking": TURNS}
        segments, events = systems.command_reading(systems.parse_textgrid(textgrid(tiers, 9000.0)))
        self.assertEqual(segments, SEGMENTS)
        self.assertEqual([(e.kind, e.start, e.end, e.opener, e.closer) for e in events],
                         [("pause", 2000.0, 2600.0, 1, 1), ("overlap", 3900.0, 4200.0, 2, 1),
                          ("backchannel", 5000.0, 5400.0, 1, 1), ("gap", 6500.0, 7000.0, 2, 1)])
        # The same events as the rules give from the segments alone.
        self.assertEqual([e.to_json() for e in events],
                         [e.to_json() for e in floor_events(SEGMENTS)])

    def test_an_unknown_label_or_an_edge_without_an_utterance_is_an_error(self):
        base = {"speaker1": [(a, b, "speech") for a, b in SEGMENTS[1]],
                "speaker2": [(a, b, "speech") for a, b in SEGMENTS[2]]}
        for turns in ([(2000.0, 2600.0, "Silence somewhere")], [(2100.0, 2600.0, "Silence within")]):
            with self.subTest(turns=turns), self.assertRaises(systems.PipelineError):
                systems.command_reading(systems.parse_textgrid(
                    textgrid({**base, "turn-taking": turns}, 9000.0)))


class ScoringTest(unittest.TestCase):
    def test_the_truth_scored_against_itself_is_perfect(self):
        events = floor_events(SEGMENTS)
        s = score.score(SEGMENTS, events, 900, SEGMENTS, events)
        self.assertEqual((s.f1(), s.miss(), s.false_alarm()), (1.0, 0.0, 0.0))
        self.assertEqual(s.found_events, s.truth_events)
        self.assertEqual(s.truth_events, {"gap": 1, "pause": 1, "overlap": 1, "backchannel": 1})
        self.assertEqual((s.spurious, s.transfers, s.transfers_found), (0, 2, 2))
        self.assertEqual(s.offset_errors, [0.0, 0.0])
        self.assertEqual(s.overlaps_located, 2)

    def test_events_off_by_more_than_the_tolerance_are_missed_and_spurious(self):
        truth = floor_events(SEGMENTS)
        late = {1: SEGMENTS[1], 2: [(3900.0, 6500.0 + score.TOLERANCE_MS + 10)]}
        s = score.score(SEGMENTS, truth, 900, late, floor_events(late))
        self.assertEqual(s.found_events["gap"], 0)  # the gap now starts 210 ms late
        self.assertEqual(s.found_events["pause"], 1)
        self.assertEqual(s.spurious, 1)
        # Still the same transfer, found with its offset 210 ms short.
        self.assertEqual(s.transfers_found, 2)
        self.assertEqual(sorted(s.offset_errors), [-210.0, 0.0])
        # 21 frames of speaker 2 too many, out of 900 per channel.
        self.assertEqual((s.fp, s.fn), (21, 0))


if __name__ == "__main__":
    unittest.main()


class RoomTest(unittest.TestCase):
    def test_impulse_response_has_its_direct_sound_tail_and_decay(self):
        rate, delay = conditions.RATE, 88
        h = conditions.impulse_response(np.random.default_rng(3), delay)
        self.assertAlmostEqual(float(np.sum(h * h)), 1.0, places=9)
        self.assertEqual(int(np.argmax(np.abs(h))), delay)
        self.assertTrue(np.all(h[:delay] == 0))
        tail = h[delay + 1:]
        self.assertAlmostEqual(10 * np.log10(np.sum(tail * tail) / h[delay] ** 2),
                               conditions.REVERB_TAIL_DB, places=6)
        # 60 dB down after RT60: compare the energy of the first and last 50 ms
        start = delay + 2 * rate // 1000
        first = np.sum(h[start:start + rate // 20] ** 2)
        last = np.sum(h[-rate // 20:] ** 2)
        self.assertGreater(10 * np.log10(first / last), 50)

    def test_convolution_matches_the_direct_sum(self):
        rng = np.random.default_rng(4)
        x, h = rng.standard_normal(300), rng.standard_normal(40)
        np.testing.assert_allclose(conditions.convolve(x, h), np.convolve(x, h)[:300], atol=1e-9)

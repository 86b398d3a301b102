"""Generates the conversations (cached), runs the systems, prints the table.

Called by bench/accuracy/run; see README.md.
"""
from __future__ import annotations

import argparse
import json
import os
import shlex
import sys
import tempfile
import time
import zlib

import numpy as np

from . import conditions, conversation, score, systems
from .corpus import Corpus
from .floor import Event

GENERATOR_VERSION = 2  # bump when generation changes, so cached files are not reused


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def generate_all(work: str, corpus: Corpus, seed: int, count: int, seconds: float,
                 names: list[str]) -> list[str]:
    """Folders of the conversations, each with truth.json and CONDITION.wav."""
    base = os.path.join(work, f"v{GENERATOR_VERSION}-seed{seed}-{seconds:g}s")
    folders = []
    for k in range(count):
        folder = os.path.join(base, f"conv{k:02d}")
        folders.append(folder)
        truth_path = os.path.join(folder, "truth.json")
        wanted = [c for c in names if not os.path.exists(os.path.join(folder, c + ".wav"))]
        if os.path.exists(truth_path) and not wanted:
            continue
        os.makedirs(folder, exist_ok=True)
        conv = conversation.generate(corpus, np.random.default_rng([seed, k]), seconds)
        truth = {
            "frames": conv.frames,
            "levels_db": list(conv.levels_db),
            "segments": {str(ch + 1): conv.segments(ch) for ch in (0, 1)},
            "events": [e.to_json() for e in conv.events()],
            "recordings": [{"channel": p.channel + 1, "start_ms": p.start * 10,
                            "end_ms": p.end * 10, "name": p.clip.name,
                            "gain_db": round(20 * np.log10(p.gain), 3)} for p in conv.placements],
        }
        with open(truth_path + ".tmp", "w") as f:
            json.dump(truth, f, indent=1)
        os.replace(truth_path + ".tmp", truth_path)
        for c in wanted:
            # each condition has its own random stream, whatever else is generated
            rng = np.random.default_rng([seed, k, zlib.crc32(c.encode())])
            conditions.write_wav(os.path.join(folder, c + ".wav"),
                                 conditions.render(conv, c, corpus, rng))
        log(f"generated {folder} ({conv.frames / 100:.1f} s, {', '.join(wanted)})")
    return folders


def load_truth(folder: str):
    with open(os.path.join(folder, "truth.json")) as f:
        t = json.load(f)
    segments = {int(ch): [tuple(s) for s in segs] for ch, segs in t["segments"].items()}
    events = [Event(**e) for e in t["events"]]
    return t["frames"], segments, events


def peer_outputs(folders: list[str], names: list[str]) -> None:
    """Runs the peer detectors on every file that has no cached output yet."""
    jobs = []
    with tempfile.TemporaryDirectory() as tmp:
        for folder in folders:
            for c in names:
                for ch in (1, 2):
                    out = os.path.join(folder, f"{c}.ch{ch}.peers.json")
                    if os.path.exists(out):
                        continue
                    raw = os.path.join(tmp, f"{len(jobs)}.f32")
                    systems.decode_16k(os.path.join(folder, c + ".wav"), ch, raw)
                    jobs.append({"input": raw, "output": out})
        if jobs:
            log(f"running the peer detectors on {len(jobs)} channels")
            systems.run_peer_detectors(jobs)


def expand_peers(spec: str) -> list[str]:
    out = []
    for name in filter(None, (p.strip() for p in spec.split(","))):
        if name == "none":
            continue
        if name == "webrtc":
            out += ["webrtc2", "webrtc3"]
        elif name in ("silero", "webrtc0", "webrtc1", "webrtc2", "webrtc3"):
            out.append(name)
        else:
            raise SystemExit(f"unknown peer {name!r} (silero, webrtc, webrtc0..3, none)")
    return out


def fmt(value, pattern: str, width: int) -> str:
    return (pattern % value if value is not None else "-").rjust(width)


COLUMNS = [("F1", 6), ("miss", 6), ("FA", 6), ("start", 6), ("end", 6), ("gaps", 6),
           ("pauses", 7), ("ovl", 6), ("ovl@", 6), ("bc", 6), ("FT", 6), ("FTO", 6), ("spur", 6)]


def table(results: dict, names: list[str], system_names: list[str]) -> str:
    lines = ["condition  system   " + "".join(n.rjust(w) for n, w in COLUMNS)]
    for c in names:
        for sysname in system_names:
            s: score.Score = results[(c, sysname)]
            m = s.summary()
            pct = lambda v: None if v is None else 100 * v
            cells = [fmt(m["f1"], "%.3f", 6), fmt(pct(m["miss"]), "%.1f", 6),
                     fmt(pct(m["false_alarm"]), "%.1f", 6),
                     fmt(m["start_error_ms"], "%.0f", 6), fmt(m["end_error_ms"], "%.0f", 6),
                     fmt(pct(s.found("gap")), "%.0f", 6), fmt(pct(s.found("pause")), "%.0f", 7),
                     fmt(pct(s.found("overlap")), "%.0f", 6), fmt(pct(s.located()), "%.0f", 6),
                     fmt(pct(s.found("backchannel")), "%.0f", 6),
                     fmt(pct(s.transfer_rate()), "%.0f", 6), fmt(m["offset_error_ms"], "%.0f", 6),
                     fmt(pct(s.spurious_rate()), "%.0f", 6)]
            lines.append(f"{c:<10} {sysname:<8} " + "".join(cells))
        lines.append("")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(prog="bench/accuracy/run")
    ap.add_argument("--conversations", type=int, default=8)
    ap.add_argument("--seconds", type=float, default=60.0, help="length of each conversation")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--loquant", default=None, help="the loquant command (default: build/cli/loquant)")
    ap.add_argument("--loquant-args", default="", help='extra options for "loquant analyze"')
    ap.add_argument("--peers", default="silero,webrtc")
    ap.add_argument("--conditions", default=None, help="comma-separated subset of the conditions")
    ap.add_argument("--work", default=None, help="work folder (default: bench/accuracy/work)")
    ap.add_argument("--json", default=None, help="also write every figure to this JSON file")
    ap.add_argument("--rate", type=int, default=None,
                    help="Loquant reads the conversations resampled to this rate (Hz; default:"
                         " as generated, 44100); the peers read 16 kHz either way")
    ap.add_argument("--smoke", action="store_true",
                    help="one 20 s conversation, clean and white10, Loquant only")
    args = ap.parse_args(argv)

    here = systems.HERE
    repo = os.path.dirname(os.path.dirname(here))
    # Paths given on the command line are the caller's, who may stand anywhere.
    caller = os.environ.get("ACCURACY_CALLER_DIR", os.getcwd())
    given = lambda path: os.path.abspath(os.path.join(caller, path))
    work = given(args.work) if args.work else os.path.join(here, "work")
    binary = given(args.loquant) if args.loquant else os.path.join(repo, "build", "cli", "loquant")
    if args.json:
        args.json = given(args.json)
    if args.smoke:
        args.conversations, args.seconds, args.peers = 1, 20.0, "none"
    names = conditions.condition_names(args.smoke)
    if args.conditions:
        names = [c for c in args.conditions.split(",") if c]
        unknown = set(names) - set(conditions.condition_names())
        if unknown:
            raise SystemExit(f"unknown conditions: {', '.join(sorted(unknown))}")
    peers = expand_peers(args.peers)
    if not os.access(binary, os.X_OK):
        raise systems.PipelineError(f"{binary} is not an executable (build it, or pass --loquant)")
    extra = shlex.split(args.loquant_args)

    t0 = time.time()
    corpus = Corpus(os.path.join(work, "recordings"))
    folders = generate_all(work, corpus, args.seed, args.conversations, args.seconds, names)
    t_gen = time.time() - t0
    if peers:
        peer_outputs(folders, names)
    t_peers = time.time() - t0 - t_gen

    system_names = ["loquant"] + peers
    results = {(c, s): score.Score() for c in names for s in system_names}
    totals = {"seconds": 0.0, "events": dict.fromkeys(score.KINDS, 0)}
    for folder in folders:
        frames, truth_segments, truth_events = load_truth(folder)
        totals["seconds"] += frames / 100 * len(names)
        for kind in score.KINDS:
            totals["events"][kind] += sum(1 for e in truth_events if e.kind == kind)
        for c in names:
            wav = os.path.join(folder, c + ".wav")
            if args.rate:
                wav = systems.resampled(wav, args.rate)
            segments, events = systems.loquant(binary, wav, extra)
            results[(c, "loquant")].add(score.score(truth_segments, truth_events, frames, segments, events))
            if not peers:
                continue
            raw = {}
            for ch in (1, 2):
                with open(os.path.join(folder, f"{c}.ch{ch}.peers.json")) as f:
                    raw[ch] = json.load(f)
            for p in peers:
                segments, events = systems.peer_result(raw, p)
                results[(c, p)].add(score.score(truth_segments, truth_events, frames, segments, events))
    t_score = time.time() - t0 - t_gen - t_peers

    minutes = totals["seconds"] / len(names) / 60
    ev = totals["events"]
    print(f"{len(folders)} conversations, {minutes:.1f} min per condition, seed {args.seed}: "
          f"{ev['gap']} gaps, {ev['pause']} pauses, {ev['overlap']} overlaps at a change of speaker, "
          f"{ev['backchannel']} backchannels")
    print(f"loquant: {binary} {' '.join(extra)}".rstrip()
          + (f" (input resampled to {args.rate} Hz)" if args.rate else ""))
    print()
    print(table(results, names, system_names))
    print("F1, miss and FA (% of non-speech frames) per 10 ms frame and channel; start/end: median\n"
          "absolute error of matched utterances (ms); gaps, pauses, ovl (overlaps at a change of\n"
          "speaker), bc (backchannels): % found as that kind within +-200 ms at both ends; ovl@: %\n"
          "of all overlaps located, whatever their type; FT: % of floor transfers found; FTO: median\n"
          "absolute floor-transfer offset error (ms); spur: reported events matching no true one,\n"
          "as % of the true events.")
    print(f"\ntimes: generation {t_gen:.0f} s, peers {t_peers:.0f} s, Loquant and scoring {t_score:.0f} s")
    if args.json:
        out = {f"{c}/{s}": results[(c, s)].summary() for c in names for s in system_names}
        with open(args.json, "w") as f:
            json.dump({"seed": args.seed, "conversations": len(folders), "seconds": args.seconds,
                       "loquant": binary, "loquant_args": extra, "rate": args.rate, "results": out}, f, indent=1)
    return 0


def entry() -> int:
    try:
        return main(sys.argv[1:])
    except (systems.PipelineError, RuntimeError, OSError) as e:
        log(f"accuracy benchmark: pipeline broken: {e}")
        return 2


if __name__ == "__main__":
    sys.exit(entry())

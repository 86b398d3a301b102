#!/usr/bin/env python3
"""Live latency and CPU of `loquant listen --publish`, on real parts.

    bench/live_latency.py [--loquant BUILD/cli/loquant] [--utterances N]
                          [--player-latency-ms MS] [--smoke]

Generates a two-speaker recording (voiced bursts taking turns, every end of
speech known to the sample), starts a nats-server on 127.0.0.1 and a
PulseAudio server with a null sink in a temporary folder (as a throw-away
user when run as root: PulseAudio refuses root), runs `loquant listen
--channels 2 --publish` on the sink's monitor, plays the recording into the
sink with pacat, and subscribes to the SpeechOff events over the plain NATS
protocol. Reports, over all utterances, the latency from the end of speech
in the played recording (counted from the moment that piece of the recording
was written to a running player, so the sound server's buffering is
included) to the
arrival of its SpeechOff at the subscriber, against the goal of
SegmentIntervalThreshold + 40 ms (median) and + 100 ms (99th percentile);
and the CPU time `listen` used per second of wall time for two channels.

The null sink takes audio from its players in blocks of the latency they
ask for and hands each block to its monitor at once, so the monitor's audio
comes in blocks of the player's latency (`--player-latency-ms`, 10 ms by
default: 331 samples every 7.5 ms measured), and the sound server client's
thread in `listen` wakes for each: its processor time is the rig's as much as
Loquant's. Below 10 ms the player, fed in 10 ms pieces on the wall clock,
runs dry and its lag grows (5 ms measured a median of 440 ms).

The speech components post SpeechOff on the 14th frame after the one in
which speech ended (the first silent frame starts the count, which reaches
SegmentIntervalThreshold 13 frames later): 325.1 ms after the end of that
frame at 1024 samples and 44.1 kHz, and the end of speech lies anywhere in
it (11.6 ms before its end on average). Of the goal of threshold + 40 ms
these leave about 3 ms for the sound server and Loquant's own path.
"""
import argparse
import math
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_rig import LiveRig, cpu_seconds, thread_cpu  # noqa: E402

RATE = 44100
SEGMENT_INTERVAL_MS = 300  # the built-in system's SegmentIntervalThreshold


def burst(seconds, f0):
    """A voiced burst: a harmonic tone gliding from f0 to 1.3 f0, 10 ms fades."""
    n = int(seconds * RATE)
    out = []
    phase = 0.0
    fade = int(0.01 * RATE)
    for i in range(n):
        f = f0 * (1.0 + 0.3 * i / n)
        phase += 2 * math.pi * f / RATE
        v = sum(math.sin(k * phase) / k for k in range(1, 6))
        g = min(1.0, i / fade, (n - 1 - i) / fade)
        out.append(int(6000 * v * g))
    return out


def make_recording(path, utterances):
    """Turns of 1.0-1.6 s, 1.2 s apart, alternating speakers; the ends of speech (s)."""
    left, right, ends = [], [], []
    t = 0.5
    pieces = []
    for k in range(utterances):
        length = 1.0 + 0.6 * ((k * 7) % 5) / 4
        pieces.append((k % 2, t, length))
        ends.append((k % 2, t + length))
        t += length + 1.2
    total = int((t + 1.0) * RATE)
    left = [0] * total
    right = [0] * total
    cache = {}
    for speaker, start, length in pieces:
        key = (speaker, length)
        if key not in cache:
            cache[key] = burst(length, 120.0 if speaker == 0 else 190.0)
        track = left if speaker == 0 else right
        at = int(start * RATE)
        track[at:at + len(cache[key])] = cache[key]
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<hh", a, b) for a, b in zip(left, right)))
    return ends


def subscribe(port, subject, arrivals, ready):
    """Plain NATS protocol: keeps (arrival time, subject) of every message
    until the server closes the connection."""
    s = socket.create_connection(("127.0.0.1", port))
    f = s.makefile("rb")
    f.readline()  # INFO
    s.sendall(b'CONNECT {"verbose":false,"headers":true}\r\nSUB ' + subject.encode() +
              b" 1\r\nPING\r\n")
    while True:
        line = f.readline()
        if not line:
            break
        now = time.time()
        parts = line.split()
        if not parts:
            continue
        if parts[0] == b"PING":
            s.sendall(b"PONG\r\n")
        elif parts[0] == b"PONG":
            ready.set()
        elif parts[0] in (b"MSG", b"HMSG"):
            size = int(parts[-1])
            f.read(size + 2)
            arrivals.append((now, parts[1].decode()))
    s.close()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser()
    ap.add_argument("--loquant", default=os.path.join(root, "build", "cli", "loquant"))
    ap.add_argument("--utterances", type=int, default=40)
    ap.add_argument("--player-latency-ms", type=int, default=10,
                    help="the latency the player asks of the null sink (its block size)")
    ap.add_argument("--smoke", action="store_true", help="four utterances, no goals checked")
    args = ap.parse_args()
    if args.smoke:
        args.utterances = 4
    loquant = os.path.abspath(args.loquant)
    with LiveRig("live_latency", "lqbench") as rig:
        work, env, as_user = rig.work, rig.env, rig.as_user
        recording = os.path.join(work, "talk.wav")
        ends = make_recording(recording, args.utterances)
        os.chmod(recording, 0o644)
        port = rig.port
        arrivals = []
        ready = threading.Event()
        sub = threading.Thread(target=subscribe, args=(port, "lat.*.SpeechOff", arrivals, ready))
        sub.start()
        ready.wait(10)
        listen = rig.start_listen(loquant, "lat", subprocess.DEVNULL,
                                  os.path.join(work, "listen.err"))
        # The audio system's thread polls without pause for about two
        # seconds while a new stream starts: a cost of the start, left out.
        time.sleep(3.0)
        cpu0, wall0 = cpu_seconds(listen.pid), time.time()
        threads0 = thread_cpu(listen.pid)
        # The recording is written into an already running player in 10 ms
        # pieces paced by the wall clock, so the time each piece entered the
        # sound server is known (a player started per recording spends a
        # second or more connecting).
        play = rig.player(latency_ms=args.player_latency_ms)
        with wave.open(recording, "rb") as w:
            pcm = w.readframes(w.getnframes())
        piece = 441 * 4
        silence = bytes(piece)
        start = time.time()
        for k in range(50):  # 0.5 s of silence: the stream runs before t0
            play.stdin.write(silence)
            play.stdin.flush()
            time.sleep(max(0.0, start + (k + 1) * 0.01 - time.time()))
        t0 = time.time()
        for k in range(0, len(pcm), piece):
            play.stdin.write(pcm[k:k + piece])
            play.stdin.flush()
            time.sleep(max(0.0, t0 + (k // piece + 1) * 0.01 - time.time()))
        play.stdin.close()
        play.wait()
        time.sleep(1.0)
        cpu1, wall1 = cpu_seconds(listen.pid), time.time()
        threads1 = thread_cpu(listen.pid)
        listen.send_signal(signal.SIGINT)
        status = listen.wait(timeout=30)
        time.sleep(0.5)
        rig.server.send_signal(signal.SIGTERM)  # the server closes the subscription
        rig.server.wait(timeout=10)
        sub.join(timeout=10)
        cpu = (cpu1 - cpu0) / (wall1 - wall0)

        # Each end of speech of speaker s is matched with the first SpeechOff
        # of speaker s that arrives after it.
        latencies = []
        missed = 0
        for speaker, end in ends:
            name = f"lat.speaker{speaker + 1}.SpeechOff"
            after = [t for t, subj in arrivals if subj == name and t - t0 > end]
            if not after:
                missed += 1
                continue
            latencies.append(1000.0 * (min(after) - t0 - end))
        latencies.sort()
        print(f"listen exit status {status}; {len(arrivals)} SpeechOff received for "
              f"{len(ends)} utterances ({missed} unmatched)")
        if latencies:
            p99 = latencies[min(len(latencies) - 1, math.ceil(0.99 * len(latencies)) - 1)]
            median = statistics.median(latencies)
            print(f"end of speech -> SpeechOff at a NATS subscriber: median {median:.1f} ms, "
                  f"p99 {p99:.1f} ms, min {latencies[0]:.1f} ms, max {latencies[-1]:.1f} ms "
                  f"(goal: median <= {SEGMENT_INTERVAL_MS + 40}, p99 <= {SEGMENT_INTERVAL_MS + 100})")
        print(f"player latency {args.player_latency_ms} ms")
        print(f"CPU of listen, two channels at {RATE} Hz, publishing: {100.0 * cpu:.2f} % of one core")
        per_thread = sorted(((ran - threads0.get(tid, (0.0,))[0], tid, name)
                             for tid, (ran, _, name) in threads1.items()), reverse=True)
        print("per thread (% of one core): " + ", ".join(
            f"{name}[{tid}] {100.0 * used / (wall1 - wall0):.2f}" for used, tid, name in per_thread
            if used / (wall1 - wall0) >= 0.0005))
        if not args.smoke and (not latencies or missed or status != 0):
            sys.exit(1)

if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Long live soak of `loquant listen --publish`, on real parts.

    bench/live_soak.py [--loquant BUILD/cli/loquant] [--minutes M] [--smoke]

Starts a nats-server on 127.0.0.1 and a PulseAudio server with a null sink in
a temporary folder (as a throw-away user when run as root: PulseAudio refuses
root), runs `loquant listen --channels 2 --publish` on the sink's monitor,
and plays a generated two-speaker recording into the sink in a loop for M
minutes (30 by default; --smoke: 20 seconds, only lost events checked). A
subscriber counts every message that arrives on the prefix's subjects.
Reports:

- the resident memory of `listen` a minute in (5 s with --smoke, when the
  first allocations are done) and at the end, and their difference against
  the goal of less than 1 MB;
- the capture overruns `listen` reported;
- the events sent (the JSON lines `listen` printed: every one is also
  published) against the events received by the subscriber, and what
  `listen` said it could not publish.

It also reports the processor time `listen` used, counted from the same
moment as the first resident size (the audio system's thread polls without
pause for about two seconds while a new stream starts), and its busiest
threads.

Exits 1 when a goal is missed (with --smoke: when an event was lost or
listen failed).
"""
import argparse
import os
import re
import signal
import sys
import threading
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import live_latency  # noqa: E402  (the recording, the subscriber)
from live_rig import LiveRig, cpu_seconds, thread_cpu  # noqa: E402


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser()
    ap.add_argument("--loquant", default=os.path.join(root, "build", "cli", "loquant"))
    ap.add_argument("--minutes", type=float, default=30.0)
    ap.add_argument("--smoke", action="store_true", help="20 seconds, only lost events checked")
    args = ap.parse_args()
    seconds = 20.0 if args.smoke else 60.0 * args.minutes
    settle = 5.0 if args.smoke else 60.0  # when the first resident size is taken
    loquant = os.path.abspath(args.loquant)
    failed = False
    with LiveRig("live_soak", "lqsoak") as rig:
        work = rig.work
        recording = os.path.join(work, "talk.wav")
        live_latency.make_recording(recording, 8)
        with wave.open(recording, "rb") as w:
            pcm = w.readframes(w.getnframes())
        port = rig.port
        arrivals = []
        ready = threading.Event()
        sub = threading.Thread(target=live_latency.subscribe,
                               args=(port, "soak.>", arrivals, ready))
        sub.start()
        ready.wait(10)
        out_path = os.path.join(work, "listen.out")
        err_path = os.path.join(work, "listen.err")
        with open(out_path, "wb") as out:
            listen = rig.start_listen(loquant, "soak", out, err_path)
        play = rig.player(latency_ms=20)
        piece = 441 * 4
        start = time.time()
        rss_settled = None
        rss_max = 0
        cpu0, threads0, since = 0.0, {}, start
        k = 0
        while time.time() - start < seconds and listen.poll() is None:
            at = (k * piece) % len(pcm)
            play.stdin.write(pcm[at:at + piece].ljust(piece, b"\0"))
            play.stdin.flush()
            k += 1
            if k % 100 == 0:
                rss = rss_kib(listen.pid)
                rss_max = max(rss_max, rss)
                if rss_settled is None and time.time() - start >= settle:
                    # Also where the processor time is counted from: the
                    # audio system's thread polls without pause for about
                    # two seconds while a new stream starts.
                    rss_settled = rss
                    cpu0, threads0, since = cpu_seconds(listen.pid), thread_cpu(listen.pid), time.time()
            time.sleep(max(0.0, start + k * 0.01 - time.time()))
        wall = time.time() - start
        rss_end = rss_kib(listen.pid) if listen.poll() is None else 0
        counted = time.time() - since
        cpu = (cpu_seconds(listen.pid) - cpu0) / counted if listen.poll() is None else float("nan")
        threads = thread_cpu(listen.pid) if listen.poll() is None else {}
        busiest = sorted((((t - threads0.get(tid, (0.0, 0))[0]) / counted,
                           (w - threads0.get(tid, (0.0, 0))[1]) / counted, name)
                          for tid, (t, w, name) in threads.items()), reverse=True)
        play.stdin.close()
        play.wait()
        listen.send_signal(signal.SIGINT)
        status = listen.wait(timeout=30)
        time.sleep(1.0)
        rig.server.send_signal(signal.SIGTERM)  # the server closes the subscription
        rig.server.wait(timeout=10)
        sub.join(timeout=10)

        sent = sum(1 for line in open(out_path, "rb") if line.strip())
        received = len(arrivals)
        log = open(err_path, encoding="utf-8", errors="replace").read()
        overruns = 0
        if m := re.search(r"(\d+) capture overrun", log):
            overruns = int(m.group(1))
        unpublished = 0
        if m := re.search(r"(\d+) message\(s\) could not be published", log):
            unpublished = int(m.group(1))
        growth = (rss_end - (rss_settled or rss_end)) / 1024.0
        print(f"soak: {wall / 60.0:.1f} min of live input, listen exit status {status}")
        print(f"resident memory: {(rss_settled or 0) / 1024.0:.1f} MB after {settle:.0f} s, "
              f"{rss_end / 1024.0:.1f} MB at the end (max {rss_max / 1024.0:.1f} MB): "
              f"growth {growth:+.2f} MB (goal < 1 MB)")
        print(f"capture overruns: {overruns} (goal 0)")
        print(f"events: {sent} sent, {received} received, {unpublished} not published "
              f"(goal: none lost)")
        print(f"CPU of listen after {settle:.0f} s: {100.0 * cpu:.2f} % of one core; "
              "busiest threads: " +
              ", ".join(f"{name} {100.0 * b:.2f} % ({w:.0f} wake-ups/s)"
                        for b, w, name in busiest[:5]))
        lines = [line for line in log.splitlines() if "listening" not in line]
        if lines:
            print("listen said:\n  " + "\n  ".join(lines[-8:]))
        # Lost events and a failed run fail a smoke run too; memory and
        # overruns depend on the machine's load and only fail a full one.
        broken = status != 0 or sent == 0 or sent != received or unpublished != 0
        failed = broken or (not args.smoke and (growth >= 1.0 or overruns != 0))
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()

"""The real parts the live benchmarks run against, set up and torn down in one
place: a nats-server on a free 127.0.0.1 port and a PulseAudio server with a
null sink ("lqsink", 44.1 kHz, two channels) in a temporary folder, run as a
throw-away user when run as root (PulseAudio refuses root), and `loquant
listen` on the sink's monitor publishing to the server.

    with LiveRig("live_soak", "lqsoak") as rig:
        listen = rig.start_listen(loquant, "soak", stdout, stderr)
        play = rig.player(latency_ms=20)
        ...

Everything started is stopped, the user removed and the folder deleted when
the block ends, also on an error.
"""
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(ready, tries=500, pause=0.02):
    """Polls `ready()` until it is true or the tries run out (10 s)."""
    for _ in range(tries):
        if ready():
            return True
        time.sleep(pause)
    return False


def thread_cpu(pid):
    """(CPU seconds, voluntary wake-ups, name) of every thread of `pid`, by
    thread id. The time is the scheduler's own nanosecond account: the
    tick-sampled times of /proc/PID/stat misjudge threads that wake briefly
    and often. A thread that ends while it is read is left out."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            whole = open(f"/proc/{pid}/task/{tid}/stat").read()
            ran = int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0]) / 1e9
            status = open(f"/proc/{pid}/task/{tid}/status").read()
        except OSError:
            continue
        wakes = int(re.search(r"voluntary_ctxt_switches:\s+(\d+)", status).group(1))
        out[tid] = (ran, wakes, whole[whole.index("(") + 1:whole.rindex(")")])
    return out


def cpu_seconds(pid):
    """Time all threads of `pid` ran on a processor."""
    return sum(ran for ran, _, _ in thread_cpu(pid).values())


class LiveRig:
    def __init__(self, script, user_prefix):
        for program in ("nats-server", "pulseaudio", "pacat"):
            if not shutil.which(program) and not os.path.exists("/usr/sbin/" + program):
                sys.exit(f"{script}: {program} is not installed (scripts/setup installs it)")
        self.nats = shutil.which("nats-server") or "/usr/sbin/nats-server"
        self.user_prefix = user_prefix
        self.user = None
        self.procs = []
        self.work = None

    def __enter__(self):
        self.work = tempfile.mkdtemp(prefix=f"loquant-{self.user_prefix}-")
        os.chmod(self.work, 0o755)
        if os.getuid() == 0:
            self.user = f"{self.user_prefix}{os.getpid()}"
            subprocess.run(["useradd", "-M", "-r", "-s", "/usr/sbin/nologin", self.user],
                           check=True)
            entry = pwd.getpwnam(self.user)
            os.chown(self.work, entry.pw_uid, entry.pw_gid)
        self.env = {"HOME": self.work, "XDG_RUNTIME_DIR": self.work, "PATH": "/usr/bin:/bin",
                    "PULSE_SERVER": "unix:" + self.work + "/native", "PULSE_SINK": "lqsink",
                    "PULSE_SOURCE": "lqsink.monitor"}
        self.port = free_port()
        self.server = subprocess.Popen([self.nats, "-a", "127.0.0.1", "-p", str(self.port)],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(self.server)
        self.procs.append(self.as_user(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
             "--use-pid-file=no",
             "-L", "module-null-sink sink_name=lqsink rate=44100 channels=2",
             "-L", "module-native-protocol-unix socket=" + self.work + "/native"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: os.path.exists(self.work + "/native"))

        def nats_up():
            try:
                socket.create_connection(("127.0.0.1", self.port)).close()
                return True
            except OSError:
                return False
        wait_for(nats_up)
        return self

    def __exit__(self, *exc):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if self.user is not None:
            subprocess.run(["userdel", self.user], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)
        return False

    def as_user(self, argv, **kw):
        """Starts `argv` as the rig's user (as this one when not root)."""
        if self.user is None:
            return subprocess.Popen(argv, **kw)
        entry = pwd.getpwnam(self.user)

        def drop():
            os.setgroups([])
            os.setresgid(entry.pw_gid, entry.pw_gid, entry.pw_gid)
            os.setresuid(entry.pw_uid, entry.pw_uid, entry.pw_uid)
        return subprocess.Popen(argv, preexec_fn=drop, **kw)

    def start_listen(self, loquant, prefix, stdout, err_path):
        """`loquant listen` on two channels of the sink's monitor, publishing
        under `prefix`; returns once it says it is listening (its stderr goes
        to `err_path`)."""
        with open(err_path, "wb") as err:
            listen = self.as_user([loquant, "listen", "--device", "pulse", "--channels", "2",
                                   "--no-view", "--publish",
                                   f"nats://127.0.0.1:{self.port}/{prefix}"],
                                  env=self.env, stdout=stdout, stderr=err)
        self.procs.append(listen)
        wait_for(lambda: b"listening" in open(err_path, "rb").read())
        return listen

    def player(self, latency_ms):
        """A raw 44.1 kHz stereo player into the sink, fed on its stdin."""
        return self.as_user(["pacat", "--playback", "--raw", "--rate=44100", "--channels=2",
                             "--format=s16le", f"--latency-msec={latency_ms}", "-d", "lqsink"],
                            env=self.env, stdin=subprocess.PIPE)

"""Where the tests find the command and the example: LOQUANT_COMMAND and
LOQUANT_SOURCE_DIR (set by CTest), else the default build folder."""
import os
import pathlib
import shutil
import subprocess
import wave

import numpy as np
import pytest

SOURCE = pathlib.Path(os.environ.get("LOQUANT_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
EXAMPLE = SOURCE / "examples" / "conversation.wav"


@pytest.fixture(scope="session")
def command():
    path = os.environ.get("LOQUANT_COMMAND") or shutil.which("loquant") \
        or str(SOURCE / "build" / "cli" / "loquant")
    if not os.path.exists(path):
        pytest.skip("no loquant command to compare with (set LOQUANT_COMMAND)")
    return path


@pytest.fixture(scope="session")
def example():
    return str(EXAMPLE)


@pytest.fixture(scope="session")
def example_samples():
    with wave.open(str(EXAMPLE)) as recording:
        data = np.frombuffer(recording.readframes(recording.getnframes()), "<i2")
        return data.reshape(-1, recording.getnchannels()), recording.getframerate()


@pytest.fixture
def run(command):
    """Runs `loquant ARGS...`; returns (status, stdout, stderr)."""
    def call(*args):
        done = subprocess.run([command, *map(str, args)], capture_output=True, text=True)
        return done.returncode, done.stdout, done.stderr
    return call

"""The notebook-style example runs to its end on the bundled recording."""
import subprocess
import sys

from conftest import SOURCE


def test_example_prints_the_summary_and_floor():
    done = subprocess.run([sys.executable, str(SOURCE / "examples" / "python" / "conversation.py"),
                           "--plot", "/dev/null/none.png"], capture_output=True, text=True)
    # Without matplotlib it says so; with it, saving to an impossible path fails
    # only after everything else was printed.
    assert "Recording: 17.299 s, 2 speakers" in done.stdout
    assert "Silence giving" in done.stdout
    assert "median F0" in done.stdout

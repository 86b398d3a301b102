"""The notebook-style example runs to its end on the bundled recording."""
import subprocess
import sys

from conftest import SOURCE


def test_example_prints_the_summary_and_floor(tmp_path):
    plot = tmp_path / "talk.png"
    done = subprocess.run([sys.executable, str(SOURCE / "examples" / "python" / "conversation.py"),
                           "--plot", str(plot)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "Recording: 17.299 s, 2 speakers" in done.stdout
    assert "Silence giving" in done.stdout
    assert "median F0" in done.stdout
    # The plot is made when matplotlib is there, and said to be missing otherwise.
    assert plot.exists() or "matplotlib is not installed" in done.stdout

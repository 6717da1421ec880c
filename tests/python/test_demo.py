import subprocess
import sys
from pathlib import Path

from bounded import SECONDS

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_writes_the_plot_it_names(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO)], cwd=tmp_path, capture_output=True, text=True, check=True,
                            timeout=SECONDS)
    plot = tmp_path / "mirelo-variance.png"
    assert result.stdout.splitlines()[-1].endswith(f": {plot}")
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_demo_refuses_a_plot_in_a_missing_directory_before_any_work(tmp_path):
    plot = tmp_path / "missing" / "plot.png"
    result = subprocess.run([sys.executable, str(DEMO), "--plot", str(plot)], capture_output=True, text=True,
                            timeout=SECONDS)
    assert result.returncode == 2 and "does not exist" in result.stderr
    assert result.stdout == ""

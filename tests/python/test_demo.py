import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_writes_the_plot_it_names(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO)], cwd=tmp_path, capture_output=True, text=True, check=True)
    plot = tmp_path / "mirelo-variance.png"
    assert result.stdout.splitlines()[-1].endswith(f": {plot}")
    assert plot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

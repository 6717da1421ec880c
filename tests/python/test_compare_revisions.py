"""The revision comparison in benchmarks/ still builds against the core and runs to its end."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from bounded import SECONDS

ROOT = Path(__file__).resolve().parents[2]


# Each side calls the engine's C++ interface, which no other Python test builds against.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="it builds libraries of its own")
@pytest.mark.skipif(not (ROOT / ".git").exists(), reason="it takes its revisions from a git checkout")
def test_working_tree_against_itself_gives_the_same_answers(tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "compare_revisions.py"), ".", ".",
                             "--workload", "digits", "--rounds", "2", "--calls", "5", "--work-dir", str(tmp_path)],
                            cwd=ROOT, capture_output=True, text=True, timeout=3 * SECONDS)
    assert result.returncode == 0, result.stdout + result.stderr
    # Labels and neighbours, for one-row calls and for the batch.
    assert result.stdout.count(" same: A ") == 4

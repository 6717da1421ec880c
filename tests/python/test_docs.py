"""The Python snippets of the README and docs/, each run on its own as a reader would paste it, and
the README's test command, the one CI runs."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from bounded import SECONDS

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SNIPPETS = {f"{page.stem}-{number}": snippet
            for page in PAGES
            for number, snippet in enumerate(re.findall(r"^```python\n(.*?)^```", page.read_text(), re.M | re.S), 1)}


@pytest.mark.parametrize("snippet", SNIPPETS.values(), ids=SNIPPETS.keys())
def test_snippet_runs_on_its_own_and_prints_what_it_says(snippet, tmp_path):
    result = subprocess.run([sys.executable, "-c", snippet], cwd=tmp_path, capture_output=True, text=True,
                            timeout=SECONDS)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    printed = [line for line in lines if not line.startswith(("[PCA] ", "[Engine] "))]
    # A `print(...)  # text` line promises that text.
    assert printed == re.findall(r"^print\(.*\)  # (.*)$", snippet, re.M)
    if "os.dup2" in snippet:  # a recipe that silences the engine must really silence it
        assert printed == lines


def shell_commands(page):
    return {line.strip() for block in re.findall(r"^```sh\n(.*?)^```", page.read_text(), re.M | re.S)
            for line in block.splitlines()}


def test_readme_gives_the_test_command_that_ci_runs():
    ci = {line.strip() for line in (ROOT / ".ci" / "run").read_text().splitlines() if line.startswith("bash ")}
    # CI runs the plain command and its sanitizer mode; the README gives the plain one.
    assert ci & shell_commands(ROOT / "README.md")

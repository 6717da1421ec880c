"""Every kernel build the CPU runs gives the same answers, bit for bit, and MIRELO_KERNELS asking for
one the process cannot run fails the import cleanly."""

import os
import platform
import subprocess
import sys

import pytest

from bounded import SECONDS

BUILDS = ("portable", "avx2", "avx512")
# What each build needs from the CPU, as Linux names the flags.
NEEDS = {"portable": set(), "avx2": {"avx2", "fma"}, "avx512": {"avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512_vnni"}}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            return next((set(line.split(":", 1)[1].split()) for line in info if line.startswith("flags")), set())
    except OSError:
        return set()


X86 = platform.machine().lower() in ("x86_64", "amd64")
RUNNABLE = [b for b in BUILDS if b == "portable" or (X86 and NEEDS[b] <= cpu_flags())]

# Tall fits (covariance), the second in blocks that threads take side by side, and a wide one
# (Gram products), then neighbours, labels and the reduced rows; one digest of all their bytes.
# The last store is large enough for the screen's checkpoint and its 8-bit codes, searched by a
# batch and by single rows.
CHILD = """
import hashlib, numpy as np
from mirelo_sklearn import MireloClassifier
digest = hashlib.sha256()
rng = np.random.default_rng(5)
for rows, features in ((1500, 70), (9000, 40), (120, 300), (8000, 60)):
    X = rng.normal(size=(rows, features)) @ rng.normal(size=(features, features))
    y = rng.integers(4, size=rows)
    queries = rng.normal(size=(40, features)) @ rng.normal(size=(features, features))
    model = MireloClassifier(n_neighbors=4, n_jobs={threads}).fit(X, y)
    distances, indices = model.kneighbors(queries)
    alone = [model.kneighbors(q[None, :]) for q in queries[:5]]
    for part in (model.components_, model.explained_variance_, distances, indices, model.predict(queries),
                 model.transform(queries), *(part for pair in alone for part in pair)):
        digest.update(np.ascontiguousarray(part).tobytes())
print(digest.hexdigest())
"""


def run(code, kernels):
    env = {k: v for k, v in os.environ.items() if k != "MIRELO_KERNELS"}
    if kernels is not None:
        env["MIRELO_KERNELS"] = kernels
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=SECONDS)


def test_every_build_and_thread_count_gives_the_same_bits():
    answers = {}
    for kernels in (None, *RUNNABLE):
        for threads in (1, 2):
            child = run(CHILD.format(threads=threads), kernels)
            assert child.returncode == 0, child.stderr
            answers[kernels, threads] = child.stdout
    assert len(set(answers.values())) == 1, answers


@pytest.mark.parametrize("module", ["mirelo", "mirelo_sklearn"])
@pytest.mark.parametrize("kernels", ["sse9", "AVX2", "avx512 ", *sorted(set(BUILDS) - set(RUNNABLE))])
def test_a_build_the_process_cannot_run_fails_the_import(module, kernels):
    child = run(f"import {module}", kernels)
    assert child.returncode == 1, child.stderr
    last = child.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: MIRELO_KERNELS") and kernels in last, last
    assert ("builds that run here" in last if kernels in BUILDS else "expected one of portable, avx2, avx512" in last)

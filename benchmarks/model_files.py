"""The files workload: MireloClassifier's model file against its pickle.

Opening (read, mapped, mapped without the digest check), the file's size against the store it
holds, the memory a mapped model adds while it answers, its first answer after opening, and
its one-row and batch times against the in-memory model. Opening and answering run in fresh
processes, so each starts without the model in its memory (the file stays in the page cache).
"""

import json
import os
import pickle
import subprocess
import sys
import tempfile

import numpy as np

# Run in a child: opens the model, answers, and reports times and its private memory.
_CHILD = r"""
import json, pickle, sys, time
import numpy as np
from threadpoolctl import threadpool_limits
from mirelo_sklearn import MireloClassifier

# Memory of the process's own: a mapped file's clean pages belong to the page cache, shared by
# every process that maps the file, and count as private only while one process maps it.
def private_kib():
    with open("/proc/self/smaps_rollup") as rollup:
        return sum(int(line.split()[1]) for line in rollup if line.startswith("Anonymous:"))

path, mode, verify, queries_path, calls = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4], int(sys.argv[5])
queries = np.load(queries_path)
before = private_kib()
with threadpool_limits(limits={"blas": 1}):
    start = time.perf_counter()
    if mode == "pickle":
        with open(path, "rb") as file:
            model = pickle.load(file)
    else:
        model = MireloClassifier.load(path, mmap_mode=None if mode == "none" else mode, verify=verify)
    opened = time.perf_counter() - start
    start = time.perf_counter()
    model.predict(queries[:1])
    first = time.perf_counter() - start
    one_row = []
    for i in range(calls):
        start = time.perf_counter()
        model.predict(queries[i % len(queries):][:1])
        one_row.append(time.perf_counter() - start)
    batches = []
    for _ in range(3):
        start = time.perf_counter()
        model.predict(queries)
        batches.append(time.perf_counter() - start)
print(json.dumps({"open": opened, "first": first, "one_row": float(np.median(one_row)), "batch": min(batches),
                  "private_mib": (private_kib() - before) / 1024}))
"""


def _child(path, mode, verify, queries_path, calls, threads):
    env = {**os.environ, "OMP_NUM_THREADS": str(threads)}
    done = subprocess.run([sys.executable, "-c", _CHILD, path, mode, "1" if verify else "0", queries_path,
                           str(calls)], capture_output=True, text=True, check=True, env=env)
    return json.loads(done.stdout)


def files_workload(w, measured, threads, calls):
    from threadpoolctl import threadpool_limits

    from mirelo_sklearn import MireloClassifier

    model = MireloClassifier(n_neighbors=w.k, n_components=w.variance, scale=w.scale)
    with threadpool_limits(limits={"blas": 1, "openmp": threads}):
        _, fit, _ = measured(lambda: model.fit(w.X, w.y))
    directory = tempfile.mkdtemp(prefix="mirelo-files-")
    path, pickled, queries_path = (os.path.join(directory, name) for name in ("model", "model.pkl", "queries.npy"))
    _, save, _ = measured(lambda: model.save(path))
    with open(pickled, "wb") as file:
        pickle.dump(model, file, protocol=pickle.HIGHEST_PROTOCOL)
    np.save(queries_path, w.queries)
    runs = {name: _child(target, mode, verify, queries_path, calls, threads) for name, target, mode, verify in [
        ("pickle.load", pickled, "pickle", True), ("load", path, "none", True),
        ("load, mapped", path, "r", True), ("load, mapped, verify=False", path, "r", False)]}
    file_bytes = os.path.getsize(path)
    held = sys.getsizeof(model)
    components = model.components_.nbytes
    print(f"\n**files: MireloClassifier on {len(w.X)} x {w.X.shape[1]} {w.X.dtype}, k={w.k}** "
          f"({model.n_components_} components, {threads} threads, {len(w.queries)} queries, "
          f"one-row median of {calls})\n")
    print(f"fit {fit:.3g} s, save {save:.3g} s; file {file_bytes / 2**20:.1f} MiB, pickle "
          f"{os.path.getsize(pickled) / 2**20:.1f} MiB, in-memory model {held / 2**20:.1f} MiB "
          f"(file ÷ (model + components) {file_bytes / (held + components):.2f})\n")
    print("| open | open (s) | first answer (ms) | one-row (ms) | batch (s) | private memory added (MiB) | "
          "÷ file |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, run in runs.items():
        print(f"| {name} | {run['open']:.3g} | {run['first'] * 1e3:.3g} | {run['one_row'] * 1e3:.3g} | "
              f"{run['batch']:.3g} | {run['private_mib']:.0f} | {run['private_mib'] * 2**20 / file_bytes:.2f} |")
    for name in (path, pickled, queries_path):
        os.unlink(name)
    os.rmdir(directory)

"""Compare the search of two revisions in one process.

    python benchmarks/compare_revisions.py                        # main against the working tree
    python benchmarks/compare_revisions.py 5eac36a~3 5eac36a --workload tall
    python benchmarks/compare_revisions.py 743a9ba~1 3e87304 --workload growth --rows 1000000 --modes predict

Each revision's core (not its Python module) is built with CMake into a shared library of its own,
its namespace renamed (mirelo_a, mirelo_b) so that profiles tell the sides apart; "." is this
checkout's working tree, any other revision is taken out with `git archive`. One driver process
(compare_revisions.cpp) loads both, trains both on the same rows of one of the harness's workloads
(written once to a binary file), then runs rounds of calls alternating A B, B A, ... and prints
each side's median CPU time per call, the ratio B/A of the medians with the spread of the
rounds' ratios, and whether the answers (labels, and the neighbours and distances of every query)
hash the same on both sides. Different answers exit with status 1.

Sources, builds and data files are kept in --work-dir and reused; delete it to free the space.
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import workloads  # noqa: E402

WORKLOADS = {  # name: (rows, queries) by default
    "digits": (1797, 500),
    "tall": (50_000, 10_000),
    "tall99": (50_000, 10_000),
    "growth": (100_000, 2000),
}


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", nargs="?", default="main", help="side A's revision (default main)")
    parser.add_argument("new", nargs="?", default=".", help="side B's revision (default '.', the working tree)")
    parser.add_argument("--workload", choices=sorted(WORKLOADS), default="tall",
                        help="digits: 1797 x 64 with noisy rows as queries; tall: 784 features, 50000 rows; "
                             "tall99: tall at variance 0.99; growth: the growth workload's rows, 784 features, "
                             "100000 rows (default tall)")
    parser.add_argument("--rows", type=int, help="training rows of tall, tall99 and growth")
    parser.add_argument("--latent", type=int, default=48,
                        help="latent dimensions the growth rows are drawn from (default 48, as the harness's)")
    parser.add_argument("--queries", type=int, help="queries (default 500 for digits, 2000 for growth, else 10000)")
    parser.add_argument("--rounds", type=int, default=20, help="rounds, each one turn per side (default 20)")
    parser.add_argument("--modes", nargs="+", choices=["predict", "batch"], default=["predict", "batch"],
                        help="predict: one-row predict calls; batch: predict_batch calls (default both)")
    parser.add_argument("--calls", type=int, default=0,
                        help="calls a turn (default: as many as take --turn-seconds, judged from warm-up calls)")
    parser.add_argument("--turn-seconds", type=float, default=0.1, help="CPU time of a turn (default 0.1)")
    parser.add_argument("--batch-rows", type=int, help="rows of each predict_batch call (default all queries)")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of the core (default 1: with more, a busy machine's cores leave threads "
                             "waiting at barriers, and OpenMP's waiting counts as CPU time)")
    parser.add_argument("--work-dir", type=Path, default=Path(tempfile.gettempdir()) / "mirelo-compare-revisions",
                        help="where sources, builds and data are kept (default %(default)s)")
    return parser.parse_args(argv)


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def source_tree(revision, repo, work):
    """The revision's tree: the working tree for ".", else its commit extracted once."""
    if revision == ".":
        return repo, "worktree"
    commit = git("rev-parse", "--verify", f"{revision}^{{commit}}", cwd=repo)
    tree = work / f"src-{commit[:12]}"
    if not tree.exists():
        partial = Path(tempfile.mkdtemp(dir=work))
        archive = subprocess.Popen(["git", "archive", commit], cwd=repo, stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", str(partial)], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise SystemExit(f"git archive {commit} failed")
        partial.rename(tree)
    return tree, commit[:12]


def run_quietly(command):
    """Runs a build step, showing its output only when it fails."""
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"failed: {' '.join(str(c) for c in command)}")


def build_side(source, name, side, work):
    """The side's library: the core of `source` with its namespace renamed mirelo_<side>."""
    build = work / f"build-{name}-{side}"
    run_quietly(["cmake", "-S", HERE / "revision_side", "-B", build, "-G", "Ninja", f"-DMIRELO_SOURCE={source}",
                 f"-DMIRELO_NAMESPACE=mirelo_{side}", f"-DPython_EXECUTABLE={sys.executable}"])
    run_quietly(["cmake", "--build", build])
    return build / "libmirelo_revision_side.so"


def build_driver(work):
    driver = work / "compare_revisions"
    source = HERE / "compare_revisions.cpp"
    if not driver.exists() or driver.stat().st_mtime < max(source.stat().st_mtime, (
            HERE / "revision_side" / "revision_side.hpp").stat().st_mtime):
        run_quietly([os.environ.get("CXX", "c++"), "-O2", "-std=c++17", "-Wall", "-Wextra", "-o", driver, source,
                     "-ldl"])
    return driver


def make_workload(name, rows, queries, latent):
    if name == "digits":
        return workloads.digits(queries)
    if name == "growth":
        return workloads.large("growth", rows, queries, 784, seed=1, latent=latent)
    w = workloads.synthetic(name, rows, queries, 784)
    if name == "tall99":
        w.variance = 0.99
    return w


def data_file(w, path):
    """Writes the workload: its sizes and settings, the rows, the queries, then the rows' class numbers."""
    _, labels = np.unique(np.asarray(w.y), return_inverse=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        np.array([len(w.X), len(w.queries), w.X.shape[1], w.k, w.scale], dtype=np.int64).tofile(out)
        np.array([w.variance], dtype=np.float64).tofile(out)
        np.ascontiguousarray(w.X, dtype=np.float64).tofile(out)
        np.ascontiguousarray(w.queries, dtype=np.float64).tofile(out)
        labels.astype(np.int32).tofile(out)
    partial.rename(path)


def main():
    args = parse_args()
    work = args.work_dir.resolve()
    work.mkdir(parents=True, exist_ok=True)
    repo = Path(git("rev-parse", "--show-toplevel", cwd=HERE))
    libraries = []
    for side, revision in (("a", args.old), ("b", args.new)):
        source, name = source_tree(revision, repo, work)
        print(f"{side.upper()}  {revision} ({name}): building", flush=True)
        libraries.append(build_side(source, name, side, work))
    driver = build_driver(work)

    default_rows, default_queries = WORKLOADS[args.workload]
    rows = default_rows if args.workload == "digits" else args.rows or default_rows
    queries = args.queries or default_queries
    # Only the growth rows depend on the latent dimension; the harness's default keeps the old name.
    latent = f"-latent{args.latent}" if args.workload == "growth" and args.latent != 48 else ""
    data = work / f"data-{args.workload}{latent}-{rows}x{queries}.bin"
    if not data.exists():
        print(f"writing {data}", flush=True)
        data_file(make_workload(args.workload, rows, queries, args.latent), data)

    env = dict(os.environ, OMP_NUM_THREADS=str(args.threads))
    command = [driver, *libraries, data, ",".join(args.modes), args.rounds, args.calls, args.turn_seconds,
               args.batch_rows or queries]
    raise SystemExit(subprocess.run([str(c) for c in command], env=env).returncode)


if __name__ == "__main__":
    main()

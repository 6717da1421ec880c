"""Times mirelo against scikit-learn, faiss and hnswlib on the same data and thread count.

    python benchmarks/run.py                      # quick: a small tall set and digits, under a minute
    python benchmarks/run.py --workload tall hard tall99 wide latency growth --threads 2 --plot benchmarks/growth.png
    python benchmarks/run.py --workload pickle    # MireloClassifier's pickle against a refit
    python benchmarks/run.py --workload scale --skip faiss   # 1,000,000 x 784 where memory allows, else 400,000
    python benchmarks/run.py --workload dask      # mirelo_dask on a local two-worker cluster
    python benchmarks/run.py --workload memmap    # training from memory-mapped files paged out as read
    python benchmarks/run.py --workload grow      # partial_fit's additions against a fit of every row
    python benchmarks/run.py --workload weights   # MireloClassifier's weighted votes against scikit-learn's
    python benchmarks/run.py --workload files     # model files: open, memory and answers against the pickle

With --kernel-rate it also prints the covariance product's rate beside the multiply-add peak,
from a small C++ program built with
    cmake -S . -B build/bench -G Ninja -DMIRELO_BUILD_MODULE=OFF -DMIRELO_BUILD_BENCHMARKS=ON
    cmake --build build/bench

Prints a Markdown table per workload (times in seconds unless stated; ratios are the other
method's time or memory over mirelo's, so above 1 means mirelo is faster or smaller) and,
with --plot PATH, draws the growth workload's times to PATH.
"""

import argparse
import os
import sys

# The OpenBLAS that NumPy ships reads these when it loads; tuning left over from another
# machine only slows it down, so the benchmark runs without them.
for _name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
    os.environ.pop(_name, None)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workload", nargs="+", default=["quick"],
                        choices=["quick", "tall", "hard", "tall99", "wide", "latency", "growth", "scale", "pickle",
                                 "dask", "weights", "memmap", "files", "grow"],
                        help="quick: 10000 x 784 tall rows, then latency (the default); tall: 50000 x 784; "
                             "hard: 50000 x 784 float32 rows from 50 isotropic latent dimensions, which no "
                             "box prunes; "
                             "tall99: the tall data at variance 0.99, many more components; "
                             "wide: 2000 x 20000; latency: digits, 1797 x 64, with one-row calls; "
                             "growth: batch and one-row times against training rows, to 1,000,000 x 784 "
                             "(6.3 GB); scale: 1000000 x 784 (6.3 GB) where memory holds twice that, else "
                             "400000 x 784 (2.5 GB); "
                             "pickle: MireloClassifier's pickle of the tall rows against a refit; "
                             "dask: 200000 queries against a 20000 x 200 model on a local cluster; "
                             "weights: MireloClassifier's predict_proba of the tall rows by weighting; "
                             "memmap: training from memory-mapped float64 and float32 files of 200000 x 784, "
                             "paged out as they are read; "
                             "files: MireloClassifier's model file of float32 rows, 1000000 x 784 where memory "
                             "allows, else 400000 (--rows sets it), opened read and mapped; "
                             "grow: a fit of 200000 x 784 grown by 100 additions of 2000 rows, against a fit of all")
    parser.add_argument("--threads", type=int, default=2, help="threads for every method (default 2)")
    parser.add_argument("--rows", type=int,
                        help="training rows of the tall and hard workloads (default 50000; 10000 in the quick run)")
    parser.add_argument("--features", type=int, help="features of the wide workload (default 20000)")
    parser.add_argument("--queries", type=int,
                        help="queries of the tall and hard workloads (default 10000; 1000 in the quick run)")
    parser.add_argument("--growth-rows", type=int, nargs="+", default=[50_000, 100_000, 200_000, 400_000, 1_000_000],
                        help="training row counts of the growth workload (default 50000 100000 200000 400000 "
                             "1000000); scikit-learn only up to 400000, where its PCA's copy of the rows still fits")
    parser.add_argument("--grow", type=int, nargs=3, default=[200_000, 100, 2000], metavar=("ROWS", "ADDITIONS", "BATCH"),
                        help="the grow workload's first fit, its additions and the rows of each (default 200000 "
                             "100 2000)")
    parser.add_argument("--growth-queries", type=int, default=2000,
                        help="queries of the growth workload (default 2000)")
    parser.add_argument("--latent", type=int, default=48,
                        help="latent dimensions the growth and scale workloads' rows are drawn from before "
                             "they are embedded in the 784 features (default 48)")
    parser.add_argument("--calls", type=int, default=200,
                        help="one-row predict calls per method in the quick, tall, hard, growth and latency runs "
                             "(default 200)")
    parser.add_argument("--repeats", type=int, default=5,
                        help="timings of the pickle workload, the best taken (default 5)")
    parser.add_argument("--skip", nargs="*", default=[], choices=["scikit-learn", "faiss", "hnswlib"],
                        help="leave a comparison out (for example scikit-learn's slow wide fit)")
    parser.add_argument("--kernel-rate", metavar="PROGRAM", nargs="?",
                        const=os.path.join(os.path.dirname(__file__), "..", "build", "bench", "mirelo_kernel_rate"),
                        help="run the kernel rate program (default build/bench/mirelo_kernel_rate) first")
    parser.add_argument("--plot", metavar="PATH",
                        help="draw the growth workload's times to this PNG (default: no plot)")
    args = parser.parse_args()
    if args.latent < 1:
        parser.error(f"--latent {args.latent}: needs at least one dimension")
    if args.plot and not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
        parser.error(f"--plot {args.plot}: its directory does not exist")
    return args


args = parse_args()
os.environ["OMP_NUM_THREADS"] = str(args.threads)
os.environ["OPENBLAS_NUM_THREADS"] = str(args.threads)

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

import methods  # noqa: E402
import workloads  # noqa: E402


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def measured(fn):
    """(result, seconds, peak MiB of resident memory above the level before the call)."""
    before = rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:  # restarts the VmHWM high-water mark
        refs.write("5")
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    return result, seconds, max(rss_kib("VmHWM") - before, 0) / 1024


def best_of_three(fn):
    """measured(fn), with the least time of three calls; the memory is the first call's."""
    result, seconds, memory = measured(fn)
    for _ in range(2):
        seconds = min(seconds, measured(fn)[1])
    return result, seconds, memory


def limits(method, threads):
    # mirelo calls no BLAS: one BLAS thread keeps idle OpenBLAS workers from spinning
    # against its OpenMP team. The others get the same count for BLAS and OpenMP.
    if method.name == "mirelo":
        return threadpool_limits(limits={"blas": 1, "openmp": threads})
    if method.name.startswith("faiss"):
        import faiss

        faiss.omp_set_num_threads(threads)
    return threadpool_limits(limits=threads)


def make_methods(w, graph, skip):
    """mirelo and the peers not skipped; hnswlib (an approximate graph index) only with `graph`."""
    chosen = [methods.Mirelo(w.k, w.variance, w.scale)]
    if "scikit-learn" not in skip:
        chosen.append(methods.ScikitLearn(w.k, w.variance, w.scale))
    if "faiss" not in skip:
        chosen.append(methods.Faiss(w.k, w.variance, w.scale, None))
    if graph and "hnswlib" not in skip:
        chosen.append(methods.Hnswlib(w.k, w.variance, w.scale, None, args.threads))
    return chosen


def thread_scaling(method, queries, repeats=3):
    """mirelo's predict_batch on 1 thread and on --threads, the best of `repeats` each, interleaved."""
    best = {1: float("inf"), args.threads: float("inf")}
    for _ in range(repeats):
        for threads in best:
            with threadpool_limits(limits={"blas": 1, "openmp": threads}):
                best[threads] = min(best[threads], measured(lambda: method.predict_batch(queries))[1])
    return best[1], best[args.threads]


def run_workload(w, one_row, scaling=False, graph=False, skip=()):
    """Rows of the table for one workload: {metric: {method: value}} plus label agreement, and with
    `scaling` mirelo's batch times on 1 thread and on --threads. The peers project to mirelo's
    component count; hnswlib (with `graph`) searches at the ef it needs for recall@k >= 0.99."""
    print(f"# {w.name}: {len(w.X)} x {w.X.shape[1]} training, {len(w.queries)} queries, "
          f"k={w.k}, variance={w.variance}, scale={w.scale}", file=sys.stderr)
    figures, labels = {}, {}
    components, times = None, None
    for method in make_methods(w, graph, set(args.skip) | set(skip)):
        if not isinstance(method, methods.Mirelo):
            method.components = components
        with limits(method, args.threads):
            _, figures.setdefault("train (s)", {})[method.name], \
                figures.setdefault("train peak memory (MiB)", {})[method.name] = measured(lambda: method.fit(w.X, w.y))
            if isinstance(method, methods.Mirelo):
                components = method.components
            if isinstance(method, methods.Hnswlib):
                figures.setdefault("recall@k of the graph search", {})[method.name] = method.tune(w.queries)
                figures.setdefault("ef for recall@k >= 0.99", {})[method.name] = method.ef
            labels[method.name], figures.setdefault("predict_batch (s)", {})[method.name], \
                figures.setdefault("predict_batch peak memory (MiB)", {})[method.name] = \
                best_of_three(lambda: method.predict_batch(w.queries))
            if scaling and isinstance(method, methods.Mirelo):
                times = thread_scaling(method, w.queries)
            if one_row:
                calls = []
                for q in w.queries[: args.calls]:
                    start = time.perf_counter()
                    method.predict_one(q)
                    calls.append(time.perf_counter() - start)
                figures.setdefault("predict one row, median (µs)", {})[method.name] = 1e6 * statistics.median(calls)
        print(f"  {method.name} done", file=sys.stderr)
    reference = labels.get("scikit-learn")
    agreement = {name: np.mean(np.asarray(found) == np.asarray(reference)) if reference is not None else None
                 for name, found in labels.items() if name != "scikit-learn"}
    return figures, agreement, components, times


def print_table(title, figures, agreement, components):
    names = ["mirelo", "scikit-learn", "faiss (float32)", "hnswlib (float32)"]
    names = [n for n in names if any(n in values for values in figures.values())]
    print(f"\n**{title}** ({components} components, {args.threads} threads)\n")
    print("| figure | " + " | ".join(names) + " | " + " | ".join(f"{n.split()[0]} ÷ mirelo" for n in names[1:]) + " |")
    print("|---|" + "---:|" * (2 * len(names) - 1))
    for metric, values in figures.items():
        cells = [f"{values[n]:.3g}" if n in values else "–" for n in names]
        ratios = [f"{values[n] / values['mirelo']:.2f}" if n in values and values.get("mirelo", 0) > 0 else "–"
                  for n in names[1:]]
        print(f"| {metric} | " + " | ".join(cells + ratios) + " |")
    cells = [f"{agreement[n]:.4f}" if agreement.get(n) is not None else "–" for n in names]
    print("| labels agreeing with scikit-learn | " + " | ".join(cells) + " |" + " |" * (len(names) - 1))


def growth():
    sizes, times, calls, efs = sorted(args.growth_rows), {}, {}, []
    largest = workloads.large("growth", max(sizes), args.growth_queries, 784, seed=1, latent=args.latent)
    for n in sizes:
        w = workloads.Workload(f"growth {n}", largest.X[:n], largest.y[:n], largest.queries)
        # scikit-learn's PCA copies the rows: beyond this it would double a store of gigabytes.
        figures, _, _, _ = run_workload(w, one_row=True, graph=True, skip={"scikit-learn"} if n > 400_000 else ())
        for name, seconds in figures["predict_batch (s)"].items():
            times.setdefault(name, {})[n] = seconds
            calls.setdefault(name, {})[n] = figures["predict one row, median (µs)"][name]
        efs.append(figures.get("ef for recall@k >= 0.99", {}).get("hnswlib (float32)"))
    print(f"\n**growth**: predict_batch of {args.growth_queries} queries (s) and one row (median µs), "
          f"784 features from {args.latent} latent dimensions, {args.threads} threads; "
          f"hnswlib at the ef giving recall@k >= 0.99\n")
    print("| training rows | " + " | ".join(f"{name} batch | {name} one row" for name in times) + " | hnswlib ef |")
    print("|---:|" + "---:|---:|" * len(times) + "---:|")
    for n, ef in zip(sizes, efs):
        cells = [f"{times[name][n]:.3g} | {calls[name][n]:.0f}" if n in times[name] else "– | –" for name in times]
        print(f"| {n} | " + " | ".join(cells) + f" | {ef if ef is not None else '–'} |")
    if args.plot:
        plot_growth(sizes, times)


def plot_growth(sizes, times):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4))
    for name, seconds in times.items():
        ax.plot(list(seconds), list(seconds.values()), marker="o", label=name)
    ax.set_xlabel("training rows")
    ax.set_ylabel(f"predict_batch of {args.growth_queries} queries (s)")
    ax.set_title(f"Batch prediction time as the store grows ({args.threads} threads)")
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(args.plot, dpi=110)
    print(f"\nplot saved to {args.plot}")


def kernel_rate():
    """The covariance product's GFLOP/s and the multiply-add peak, as the C++ program prints them."""
    import subprocess

    rows, features = str(args.rows or 50_000), "784"
    line = subprocess.run([args.kernel_rate, rows, features], check=True, capture_output=True, text=True).stdout
    print(f"\n**kernel**: {line.strip()}")


def pickling():
    """MireloClassifier's pickle of the tall workload: size against the state it must hold, and
    loading against fitting again (the best of --repeats runs each)."""
    import pickle

    from mirelo_sklearn import MireloClassifier

    w = workloads.synthetic("pickle", args.rows or 50_000, args.queries or 10_000, 784)
    model = MireloClassifier(n_neighbors=w.k, n_components=w.variance, scale=w.scale)
    with threadpool_limits(limits={"blas": 1, "openmp": args.threads}):
        fit = min(measured(lambda: model.fit(w.X, w.y))[1] for _ in range(args.repeats))
        blob = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
        load = min(measured(lambda: pickle.loads(blob))[1] for _ in range(args.repeats))
        identical = np.array_equal(pickle.loads(blob).predict_proba(w.queries), model.predict_proba(w.queries))
    n, m = len(w.X), model.n_components_
    state = 8 * (n * m + w.X.shape[1] * m)
    print(f"\n**pickle: MireloClassifier on {n} x {w.X.shape[1]}, k={w.k}** ({m} components, "
          f"{args.threads} threads, best of {args.repeats})\n")
    print("| figure | value |\n|---|---:|")
    print(f"| pickle (MB) | {len(blob) / 1e6:.3g} |")
    print(f"| reduced rows + components (MB) | {state / 1e6:.3g} |")
    print(f"| pickle ÷ (reduced rows + components) | {len(blob) / state:.3f} |")
    print(f"| training matrix, for comparison (MB) | {w.X.nbytes / 1e6:.3g} |")
    print(f"| fit (s) | {fit:.3g} |")
    print(f"| pickle.loads (s) | {load:.3g} |")
    print(f"| loads ÷ fit | {load / fit:.4f} |")
    print(f"| loaded model's predict_proba bit-identical | {'yes' if identical else 'NO'} |")


def weighting():
    """MireloClassifier's predict_proba of the tall workload with each kind of weights, against
    scikit-learn's pipeline with the same weights (the best of three calls each)."""
    from sklearn.decomposition import PCA
    from sklearn.neighbors import KNeighborsClassifier
    from sklearn.pipeline import make_pipeline

    from mirelo_sklearn import MireloClassifier

    w = workloads.synthetic("weights", args.rows or 50_000, args.queries or 10_000, 784)
    print(f"\n**weights: predict_proba, {len(w.X)} x {w.X.shape[1]} training rows, {len(w.queries)} queries, "
          f"k={w.k}** ({args.threads} threads)\n")
    print("| weights | mirelo (s) | scikit-learn (s) | scikit-learn ÷ mirelo | largest difference |")
    print("|---|---:|---:|---:|---:|")
    for weights in ["uniform", "distance", lambda d: np.exp(-d)]:
        ours = MireloClassifier(n_neighbors=w.k, n_components=w.variance, weights=weights).fit(w.X, w.y)
        theirs = make_pipeline(PCA(w.variance), KNeighborsClassifier(w.k, weights=weights, algorithm="brute"))
        theirs.fit(w.X, w.y)
        with threadpool_limits(limits={"blas": 1, "openmp": args.threads}):
            found, mirelo_time, _ = best_of_three(lambda: ours.predict_proba(w.queries))
        with threadpool_limits(limits=args.threads):
            expected, sklearn_time, _ = best_of_three(lambda: theirs.predict_proba(w.queries))
        name = weights if isinstance(weights, str) else "callable"
        print(f"| {name} | {mirelo_time:.3g} | {sklearn_time:.3g} | {sklearn_time / mirelo_time:.2f} | "
              f"{np.abs(found - expected).max():.2g} |")


def scale_rows():
    """1,000,000 rows where the memory available holds twice them, else 400,000. The whole run
    at 1,000,000 rows (the data and its queries, mirelo and scikit-learn one after the other)
    peaked at 1.15 times the training rows' bytes."""
    with open("/proc/meminfo") as meminfo:
        available = next(int(line.split()[1]) for line in meminfo if line.startswith("MemAvailable:")) * 1024
    return 1_000_000 if available >= 2 * 1_000_000 * 784 * 8 else 400_000


def paging():
    """MireloClassifier, mirelo's engine and scikit-learn's pipeline trained from memory-mapped
    float64 and float32 files that are paged out as they are read."""
    from paging import paging_workload

    from mirelo_sklearn import MireloClassifier

    w = workloads.large("memmap", args.rows or 200_000, 0, 784)
    fits = {"MireloClassifier": lambda X, y: MireloClassifier(n_neighbors=w.k, n_components=w.variance).fit(X, y),
            "mirelo (engine)": lambda X, y: methods.Mirelo(w.k, w.variance, w.scale).fit(X, y)}
    if "scikit-learn" not in args.skip:
        fits["scikit-learn"] = lambda X, y: methods.ScikitLearn(w.k, w.variance, w.scale).fit(X, y)
    with threadpool_limits(limits={"blas": 1, "openmp": args.threads}):
        paging_workload(w, fits, measured, args.threads)


def main():
    if args.kernel_rate:
        kernel_rate()
    # The quick run is a small tall set, then digits.
    names = [n for name in args.workload for n in (("quick", "latency") if name == "quick" else (name,))]
    for name in names:
        if name == "growth":
            growth()
            continue
        if name == "grow":
            from grow import grow_workload

            grow_workload(args.threads, *args.grow, args.growth_queries, args.calls, args.latent)
            continue
        if name == "pickle":
            pickling()
            continue
        if name == "weights":
            weighting()
            continue
        if name == "memmap":
            paging()
            continue
        if name == "files":
            from model_files import files_workload

            w = workloads.large("files", args.rows or scale_rows(), args.queries or 10_000, 784, latent=args.latent)
            w.X = w.X.astype(np.float32)
            files_workload(w, measured, args.threads, args.calls)
            continue
        if name == "dask":
            from cluster import dask_workload

            dask_workload(args.threads, args.rows or 20_000, args.queries or 200_000)
            continue
        if name == "quick":
            w = workloads.synthetic("quick", args.rows or 10_000, args.queries or 1000, 784)
        elif name == "tall":
            w = workloads.synthetic("tall", args.rows or 50_000, args.queries or 10_000, 784)
        elif name == "hard":
            w = workloads.hard("hard", args.rows or 50_000, args.queries or 10_000)
        elif name == "tall99":
            # The same data at variance 0.99: many more components, the weaker ones mostly noise.
            w = workloads.synthetic("tall99", args.rows or 50_000, args.queries or 10_000, 784)
            w.variance = 0.99
        elif name == "wide":
            w = workloads.synthetic("wide", 2000, 2000, args.features or 20_000)
        elif name == "scale":
            w = workloads.large("scale", args.rows or scale_rows(), args.queries or 10_000, 784, latent=args.latent)
        else:
            w = workloads.digits()
        figures, agreement, components, times = run_workload(
            w, one_row=name in ("quick", "latency", "tall", "hard", "tall99"),
            scaling=args.threads > 1 and name in ("quick", "tall", "hard", "tall99"),
            graph=name in ("tall", "hard", "scale"))
        print_table(f"{name}: {len(w.X)} x {w.X.shape[1]} training rows, {len(w.queries)} queries, k={w.k}",
                    figures, agreement, components)
        if times:
            print(f"\n**threads**: mirelo's predict_batch, best of 3: {times[0]:.3g} s on 1 thread, "
                  f"{times[1]:.3g} s on {args.threads} ({times[0] / times[1]:.2f}x)")


if __name__ == "__main__":
    main()

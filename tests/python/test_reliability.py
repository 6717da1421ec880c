import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import mirelo
from mirelo_sklearn import _native
from bounded import SECONDS, joined
from samples import QUERIES, TRAIN_X, TRAIN_Y

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


HUGE = np.broadcast_to(np.zeros(1), (10**6, 10**6))  # a view; copying it needs 8 TB
# Queries are read where they lie, so a huge batch must fail on its answers, which need terabytes.
HUGE_BATCH = np.broadcast_to(np.zeros(TRAIN_X.shape[1]), (10**12, TRAIN_X.shape[1]))


# A column whose differences from its mean exceed the largest double.
SPAN_BEYOND_DOUBLES = np.column_stack([[1.7e308] * (len(TRAIN_Y) - 1) + [-1.7e308], np.zeros(len(TRAIN_Y))])


def with_value(X, value):
    X = np.array(X, dtype=float)
    X.flat[-1] = value
    return X


# One row per line of the README's table of bad input.
@pytest.mark.parametrize("call, error", [
    (lambda e: e.train(TRAIN_X[None], TRAIN_Y), TypeError),
    (lambda e: e.predict_batch(QUERIES[None]), TypeError),
    (lambda e: e.predict(QUERIES[:1]), TypeError),
    (lambda e: e.predict(np.zeros(3)), ValueError),
    (lambda e: e.predict_batch(np.zeros((2, 1))), ValueError),
    (lambda e: e.train(with_value(TRAIN_X, np.nan), TRAIN_Y), ValueError),
    (lambda e: e.train(with_value(TRAIN_X, np.inf), TRAIN_Y), ValueError),
    (lambda e: e.predict(with_value(QUERIES[0], np.nan)), ValueError),
    (lambda e: e.predict_batch(with_value(QUERIES, -np.inf)), ValueError),
    (lambda e: e.train(TRAIN_X, TRAIN_Y[:-1]), ValueError),
    (lambda e: e.train(TRAIN_X, "aaabbb"), TypeError),
    (lambda e: e.train(TRAIN_X, list(range(6))), TypeError),
    (lambda e: e.train(np.empty((0, 2)), []), ValueError),
    (lambda e: e.train(SPAN_BEYOND_DOUBLES, TRAIN_Y), ValueError),
    (lambda e: e.predict(np.array([1e200, 0.0])), ValueError),
    (lambda e: e.train(HUGE, ["a"] * 10**6), MemoryError),
    (lambda e: e.predict_batch(HUGE_BATCH), MemoryError),
], ids=["train-3d", "batch-3d", "query-row-matrix", "query-width", "batch-width", "train-nan", "train-inf",
        "query-nan", "batch-inf", "label-count", "labels-str", "labels-ints", "empty-train", "train-span",
        "query-overflow", "train-too-large", "batch-too-large"])
def test_bad_input_is_rejected_and_changes_nothing(trained, call, error):
    before = trained.predict_batch(QUERIES)
    with pytest.raises(error):
        call(trained)
    assert trained.predict_batch(QUERIES) == before


CHANGED = "changed between the two reads: the training data changed while it was read$"


def swap_rows(X, a, b):
    X[[a, b]] = X[[b, a]]


@pytest.mark.parametrize("shape, stage, change, message", [
    ((300, 4), "projection", lambda X: X.__setitem__((250, 2), X[250, 2] + 1.0), f"column 2 {CHANGED}"),
    # Swapped rows leave every column's mean and covariance as they were.
    ((300, 4), "projection", lambda X: swap_rows(X, 7, 191), f"column 0 {CHANGED}"),
    ((300, 4), "projection", lambda X: X.__setitem__((5, 1), np.nan),
     "finite values in the training matrix, got nan at row 5, column 1$"),
    ((6, 40), "eigen-decomposition", lambda X: X.__setitem__((3, 33), 2 * X[3, 33]), f"column 33 {CHANGED}"),
], ids=["value", "swapped-rows", "nan", "wide"])
def test_training_data_written_between_the_two_reads_are_rejected(tmp_path, shape, stage, change, message):
    # The stage lines come between the reads; the file is written through a map of its own, as
    # another process would write it.
    path = tmp_path / "X.npy"
    np.save(path, np.random.default_rng(31).normal(size=shape))
    writer, X = np.load(path, mmap_mode="r+"), np.load(path, mmap_mode="r")
    written = []

    def progress(line):
        if not written and line.startswith(f"[mirelo] {stage}:"):
            change(writer)
            written.append(line)

    model = _native.Model(3, 0.95)
    with pytest.raises(ValueError, match=message):
        model.fit(X, np.arange(shape[0]) % 3, 3, False, False, progress=progress, quiet_start=0.0)
    assert written and not model.is_fitted


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_repeated_train_and_predict_does_not_grow_memory(make_engine):
    rng = np.random.default_rng(5)
    X, queries = rng.normal(size=(40, 12)), rng.normal(size=(30, 12))
    # Long labels and a wide refused query, so that a reference one call keeps would show.
    y = [name * 2000 for name in rng.choice(["one", "two", "three"], size=40)]

    def cycles(count):
        for _ in range(count):
            engine = make_engine(k=3)
            engine.train(X, y, scale=True)
            engine.predict_batch(queries)
            engine.predict(queries[0])
            with pytest.raises(ValueError):
                engine.predict(np.zeros(50_000))

    cycles(200)  # let allocator pools and OpenMP threads settle
    before = resident_bytes()
    cycles(3000)
    assert resident_bytes() - before < 4 * 2**20


def expected_answers(make_engine, X, y, queries):
    engine = make_engine(k=3)
    engine.train(X, y)
    return engine.predict_batch(queries)


def test_python_threads_see_whole_trainings_only(make_engine):
    rng = np.random.default_rng(9)
    queries = rng.normal(size=(64, 6))
    sets = [(rng.normal(size=(150, 6)), rng.choice(list("abc"), size=150).tolist()) for _ in range(2)]
    answers = [expected_answers(make_engine, X, y, queries) for X, y in sets]
    assert answers[0] != answers[1]
    shared = make_engine(k=3)
    shared.train(*sets[0])
    failures = []

    def trainer():
        for i in range(40):
            shared.train(*sets[i % 2])

    def predictor(engine, allowed):
        for _ in range(40):
            batch, single = engine.predict_batch(queries), engine.predict(queries[0])
            if batch not in allowed or single not in {labels[0] for labels in allowed}:
                failures.append((batch, single))

    def own_engine(index):
        engine = make_engine(k=3)
        engine.train(*sets[index])
        predictor(engine, [answers[index]])

    threads = [threading.Thread(target=trainer, daemon=True)]
    threads += [threading.Thread(target=predictor, args=(shared, answers), daemon=True) for _ in range(3)]
    threads += [threading.Thread(target=own_engine, args=(i % 2,), daemon=True) for i in range(2)]
    for thread in threads:
        thread.start()
    joined(threads, "the trainer and the predictors to finish")
    assert failures == []


# A child process trains and predicts on two threads, forks, and the grandchild does it again.
FORK_CODE = """
import os, time, numpy as np, mirelo
rng = np.random.default_rng(17)
X, queries = rng.normal(size=(4000, 30)), rng.normal(size=(3000, 30))
y = rng.choice(["a", "b", "c"], size=4000).tolist()
engine = mirelo.KNNEngine(mirelo.KNNConfig())
engine.train(X, y)
before = engine.predict_batch(queries)
pid = os.fork()
if pid == 0:
    child = mirelo.KNNEngine(mirelo.KNNConfig())
    child.train(X, y)
    os._exit(0 if child.predict_batch(queries) == before == engine.predict_batch(queries) else 3)
deadline = time.monotonic() + 60
while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
    time.sleep(0.05)
if done[0] == 0:
    os.kill(pid, 9)
print("RESULT", "hung" if done[0] == 0 else os.waitstatus_to_exitcode(done[1]), engine.predict_batch(queries) == before)
"""


def test_forked_child_trains_and_predicts(run_child):
    assert run_child(FORK_CODE, OMP_NUM_THREADS="2").split("RESULT ", 1)[1].split() == ["0", "True"]


# Each child makes its long call and says whether it finished or was interrupted. It says UNDERWAY
# once mirelo's native code is at work: a timer's signal is handled at the next look at pending
# signals, and only a look the native code makes has the frame that called it on top. The parent
# signals only then, so no hook of the child's runs while Ctrl-C is pending.
CALL_UNTIL_INTERRUPTED = """
import signal, sys
# A shell starts a background job with Ctrl-C ignored, and children inherit that.
signal.signal(signal.SIGINT, signal.default_int_handler)
caller = None

def watch(frame, event, arg):
    global caller
    if event == "c_call" and getattr(arg, "__module__", None) in ("mirelo", "mirelo_sklearn._native"):
        caller = frame
    elif event in ("c_return", "c_exception") and frame is caller:
        caller = None

def announce(signum, frame):
    if frame is caller:
        sys.setprofile(None)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("UNDERWAY", flush=True)

signal.signal(signal.SIGALRM, announce)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
sys.setprofile(watch)
try:
    long_call()
    print("FINISHED", flush=True)
except KeyboardInterrupt:
    print("INTERRUPTED", flush=True)
"""

# Starts a long call once a small training is in place, and reports how it ended.
INTERRUPT_CODE = """
import sys, numpy as np, mirelo
rng = np.random.default_rng(18)
small, labels = rng.normal(size=(50, 40)), rng.choice(["a", "b"], size=50).tolist()
engine = mirelo.KNNEngine(mirelo.KNNConfig())
engine.train(small, labels)
before = engine.predict_batch(small)
if "{call}" == "train":
    X = rng.normal(size=(80000, 500))
    long_call = lambda: engine.train(X, ["c"] * len(X))
else:
    engine.train(rng.normal(size=(60000, 40)), rng.choice(["a", "b"], size=60000).tolist())
    before = engine.predict_batch(small)
    queries = rng.normal(size=(400_000, 40))
    long_call = lambda: engine.predict_batch(queries)
""" + CALL_UNTIL_INTERRUPTED + """print("SAME" if engine.predict_batch(small) == before else "CHANGED", flush=True)
"""


# The estimator's calls run without the GIL; its model is replaced only by a fit that completes.
ESTIMATOR_INTERRUPT_CODE = """
import numpy as np
from mirelo_sklearn import MireloClassifier
rng = np.random.default_rng(18)
X, y = rng.normal(size=(100_000, 300)), rng.integers(3, size=100_000)
model = MireloClassifier(n_components=300).fit(X[:5000], y[:5000])
fit, before = model._fit, model.predict(X[:50])
long_call = {{"fit": lambda: model.fit(X, y), "predict": lambda: model.predict(X),
              "predict_proba": lambda: model.predict_proba(X), "kneighbors": lambda: model.kneighbors(X),
              "transform": lambda: model.transform(X)}}["{call}"]
""" + CALL_UNTIL_INTERRUPTED + """print("SAME" if model._fit is fit and (model.predict(X[:50]) == before).all() else "CHANGED", flush=True)
"""


@pytest.mark.parametrize("code, call", [
    (INTERRUPT_CODE, "train"), (INTERRUPT_CODE, "predict_batch"),
    *[(ESTIMATOR_INTERRUPT_CODE, call) for call in ["fit", "predict", "predict_proba", "kneighbors", "transform"]],
], ids=["train", "predict_batch", "fit", "predict", "predict_proba", "kneighbors", "transform"])
def test_ctrl_c_stops_a_long_call_and_changes_nothing(code, call):
    with subprocess.Popen([sys.executable, "-c", code.format(call=call)], stdout=subprocess.PIPE,
                          text=True) as child:
        # A child that stalls is stopped, which ends its output.
        watchdog = threading.Timer(SECONDS, child.kill)

        def next_line():  # the engine's own progress lines come through the same pipe
            return next((line.strip() for line in child.stdout if not line.startswith("[")),
                        f"no line: the child ended, or was stopped after {SECONDS:g} s")

        try:
            watchdog.start()
            assert next_line() == "UNDERWAY"
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            ended = next_line()
            latency = time.monotonic() - sent
            assert (ended, next_line()) == ("INTERRUPTED", "SAME")
            # The sanitizer slows every iteration between two looks at the signal several times over.
            assert latency < (3.0 if UNDER_ASAN else 1.0)
        finally:
            watchdog.cancel()
            child.kill()


def memory_code(width, k, call, measure):
    return f"""
import resource, numpy as np, mirelo
rng = np.random.default_rng(19)
X, y = rng.normal(size=(100_000, {width})), ["a", "b"] * 50_000
cfg = mirelo.KNNConfig(); cfg.k, cfg.variance = {k}, {width}.0
engine = mirelo.KNNEngine(cfg)
def resident():
    return int(open("/proc/self/statm").read().split()[1]) * 4096 / 2**20
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
{"engine.train(X, y)" if measure == "peak" else ""}
before = {measure}()
{call}
print("RESULT", {measure}() - before)
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory and quarantine inflate the figures")
@pytest.mark.parametrize("width, k, call, measure, limit_mib", [
    # The reduced rows take 49 MiB in double precision: one double and one single copy are held.
    (64, 3, "engine.train(X, y)", "resident", 49 * 1.5 + 20),
    # Each heap of a tile could hold every row: the tile shrinks instead, or one count serves all.
    (4, 50_000, "engine.predict_batch(X[:400])", "peak", 20),
    (4, 10**6, "engine.predict_batch(X[:5000])", "peak", 20),
], ids=["store", "k-half-the-rows", "k-beyond-the-rows"])
def test_memory_held_for_the_store_and_the_search(run_child, width, k, call, measure, limit_mib):
    rise = float(run_child(memory_code(width, k, call, measure)).split("RESULT ", 1)[1])
    assert rise < limit_mib


IN_PLACE_CODE = """
import numpy as np, mirelo
rng = np.random.default_rng(23)
# 153 MiB of rows close to a plane: two components are kept, so the store is small.
X = rng.normal(size=(40_000, 2)) @ rng.normal(size=(2, 500)) + 1e-3 * rng.normal(size=(40_000, 500))
y = ["a", "b"] * 20_000
engine = mirelo.KNNEngine(mirelo.KNNConfig())
engine.train(X[:100], y[:100])
def high_water():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1]) / 1024
open("/proc/self/clear_refs", "w").write("5")
before = high_water()
{call}
print("RESULT", high_water() - before)
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory and quarantine inflate the figures")
@pytest.mark.parametrize("call", ["engine.train(X, y)", "engine.predict_batch(X)"])
def test_c_ordered_rows_are_read_in_place(run_child, call):
    # A copy of X, or of its centred values, would add 153 MiB.
    assert float(run_child(IN_PLACE_CODE.format(call=call)).split("RESULT ", 1)[1]) < 153 / 4

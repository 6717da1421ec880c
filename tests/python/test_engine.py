import json
import tracemalloc
from collections import Counter

import numpy as np
import pandas as pd
import pytest

import mirelo
from samples import QUERIES, TRAIN_X, TRAIN_Y


@pytest.mark.parametrize("call, query, answer", [
    *[("predict", query, "Unknown") for query in (np.zeros(0), np.zeros(1), np.zeros(5), np.full(2, np.nan))],
    ("predict_batch", np.zeros((0, 4)), []), ("predict_batch", np.zeros((0, 0)), []),
    ("predict_batch", np.zeros((1, 4)), ["Unknown"]), ("predict_batch", np.full((5, 4), np.nan), ["Unknown"] * 5),
])
def test_untrained_engine_answers_unknown_silently(make_engine, capfd, call, query, answer):
    assert getattr(make_engine(), call)(query) == answer
    assert capfd.readouterr() == ("", "")


def test_empty_batch_on_trained_engine(trained):
    assert trained.predict_batch(np.empty((0, 2))) == []


@pytest.mark.parametrize("change_before_train", [True, False])
def test_engine_keeps_its_own_config(change_before_train):
    # k=1 picks the single "a" at 0; k=3 is outvoted by the two "b" near 1.
    cfg = mirelo.KNNConfig()
    cfg.k = 1
    engine = mirelo.KNNEngine(cfg)
    if change_before_train:
        cfg.k = 3
    engine.train(np.array([[0.0], [1.0], [1.1]]), ["a", "b", "b"])
    cfg.k = 3
    assert engine.predict(np.array([0.0])) == "a"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((), {"scale": False}), ((), {"scale": None}), ((None,), {})])
def test_scale_defaults_to_off(make_engine, args, kwargs):
    # Feature 0 spans 100 units, feature 1 only one: standardising flips the nearest neighbour.
    X, y = np.array([[0.0, 0.0], [5.0, 1.0], [100.0, 0.0], [100.0, 1.0]]), ["raw", "scaled", "far", "far"]
    engine = make_engine(k=1, variance=2)
    engine.train(X, y, *args, **kwargs)
    assert engine.predict(np.array([0.0, 1.0])) == "raw"
    engine.train(X=X, y=y, scale=True)
    assert engine.predict(np.array([0.0, 1.0])) == "scaled"


def with_value(row, col, value, X=TRAIN_X):
    X = X.copy()
    X[row, col] = value
    return X


def normal_rows(rows, cols):
    return np.random.default_rng(22).normal(size=(rows, cols)), [str(i % 3) for i in range(rows)]


LONG, LONGER, WIDE = normal_rows(5000, 3), normal_rows(70000, 3), normal_rows(4, 600)


@pytest.mark.parametrize("X, y, message", [
    (np.empty((0, 2)), [], "at least one row and one column, got 0 x 2"),
    (np.empty((3, 0)), ["a"] * 3, "at least one row and one column, got 3 x 0"),
    (np.empty((0, 0)), [], "at least one row and one column, got 0 x 0"),
    (TRAIN_X, TRAIN_Y[:-1], r"one label per training row \(6\), got 5 labels"),
    (TRAIN_X, TRAIN_Y + ["c"], r"one label per training row \(6\), got 7 labels"),
    (with_value(1, 1, np.nan), TRAIN_Y, "finite values in the training matrix, got nan at row 1, column 1"),
    (with_value(4, 0, -np.inf), TRAIN_Y, "finite values in the training matrix, got -inf at row 4, column 0"),
    (with_value(2, 1, np.inf).astype(np.float16), TRAIN_Y, "got inf at row 2, column 1"),
    (with_value(3, 0, np.nan).astype(np.float16), TRAIN_Y, "got nan at row 3, column 0"),
    # Found as the fit reads a later block of rows, after earlier blocks have been summed.
    (with_value(4321, 2, -np.inf, LONG[0]), LONG[1], "got -inf at row 4321, column 2"),
    # Threads may read both blocks at once; the earlier row is still the one named.
    (with_value(4321, 2, -np.inf, with_value(100, 1, np.nan, LONGER[0])), LONGER[1], "got nan at row 100, column 1"),
    # Wide rows are read a slice of columns at a time.
    (with_value(2, 450, np.nan, WIDE[0]), WIDE[1], "got nan at row 2, column 450"),
])
@pytest.mark.parametrize("was_trained", [True, False])
def test_rejected_training_keeps_previous_state(make_engine, capfd, was_trained, X, y, message):
    engine = make_engine(k=1)
    if was_trained:
        engine.train(TRAIN_X, TRAIN_Y)
    before = engine.predict_batch(QUERIES)
    capfd.readouterr()
    with pytest.raises(ValueError, match=message):
        engine.train(X, y)
    assert capfd.readouterr().out == ""
    assert engine.predict_batch(QUERIES) == before


@pytest.mark.parametrize("variance, kept", [
    (0.0, 1), (-0.5, 1), (-np.inf, 1), (np.nan, 2), (np.inf, 2), (2.0 ** 31, 2), (1e300, 2),
])
def test_variance_at_its_edges_keeps_one_axis_or_every_axis(make_engine, capfd, variance, kept):
    # Below 1 the first share that reaches the variance; NaN is never reached.
    engine, counted = make_engine(k=1, variance=variance), make_engine(k=1, variance=float(kept))
    engine.train(TRAIN_X, TRAIN_Y)
    counted.train(TRAIN_X, TRAIN_Y)
    assert f"Reduced to {kept} dimensions." in capfd.readouterr().out.splitlines()[1]
    assert engine.predict_batch(QUERIES) == counted.predict_batch(QUERIES)


@pytest.mark.parametrize("call, query, message", [
    ("predict", np.zeros(3), r"queries with 2 features \(the training width\), got 3"),
    ("predict", np.zeros(1), r"queries with 2 features \(the training width\), got 1"),
    ("predict_batch", np.zeros((4, 3)), r"queries with 2 features \(the training width\), got 3"),
    ("predict", np.array([np.nan, 0.0]), "finite values in the queries, got nan at row 0, column 0"),
    ("predict", np.array([0.0, -np.inf]), "got -inf at row 0, column 1"),
    ("predict_batch", np.array([[0.0, 0.0], [1.0, np.inf]]), "got inf at row 1, column 1"),
])
def test_rejected_queries(trained, call, query, message):
    before = trained.predict_batch(QUERIES)
    with pytest.raises(ValueError, match=message):
        getattr(trained, call)(query)
    assert trained.predict_batch(QUERIES) == before


# Many components: more than a query alone keeps on the stack.
@pytest.mark.parametrize("shape, variance", [((120, 6), 0.95), ((12, 40), 0.95), ((700, 9), 0.95), ((300, 300), 280.0)],
                         ids=["tall", "wide", "many-rows", "many-components"])
@pytest.mark.parametrize("k", [0, 1, 4])
@pytest.mark.parametrize("scale", [False, True])
@pytest.mark.parametrize("ties", [False, True], ids=["random", "tie-heavy"])
def test_single_and_batch_predictions_agree(make_engine, shape, variance, k, scale, ties):
    # Tie-heavy: values on a coarse grid repeat rows and distances, so the search's
    # choices between equal candidates must not depend on the rest of the batch.
    rng = np.random.default_rng(7)
    draw = (lambda size: rng.integers(-1, 2, size=size).astype(float)) if ties else (lambda size: rng.normal(size=size))
    engine = make_engine(k=k, variance=variance)
    engine.train(draw(shape), rng.choice(["p", "q", "r"], size=shape[0]).tolist(), scale=scale)
    queries = draw((300, shape[1]))
    batch = engine.predict_batch(queries)
    assert type(batch) is list and batch == [engine.predict(q) for q in queries]
    assert k > 0 or batch == ["Unknown"] * 300  # no neighbour votes


def reference_knn(X, y, queries, k, scale):
    """Plain k-NN in the (optionally standardised) input space; vote ties go to the smallest label."""
    mean, spread = X.mean(axis=0), (X.std(axis=0, ddof=1) if scale else 1.0)
    A, Q = (X - mean) / spread, (queries - mean) / spread
    labels = []
    for q in Q:
        votes = Counter(y[i] for i in np.argsort(((A - q) ** 2).sum(axis=1))[:k])
        labels.append(min(label for label, n in votes.items() if n == max(votes.values())))
    return labels


@pytest.mark.parametrize("shape", [(60, 5), (8, 20)], ids=["tall", "wide"])
@pytest.mark.parametrize("k", [1, 2, 4, 100])
@pytest.mark.parametrize("scale", [False, True])
def test_matches_reference_when_all_components_kept(make_engine, shape, k, scale):
    # Keeping every component only rotates the data, so neighbours match those in input space.
    # Labels differ in byte order ("Z" < "a" < "b" < "ä") and k=2, 4 give many vote ties.
    rng = np.random.default_rng(11)
    X = rng.normal(size=shape) * rng.uniform(0.5, 20.0, size=shape[1])
    y = rng.choice(["b", "a", "Z", "ä"], size=shape[0]).tolist()
    queries = rng.normal(size=(40, shape[1])) * X.std(axis=0)
    engine = make_engine(k=k, variance=float(shape[1]))
    engine.train(X, y, scale=scale)
    assert engine.predict_batch(queries) == reference_knn(X, y, queries, k, scale)


LOG_CODE = """
import numpy as np, mirelo
cfg = mirelo.KNNConfig()
cfg.variance = {variance}
engine, X = mirelo.KNNEngine(cfg), {X}
y = ["a", "b"] * (len(X) // 2)
for _ in range({times}):
    engine.train(X, y)
try:
    engine.train(X, y[:-1])
except ValueError:
    pass
engine.predict(X[0]), engine.predict_batch(X)
"""


@pytest.mark.parametrize("X, variance, mode, n", [
    ("np.random.default_rng(0).normal(size=(20, 4))", 3, "Standard", 3),
    ("np.random.default_rng(0).normal(size=(4, 6))", 2, "Thin", 2),
    # Nearly one-dimensional: the first axis explains more than 95 % of the variance.
    ("np.outer(np.arange(10.0), [1, 2, 3]) + np.random.default_rng(0).normal(size=(10, 3)) * 1e-3",
     0.95, "Standard", 1),
], ids=["standard", "thin", "variance-share"])
@pytest.mark.parametrize("times", [1, 2])
def test_progress_lines_go_to_process_stdout(run_child, X, variance, mode, n, times):
    out = run_child(LOG_CODE.format(X=X, variance=variance, times=times))
    pair = (f"[PCA] Fit complete. Mode: {mode} | Components: {n}\n"
            f"[Engine] Trained successfully. Reduced to {n} dimensions.\n")
    assert out == pair * times


THREAD_CODE = """
import json, numpy as np, mirelo
rng = np.random.default_rng(3)
engine = mirelo.KNNEngine(mirelo.KNNConfig())
engine.train(rng.normal(size=(300, 8)), rng.choice(["u", "v", "w"], size=300).tolist())
queries = rng.normal(size=(500, 8))
batches = [engine.predict_batch(queries), engine.predict_batch(queries[:3]), [engine.predict(q) for q in queries]]
print("RESULT", json.dumps(batches))
"""


def test_batch_labels_do_not_depend_on_thread_count(run_child):
    runs = []
    for threads in ("1", "2", "3", "8"):
        big, small, single = json.loads(run_child(THREAD_CODE, OMP_NUM_THREADS=threads).split("RESULT ", 1)[1])
        assert big == single and small == single[:3]
        runs.append(big)
    assert all(run == runs[0] for run in runs)


@pytest.mark.parametrize("wide", [False, True])
@pytest.mark.parametrize("scale", [False, True])
@pytest.mark.parametrize("magnitude", [1e-200, 1e155, 1e300])
def test_any_finite_magnitude_classifies(make_engine, magnitude, scale, wide):
    # Squares of these underflow or overflow unless the fit rescales the data.
    X, y = np.array([[1.0, 0.0], [-1.0, 0.0], [0.0, 0.5]]) * magnitude, ["a", "b", "c"]
    if wide:  # through the Gram matrix instead of the covariance
        X = np.hstack([X, X])
    engine = make_engine(k=1, variance=2.0)
    engine.train(X, y, scale=scale)
    assert engine.predict_batch(X) == y
    assert [engine.predict(row) for row in X * 0.999] == y
    # Far beyond the training data, a query's reduced squares still cannot be represented.
    engine.train(TRAIN_X, TRAIN_Y)
    with pytest.raises(ValueError, match="squared distances to stay finite, got a query"):
        engine.predict(np.array([1e200, 0.0]))


def far_clusters(spacing_ratio):
    """Two grids of rows, each close-knit and far from the training mean, which lies between them."""
    offset = 1e4
    grid = np.stack(np.meshgrid(np.arange(12.0), np.arange(12.0)), axis=-1).reshape(-1, 2)
    cluster = offset + offset * spacing_ratio * grid
    return np.vstack([cluster, -cluster])


@pytest.mark.parametrize("X, y, query, k, expected", [
    # A tie at the K-th place goes to the earlier of two identical rows, wherever they are.
    ([[0.0], [1.0], [1.0]], ["x", "b", "a"], [0.0], 2, "b"),
    ([[1.0], [1.0], [0.0]], ["b", "a", "x"], [0.0], 2, "b"),
    # Close rows far from the mean: the nearest is decided by differences, not by norms.
    ([[1e4, 1e-4], [1e4, 0.0], [-1e4, 0.0]], ["a", "b", "c"], [1e4, 0.0], 1, "b"),
], ids=["tie-first", "tie-last", "far-from-mean"])
def test_answers_at_the_edges(make_engine, X, y, query, k, expected):
    engine = make_engine(k=k, variance=2.0)
    engine.train(np.array(X), y)
    assert engine.predict(np.array(query)) == expected
    assert engine.predict_batch(np.array([query] * 200)) == [expected] * 200


@pytest.mark.parametrize("spacing_ratio", [1e-8, 1e-10])
def test_every_row_is_its_own_nearest_far_from_the_mean(make_engine, spacing_ratio):
    X = far_clusters(spacing_ratio)
    y = [str(i) for i in range(len(X))]
    engine = make_engine(k=1, variance=2.0)
    engine.train(X, y)
    assert engine.predict_batch(X) == y
    assert [engine.predict(row) for row in X[:20]] == y[:20]


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_duplicates_across_blocks_and_tiles_vote_in_row_order(run_child, threads):
    # 3,000 rows of four points, labels by row: every K-th place is a tie across blocks and tiles.
    code = """
import json, numpy as np, mirelo
rng = np.random.default_rng(13)
points = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0], [3.0, 3.0]])
X = points[rng.integers(0, 4, size=3000)]
y = [f"{i:05d}" for i in range(3000)]
# Near the points, so that rows of different points are never at nearly equal distances.
queries = points[rng.integers(0, 4, size=300)] + rng.uniform(-0.05, 0.05, size=(300, 2))
out = []
for k in (1, 5, 700, 1000, 1800):
    cfg = mirelo.KNNConfig(); cfg.k, cfg.variance = k, 2.0
    engine = mirelo.KNNEngine(cfg); engine.train(X, y)
    order = [np.lexsort((np.arange(3000), ((X - q) ** 2).sum(axis=1)))[:k] for q in queries]
    # With labels unique and in row order, the vote goes to the lowest row among the k nearest.
    expected = [y[rows.min()] for rows in order]
    out.append([engine.predict_batch(queries) == expected, [engine.predict(q) for q in queries[:30]] == expected[:30]])
print("RESULT", json.dumps(out))
"""
    result = json.loads(run_child(code, OMP_NUM_THREADS=threads).split("RESULT ", 1)[1])
    assert result == [[True, True]] * 5


def test_a_constant_column_adds_nothing(make_engine, capfd):
    rng = np.random.default_rng(14)
    X = rng.normal(size=(200, 4)) * [1.0, 2.0, 0.5, 3.0]
    y = rng.choice(["u", "v"], size=200).tolist()
    queries = rng.normal(size=(200, 4))
    answers = []
    for data, batch in ((X, queries), (np.hstack([X, np.full((200, 1), 1e10 + 0.3)]),
                                       np.hstack([queries, np.full((200, 1), 1e10 + 0.3)]))):
        engine = make_engine(k=1)
        engine.train(data, y, scale=True)
        answers.append((engine.predict_batch(batch), capfd.readouterr().out))
    assert answers[0] == answers[1]


@pytest.mark.parametrize("as_sequence", [
    lambda y: pd.Series(y, index=np.random.default_rng(15).permutation(len(y))),
    lambda y: pd.Series(y, index=np.arange(len(y)) * 3 + 7),
    lambda y: np.array(y),
    tuple,
], ids=["series-shuffled-index", "series-gapped-index", "numpy", "tuple"])
def test_labels_are_read_by_position(make_engine, as_sequence):
    rng = np.random.default_rng(16)
    X = rng.normal(size=(60, 3))
    y = [f"label{i}" for i in range(60)]
    engine = make_engine(k=1, variance=3.0)
    engine.train(X, as_sequence(y))
    assert engine.predict_batch(X) == y


@pytest.mark.parametrize("dtype, shape", [
    (np.float32, (6000, 60)), (np.float32, (40, 3000)), (np.float16, (6000, 60)), (np.int8, (40, 3000)),
    (np.uint16, (6000, 60)), (np.int64, (6000, 60)), (bool, (6000, 60)),
])
def test_narrow_rows_are_not_widened_whole(make_engine, dtype, shape):
    rng = np.random.default_rng(5)
    values = rng.normal(size=shape) * 2.0
    X = (values > 0) if dtype is bool else (np.abs(values) * 9 if np.dtype(dtype).kind in "iu" else values).astype(dtype)
    y = [str(label) for label in rng.integers(3, size=shape[0])]
    queries = rng.normal(size=(40, shape[1]))
    single, double = make_engine(k=3, variance=4.0), make_engine(k=3, variance=4.0)
    tracemalloc.start()
    single.train(X, y)
    trained_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.reset_peak()
    answers = single.predict_batch(X)
    queried_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # A float64 copy would take eight bytes a value.
    assert trained_peak < 2 * X.size and queried_peak < 2 * X.size
    double.train(X.astype(np.float64), y)
    assert single.predict_batch(queries) == double.predict_batch(queries)
    assert answers == double.predict_batch(X.astype(np.float64))

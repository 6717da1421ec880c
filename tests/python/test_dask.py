"""mirelo_dask on a two-process LocalCluster bound to loopback, against the estimator run locally."""

import ast
import contextlib
import os
import pickle
import sys
import threading

import numpy as np
import pytest

pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402

import mirelo_dask  # noqa: E402
from mirelo_dask._cache import ModelCache  # noqa: E402
from mirelo_sklearn import MireloClassifier, engine  # noqa: E402

from bounded import SECONDS, called, joined, until  # noqa: E402

# Worker processes inherit the preloaded sanitizer run time and start too slowly under it; the
# package is pure Python over the module the rest of the suite checks there.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="worker processes start too slowly under the sanitizer")

FEATURES = 12


def separated(n, seed, spread=1.0):
    """Rows around four far-apart centres, so that no neighbour ranking sits within rounding."""
    rng = np.random.default_rng(seed)
    centres = np.random.default_rng(0).normal(size=(4, FEATURES)) * 6
    codes = rng.integers(4, size=n)
    return centres[codes] + rng.normal(size=(n, FEATURES)) * spread, np.array(["w", "x", "y", "z"])[codes]


X_TRAIN, Y_TRAIN = separated(3000, 1)
QUERIES, _ = separated(900, 2, spread=2.0)


@contextlib.contextmanager
def loopback_cluster(workers):
    """A LocalCluster of worker processes and its client, the newest client being the one calls use.

    Its HTTP server too is on loopback, on a free port: another cluster may hold Dask's default.
    Its scheduler fails tasks left without workers for SECONDS, so that no compute waits without end.
    """
    from distributed import Client, LocalCluster

    with dask.config.set({"distributed.scheduler.no-workers-timeout": f"{SECONDS}s"}):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address="127.0.0.1:0")
    with cluster, Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def client():
    with loopback_cluster(2) as client:
        yield client


@pytest.fixture
def own_client():
    """A cluster for one test that kills or restarts workers, so that the rest never meet it recovering."""
    with loopback_cluster(2) as client:
        yield client


@pytest.fixture
def workerless():
    with loopback_cluster(0) as client:
        yield client


def computed(collection):
    """The collection (or a tuple of them) computed on the newest client, failing after SECONDS."""
    from distributed import get_client

    parts = collection if isinstance(collection, tuple) else (collection,)
    results = tuple(future.result(timeout=SECONDS) for future in get_client().compute(list(parts)))
    return results if isinstance(collection, tuple) else results[0]


@pytest.fixture(scope="module")
def model():
    return MireloClassifier(n_neighbors=5, n_components=0.9, weights="distance").fit(X_TRAIN, Y_TRAIN)


def builds(client):
    """Models each worker has unpickled so far, and the scheduler's (None: it never loaded the cache)."""
    def count():
        cache = sys.modules.get("mirelo_dask._cache")
        return None if cache is None else cache.models.builds

    return client.run(count), client.run_on_scheduler(count)


def kill_every_worker(client):
    """Ends every worker process at once (their nannies start new ones); returns their addresses."""
    workers = set(client.nthreads())
    with contextlib.suppress(Exception):  # the call's answer dies with them
        client.run(os._exit, 1)
    return workers


def both_workers_back(client, dead):
    until(lambda: len(client.nthreads()) == 2 and dead.isdisjoint(client.nthreads()),
          "two new workers in place of those that died")


def uneven(X):
    return da.from_array(X, chunks=((300, 0, 1, 599), (5, FEATURES - 5)))


def shuffled_frame(X):
    index = np.random.default_rng(3).permutation(len(X)) * 7
    columns = [f"f{j}" for j in range(FEATURES)]
    return dd.from_pandas(pd.DataFrame(X, index=index, columns=columns), npartitions=3, sort=False)


@pytest.mark.parametrize("grown", [False, True], ids=["fitted", "grown"])
@pytest.mark.parametrize("method", ["predict", "predict_proba", "kneighbors"])
def test_arrays_give_the_local_answers(client, model, method, grown):
    if grown:  # rows added after the fit travel with the model
        model = MireloClassifier(**model.get_params()).fit(X_TRAIN[:-40], Y_TRAIN[:-40])
        model.partial_fit(X_TRAIN[-40:], Y_TRAIN[-40:])
    found = computed(getattr(mirelo_dask, method)(model, uneven(QUERIES)))
    expected = getattr(model, method)(QUERIES)
    for got, want in zip(found, expected) if method == "kneighbors" else [(found, expected)]:
        np.testing.assert_array_equal(got, want)
        assert got.dtype == want.dtype


@pytest.mark.parametrize("method", ["predict", "predict_proba", "kneighbors"])
@pytest.mark.parametrize("kind", ["dask", "pandas"])
def test_frames_keep_their_index_and_feature_names(client, method, kind):
    frame = shuffled_frame(QUERIES)
    local = computed(frame)
    frame = frame if kind == "dask" else local
    named = MireloClassifier(n_neighbors=5, n_components=0.9).fit(pd.DataFrame(X_TRAIN, columns=local.columns),
                                                                   Y_TRAIN)
    found = computed(getattr(mirelo_dask, method)(named, frame))
    expected = getattr(named, method)(local)
    for got, want in zip(found, expected) if method == "kneighbors" else [(found, expected)]:
        assert got.index.equals(local.index)
        np.testing.assert_array_equal(got.to_numpy(), want)
    with pytest.raises(ValueError, match="columns the model was fitted with"):
        getattr(mirelo_dask, method)(named, frame[list(local.columns[::-1])])


def test_each_worker_unpickles_a_model_once_and_the_scheduler_never(client):
    fresh = MireloClassifier(n_neighbors=3).fit(X_TRAIN, Y_TRAIN)
    # The scheduler runs in this process, whose own cache other tests may have used without a cluster.
    before, scheduler_before = builds(client)
    queries = da.from_array(QUERIES, chunks=100)
    # Between computes Dask forgets the pickled model, as its memory manager may drop a copy;
    # the workers' cache keeps what they built.
    for method in ("predict", "predict_proba", "predict"):
        computed(getattr(mirelo_dask, method)(fresh, queries))
    after, scheduler = builds(client)
    assert all(0 <= after[w] - (before[w] or 0) <= 1 for w in after)
    assert sum(after[w] - (before[w] or 0) for w in after) >= 1
    assert scheduler == scheduler_before
    # The graph names the model's pickle on the cluster instead of holding it, so a worker that has
    # the model cached is sent nothing.
    graph = dict(mirelo_dask.predict(fresh, queries).__dask_graph__())
    [key] = [key for key in graph if str(key).startswith("mirelo-model-")]
    assert len(pickle.dumps(graph[key])) < 1000 < len(pickle.dumps(fresh))


@pytest.mark.parametrize("loss", ["caches", "workers"])
def test_a_model_lost_on_the_workers_is_restored(own_client, model, loss):
    queries = da.from_array(QUERIES, chunks=300)
    computed(mirelo_dask.predict(model, queries))
    if loss == "caches":
        own_client.run(lambda: sys.modules["mirelo_dask._cache"].models.clear())
    else:
        own_client.restart(timeout=SECONDS)  # the scattered pickle is lost with them
    np.testing.assert_array_equal(computed(mirelo_dask.predict(model, queries)), model.predict(QUERIES))


def test_a_lost_scattered_pickle_is_sent_again_for_every_model_with_its_state(own_client, model):
    from mirelo_dask._graph import _scattered

    queries = da.from_array(QUERIES, chunks=300)
    twin = pickle.loads(pickle.dumps(model))
    # Every worker dies during a compute, the copy with them.
    running = own_client.compute(mirelo_dask.predict(model, da.concatenate([queries] * 200)))
    held = _scattered[model][1]
    until(lambda: own_client.who_has(held.future).get(held.key), "the model's pickle to reach a worker")
    workers = kill_every_worker(own_client)
    until(running.done, "the compute the workers died in to end")
    until(lambda: held.future.status != "finished", "the client to hear the pickle was lost")
    both_workers_back(own_client, workers)
    for copy in (model, twin, model):
        np.testing.assert_array_equal(computed(mirelo_dask.predict(copy, queries)), model.predict(QUERIES))


def test_an_empty_query_array_gives_empty_answers(client, model):
    empty = da.zeros((0, FEATURES), chunks=(1, FEATURES))
    labels, proba = computed((mirelo_dask.predict(model, empty), mirelo_dask.predict_proba(model, empty)))
    assert labels.shape == (0,) and labels.dtype == model.classes_.dtype
    assert proba.shape == (0, 4)


@pytest.mark.parametrize("model_or_none, queries, error", [
    (MireloClassifier(), QUERIES, NotFittedError),
    ("model", np.ones((3, FEATURES + 1)), ValueError),
    (object(), QUERIES, TypeError),
])
def test_bad_calls_fail_before_anything_runs(model, model_or_none, queries, error):
    with pytest.raises(error):
        mirelo_dask.predict(model if model_or_none == "model" else model_or_none, da.from_array(queries))


@pytest.mark.parametrize("n_neighbors, error", [(2.0, TypeError), (True, TypeError), (0, ValueError)])
def test_neighbour_counts_are_refused_as_the_estimator_refuses_them(model, n_neighbors, error):
    with pytest.raises(error, match="n_neighbors"):
        mirelo_dask.kneighbors(model, da.from_array(QUERIES), n_neighbors=n_neighbors)


@pytest.mark.parametrize("scale, chunks, shards, magnitude, weights, verbose, dtype", [
    (False, ((700, 0, 1300, 1000),), 2, 1.0, "uniform", False, np.float64),
    (False, ((0, 1500, 0, 1500, 0, 0),), 3, 1.0, "uniform", False, np.float64),  # empty partitions, trailing too
    (True, (500,), 3, 1.0, "distance", True, np.float64),
    (False, (500,), 2, 1e155, "uniform", False, np.float64),  # squares overflow unless the blocks are scaled first
    (True, (1000,), 2, 1e-200, "distance", True, np.float64),  # squares underflow likewise
    (True, (700,), 2, 1.0, "distance", False, np.float32),  # blocks reduced as they are
    (False, (900,), 2, 1.0, "uniform", False, np.int16),
])
def test_sharded_training_answers_as_one_machine(client, capsys, scale, chunks, shards, magnitude, weights,
                                                 verbose, dtype):
    magnitude *= 100 if dtype == np.int16 else 1  # rows that round to integers, yet not to the same ones
    X, Q = (X_TRAIN * magnitude).astype(dtype), QUERIES * magnitude
    local = MireloClassifier(n_neighbors=5, n_components=0.9, weights=weights, scale=scale).fit(X, Y_TRAIN)
    sharded = mirelo_dask.ShardedClassifier(n_neighbors=5, n_components=0.9, weights=weights, scale=scale,
                                            n_shards=shards, verbose=verbose).fit(
        da.from_array(X, chunks=(*chunks, (FEATURES,))), da.from_array(Y_TRAIN, chunks=500))
    assert capsys.readouterr().out == ""  # a short fit stays silent, verbose or not
    assert sharded.n_components_ == local.n_components_
    queries = uneven(Q)
    labels, proba, distances, rows = computed((sharded.predict(queries), sharded.predict_proba(queries),
                                               *sharded.kneighbors(queries, 9)))
    np.testing.assert_array_equal(labels, local.predict(Q))
    np.testing.assert_allclose(proba, local.predict_proba(Q), atol=1e-12)
    expected_distances, expected_rows = local.kneighbors(Q, 9)
    np.testing.assert_array_equal(rows, expected_rows)
    np.testing.assert_allclose(distances, expected_distances, rtol=1e-9)


# The local fit's block height for FEATURES columns: its merge tree pairs blocks of these rows.
BLOCK = 4096


@pytest.mark.parametrize("chunks, scale, dtype, same_bits", [
    ((BLOCK, 2 * BLOCK, 100), False, np.float64, True),  # a block, then a pair the tree splits between two runs
    ((3 * BLOCK, BLOCK + 100), True, np.float64, True),
    ((BLOCK, 0, BLOCK, 2 * BLOCK + 100), True, np.float32, True),
    ((1000, BLOCK, 7388), False, np.float64, False),     # blocks cut where the tree has none
    ((5000, 0, 7388), True, np.float32, False),
])
def test_sharded_fit_keeps_the_local_fits_axes(client, chunks, scale, dtype, same_bits):
    X, y = separated(sum(chunks), 4)
    X = X.astype(dtype)
    local = MireloClassifier(n_neighbors=5, n_components=0.9, scale=scale).fit(X, y)
    sharded = mirelo_dask.ShardedClassifier(n_neighbors=5, n_components=0.9, scale=scale, n_shards=2).fit(
        da.from_array(X, chunks=(chunks, (FEATURES,))), da.from_array(y, chunks=4000))
    assert sharded.n_components_ == local.n_components_
    if same_bits:
        np.testing.assert_array_equal(sharded.components_, local.components_)
        np.testing.assert_array_equal(sharded.explained_variance_ratio_, local.explained_variance_ratio_)
        distances, rows = computed(sharded.kneighbors(da.from_array(QUERIES, chunks=300), 4))
        expected_distances, expected_rows = local.kneighbors(QUERIES, 4)
        np.testing.assert_array_equal(rows, expected_rows)
        np.testing.assert_array_equal(distances, expected_distances)
    else:  # the same axes up to rounding, and up to sign
        signs = np.sign(np.sum(sharded.components_ * local.components_, axis=1, keepdims=True))
        np.testing.assert_allclose(sharded.components_ * signs, local.components_, atol=1e-9)


@pytest.mark.parametrize("damage", [
    lambda state: state[:4],
    lambda state: (*state[:4], (state[4][0][:5],)),  # a share without its first block
    lambda state: (state[0] + 1, *state[1:]),        # a width its arrays do not have
], ids=["fields", "share", "width"])
def test_row_statistics_travel_whole_and_damaged_ones_are_refused(damage):
    statistics = engine.row_statistics(X_TRAIN, 0, len(X_TRAIN), 1)
    twin = pickle.loads(pickle.dumps(statistics))
    for expected, got in zip(engine.reduction(statistics, 0.9, True), engine.reduction(twin, 0.9, True)):
        np.testing.assert_array_equal(got, expected)
    damaged = type(statistics).__new__(type(statistics))
    with pytest.raises(ValueError, match="as RowStatistics pickles them"):
        damaged.__setstate__(damage(statistics.__getstate__()))


def read_once(X, flag):
    """X the first time it is read; a failure, as of a worker out of memory, every later time."""
    if os.path.exists(flag):
        raise MemoryError("the block could not be read again")
    open(flag, "w").close()
    return X


def read_while_present(X, path):
    """X while the file at path exists; a failure, as of a source that is gone, once it does not."""
    if not os.path.exists(path):
        raise FileNotFoundError("the block's source is gone")
    return X


def test_sharded_fit_returns_only_once_every_shard_is_built(client, tmp_path):
    X = da.from_delayed(dask.delayed(read_once)(X_TRAIN, str(tmp_path / "read")), X_TRAIN.shape, float)
    with pytest.raises(MemoryError, match="could not be read again"):
        mirelo_dask.ShardedClassifier(n_shards=2).fit(X, da.from_array(Y_TRAIN))


@pytest.mark.parametrize("call, error, message", [
    (lambda m, Q, y: m.predict(Q[list(Q.columns[::-1])]), ValueError, "columns the model was fitted with"),
    (lambda m, Q, y: m.fit(Q, y + 0.5), ValueError, "Unknown label type"),
    (lambda m, Q, y: m.fit(Q, np.where(y == 0, None, y)), ValueError, "Unknown label type"),
    # scikit-learn's check of the labels refuses them, in each block as it would all of them at once.
    (lambda m, Q, y: m.fit(Q, np.array(["a" if v == 0 else v for v in y], dtype=object)), (TypeError, ValueError),
     "less|Unknown label type"),
    (lambda m, Q, y: pickle.dumps(m), TypeError, "keep it in the process that fitted it"),
    (lambda m, Q, y: m.kneighbors(Q, n_neighbors=2.0), TypeError, "enter integer value"),
    # Parameters set after the fit are checked where they are used.
    (lambda m, Q, y: m.set_params(weights="unifrom").predict(Q), ValueError, "'weights' parameter"),
    (lambda m, Q, y: vars(m).update(n_neighbors=0) or m.kneighbors(Q), ValueError, "'n_neighbors' parameter"),
    # A clone takes the parameters only: the shards stay with the fitted model.
    (lambda m, Q, y: clone(m).kneighbors(Q), AttributeError, "not fitted yet"),
], ids=["column-order", "continuous-labels", "missing-labels", "mixed-labels", "pickle", "float-count", "weights",
        "count", "clone"])
def test_sharded_calls_are_checked_as_the_estimators_are(client, call, error, message):
    frame = dd.from_pandas(pd.DataFrame(X_TRAIN, columns=[f"f{j}" for j in range(FEATURES)]), npartitions=3)
    y = np.arange(len(X_TRAIN)) % 3
    model = mirelo_dask.ShardedClassifier(n_shards=2).fit(frame, y)
    with pytest.raises(error, match=message):
        call(model, frame, y)


SHARDED_DEFAULTS = {"n_neighbors": 3, "n_components": 0.95, "weights": "uniform", "scale": False, "n_shards": None,
                    "verbose": False}


@pytest.mark.parametrize("params", [
    {},
    {"n_neighbors": 7, "n_components": None, "weights": "distance", "scale": True, "n_shards": 3, "verbose": True},
    {"n_components": 4, "weights": np.sqrt},
])
def test_sharded_parameters_go_through_scikit_learns_handling(params):
    expected = {**SHARDED_DEFAULTS, **params}
    built, set_later = mirelo_dask.ShardedClassifier(**params), mirelo_dask.ShardedClassifier().set_params(**params)
    twin = clone(built)
    for model in (built, set_later, twin, pickle.loads(pickle.dumps(built))):
        assert model.get_params() == expected
    assert twin is not built
    # The repr names the parameters that differ from their defaults, as scikit-learn's estimators do.
    shown = repr(built)
    assert shown.startswith("ShardedClassifier(") and all(f"{name}=" in shown for name in params)
    assert shown.count("=") == len(params)


def test_sharded_model_that_lost_its_shards_says_to_fit_again(own_client, tmp_path):
    from mirelo_dask._sharded import _futures

    source = tmp_path / "source"
    source.touch()
    X = da.from_delayed(dask.delayed(read_while_present)(X_TRAIN, str(source)), X_TRAIN.shape, float)
    model = mirelo_dask.ShardedClassifier(n_shards=2).fit(X, Y_TRAIN)
    # Dask rebuilds lost shards from their graph where it can; without their source they stay lost.
    source.unlink()
    kill_every_worker(own_client)
    until(lambda: any(future.status != "finished" for future in _futures(model._shards)),
          "the client to hear the shards were lost")
    # Refused as the graph is built: no worker needs to be back.
    with pytest.raises(RuntimeError, match="lost its shards .* fit it again"):
        model.predict(da.from_array(QUERIES))


# Far below the default 60 s, so that a call ending within it went by the configured time.
CONFIGURED_SECONDS, ENDS_WITHIN = 2, 30


@pytest.mark.parametrize("lazy, call", [
    (True, lambda model: mirelo_dask.predict(model, uneven(QUERIES))),
    (True, lambda model: mirelo_dask.predict_proba(model, shuffled_frame(QUERIES))),
    (True, lambda model: mirelo_dask.kneighbors(model, uneven(QUERIES), n_neighbors=2)),
    (False, lambda model: mirelo_dask.ShardedClassifier(n_shards=2).fit(da.from_array(X_TRAIN, chunks=1000), Y_TRAIN)),
    # A frame's row counts are counted first, under the same bound.
    (False, lambda model: mirelo_dask.ShardedClassifier().fit(shuffled_frame(X_TRAIN[:900]), Y_TRAIN[:900])),
], ids=["predict", "predict_proba-frame", "kneighbors", "fit", "fit-frame"])
def test_without_workers_graphs_are_built_at_once_and_computes_and_fits_time_out(workerless, model, lazy, call):
    with dask.config.set({"mirelo.no-workers-timeout": CONFIGURED_SECONDS}):
        if lazy:
            # Building a graph used to wait for a worker to take the model's pickle, failing after 30 s.
            graph = called(lambda: call(model), "the graph to be built", ENDS_WITHIN / 3)
            with pytest.raises(TimeoutError, match="no running worker"):
                called(lambda: computed(graph), "the compute to give up", ENDS_WITHIN)
        else:
            with pytest.raises(TimeoutError, match="no running worker"):
                called(lambda: call(model), "the fit to give up", ENDS_WITHIN)


@pytest.mark.parametrize("build", [
    lambda: mirelo_dask.ShardedClassifier(n_shards=2).fit(da.from_array(X_TRAIN, chunks=1000), Y_TRAIN).predict(
        da.from_array(QUERIES)),
    lambda: mirelo_dask.predict(MireloClassifier().fit(X_TRAIN, Y_TRAIN), da.from_array(QUERIES)),  # scattered
], ids=["sharded", "scattered-model"])
def test_a_compute_whose_workers_all_left_times_out(own_client, build):
    graph = build()
    own_client.cluster.scale(0)
    until(lambda: not own_client.nthreads(), "the workers to leave")
    with dask.config.set({"mirelo.no-workers-timeout": CONFIGURED_SECONDS}):
        with pytest.raises(TimeoutError, match="no running worker"):
            called(lambda: computed(graph), "the compute to give up", ENDS_WITHIN)


def test_grid_search_under_the_dask_backend_scores_as_one_process(client):
    import joblib
    from sklearn.model_selection import GridSearchCV

    def scores(**backend):
        search = GridSearchCV(MireloClassifier(), {"n_neighbors": [1, 5], "scale": [False, True]}, cv=3)
        with joblib.parallel_config(**backend):
            return search.fit(X_TRAIN[:600], Y_TRAIN[:600]).cv_results_["mean_test_score"]

    # joblib waits on its tasks without a limit of its own.
    np.testing.assert_array_equal(called(lambda: scores(backend="dask"), "the grid search over the Dask backend"),
                                  scores(n_jobs=1))


def test_the_cache_unpickles_once_across_threads_and_keeps_within_its_bound():
    cache = ModelCache()
    pickled = pickle.dumps(MireloClassifier(n_neighbors=1).fit(X_TRAIN, Y_TRAIN))
    threads = [threading.Thread(target=cache.get, args=("a", pickled), daemon=True) for _ in range(8)]
    for thread in threads:
        thread.start()
    joined(threads, "eight threads asking the cache for one model")
    assert cache.builds == 1
    with dask.config.set({"mirelo.cache-bytes": len(pickled) * 3 // 2}):
        cache.get("b", pickled)
        assert cache.get("a", pickled) is not None and cache.builds == 3  # "a" was evicted for "b"


PACKAGES = ("mirelo", "mirelo_sklearn", "mirelo_dask")


@pytest.mark.parametrize("package, guarded, estimators", [
    # No private name of any other package, scikit-learn's included; `model` is a fitted estimator.
    ("mirelo_dask", None, {"model"}),
    ("mirelo_sklearn", PACKAGES, set()),
])
def test_packages_use_only_the_public_names_of_others(package, guarded, estimators):
    def private(dotted):
        return any(part.startswith("_") and not part.startswith("__") for part in dotted.split("."))

    def foreign(module):
        root = module.split(".")[0]
        return root != package and (guarded is None or root in guarded)

    folder = os.path.dirname(__import__(package).__file__)
    reaches = []
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".py"):
            continue
        with open(os.path.join(folder, name)) as source:
            tree = ast.parse(source.read())
        bound = set(estimators)  # names of other packages' objects, whose private attributes are reaches too
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 0 and foreign(node.module):
                names = [f"{node.module}.{alias.name}" for alias in node.names]
                bound |= {alias.asname or alias.name for alias in node.names}
            elif isinstance(node, ast.Import):
                names = [alias.name for alias in node.names if foreign(alias.name)]
                bound |= {(alias.asname or alias.name).split(".")[0] for alias in node.names if foreign(alias.name)}
            else:
                continue
            reaches += [f"{name}:{node.lineno} {dotted}" for dotted in names if private(dotted)]
        reaches += [f"{name}:{node.lineno} {node.value.id}.{node.attr}" for node in ast.walk(tree)
                    if isinstance(node, ast.Attribute) and private(node.attr) and isinstance(node.value, ast.Name)
                    and node.value.id in bound]
    assert reaches == []


def test_mirelo_and_the_estimator_never_load_dask(run_child):
    code = "import sys, mirelo, mirelo_sklearn; print(sorted({'dask', 'mirelo_dask'} & set(sys.modules)))"
    assert run_child(code).strip() == "[]"

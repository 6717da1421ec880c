import os
import threading

import numpy as np
import pytest

import mirelo
from samples import QUERIES, TRAIN_X, TRAIN_Y

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


HUGE = np.broadcast_to(np.zeros(1), (10**6, 10**6))  # a view; copying it needs 8 TB


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
    (lambda e: e.predict_batch(HUGE), MemoryError),
], ids=["train-3d", "batch-3d", "query-row-matrix", "query-width", "batch-width", "train-nan", "train-inf",
        "query-nan", "batch-inf", "label-count", "labels-str", "labels-ints", "empty-train", "train-span",
        "query-overflow", "train-too-large", "batch-too-large"])
def test_bad_input_is_rejected_and_changes_nothing(trained, call, error):
    before = trained.predict_batch(QUERIES)
    with pytest.raises(error):
        call(trained)
    assert trained.predict_batch(QUERIES) == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_repeated_train_and_predict_does_not_grow_memory(make_engine):
    rng = np.random.default_rng(5)
    X, queries = rng.normal(size=(40, 12)), rng.normal(size=(30, 12))
    y = rng.choice(["one", "two", "three"], size=40).tolist()

    def cycles(count):
        for _ in range(count):
            engine = make_engine(k=3)
            engine.train(X, y, scale=True)
            engine.predict_batch(queries)
            engine.predict(queries[0])

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

    threads = [threading.Thread(target=trainer)]
    threads += [threading.Thread(target=predictor, args=(shared, answers)) for _ in range(3)]
    threads += [threading.Thread(target=own_engine, args=(i % 2,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []

import pydoc

import numpy as np
import pytest

import mirelo
from samples import QUERIES, TRAIN_X, TRAIN_Y

Config, Engine = mirelo.KNNConfig, mirelo.KNNEngine


def test_module_doc_and_public_names():
    assert mirelo.__doc__ == "C++ KNN Engine with Adaptive PCA support"
    assert [n for n in dir(mirelo) if not n.startswith("__")] == ["KNNConfig", "KNNEngine"]


# What help() shows of each class: one documented signature per method, in its listing's order.
@pytest.mark.parametrize("cls, signatures", [
    (Config, ["__init__(self: mirelo.KNNConfig) -> None"]),
    (Engine, ["__init__(self: mirelo.KNNEngine, arg0: mirelo.KNNConfig) -> None",
              "predict(self: mirelo.KNNEngine, arg0: numpy.ndarray[numpy.float64[m, 1]]) -> str",
              "predict_batch(self: mirelo.KNNEngine, arg0: numpy.ndarray[numpy.float64[m, n]]) -> list[str]",
              "train(self: mirelo.KNNEngine, X: numpy.ndarray[numpy.float64[m, n]], y: list[str], "
              "scale: bool = False) -> None"]),
])
def test_help_shows_each_signature(cls, signatures):
    shown = [line.strip(" |") for line in pydoc.render_doc(cls, renderer=pydoc.plaintext).splitlines()]
    assert [line for line in shown if "(self: mirelo." in line] == signatures


def test_config_defaults():
    cfg = Config()
    assert (cfg.k, cfg.variance) == (3, 0.95)
    assert type(cfg.k) is int and type(cfg.variance) is float


@pytest.mark.parametrize("attr, value, stored", [
    ("k", 2**31 - 1, 2**31 - 1), ("k", -(2**31), -(2**31)), ("variance", 1, 1.0), ("variance", 0.5, 0.5),
])
def test_config_accepts(attr, value, stored):
    cfg = Config()
    setattr(cfg, attr, value)
    assert getattr(cfg, attr) == stored and type(getattr(cfg, attr)) is type(stored)


@pytest.mark.parametrize("attr, value", [
    ("k", 2.5), ("k", 2**31), ("k", -(2**31) - 1), ("k", "3"), ("variance", "x"), ("variance", None),
])
def test_config_rejects_without_changing(attr, value):
    cfg = Config()
    with pytest.raises(TypeError):
        setattr(cfg, attr, value)
    assert (cfg.k, cfg.variance) == (3, 0.95)


@pytest.mark.parametrize("cls, args", [(Config, (5,)), (Engine, ()), (Engine, (None,))])
def test_constructors_reject(cls, args):
    with pytest.raises(TypeError):
        cls(*args)


@pytest.mark.parametrize("make", [Config, lambda: Engine(Config())], ids=["config", "engine"])
def test_no_new_attributes(make):
    with pytest.raises(AttributeError):
        make().extra = 1


@pytest.mark.parametrize("X, y", [
    (TRAIN_X.astype(int).tolist(), tuple(TRAIN_Y)),
    (TRAIN_X.astype(np.float32), TRAIN_Y),
    (np.asfortranarray(TRAIN_X), TRAIN_Y),
    (np.repeat(TRAIN_X, 2, axis=1)[:, ::2], TRAIN_Y),
    (TRAIN_X, [s.encode() for s in TRAIN_Y]),
    (TRAIN_X.astype(np.uint8)[:, ::-1].T.copy().T[:, ::-1], TRAIN_Y),
    (TRAIN_X.astype(np.float16), TRAIN_Y),
    (TRAIN_X.astype(">f8"), TRAIN_Y),
    (TRAIN_X.astype(">i4"), TRAIN_Y),
], ids=["int-lists-and-tuple", "float32", "fortran", "strided", "bytes-labels", "uint8-reversed", "float16",
        "big-endian", "big-endian-int"])
def test_training_input_conversions(make_engine, trained, X, y):
    engine = make_engine(k=1)
    engine.train(X, y)
    got = engine.predict_batch(QUERIES)
    assert got == trained.predict_batch(QUERIES) and all(type(label) is str for label in got)


@pytest.mark.parametrize("X, y", [
    (TRAIN_X, "aaabbb"), (TRAIN_X, [1, 1, 1, 2, 2, 2]), (TRAIN_X, ["a", "a", "a", "b", "b", 2]),
    (TRAIN_X, None), (TRAIN_X[None], TRAIN_Y), ([["a", "b"]] * 6, TRAIN_Y),
], ids=["str", "ints", "mixed", "none", "3-d", "text-matrix"])
def test_training_type_errors(make_engine, X, y):
    engine = make_engine()
    with pytest.raises(TypeError):
        engine.train(X, y)
    assert engine.predict(np.zeros(2)) == "Unknown"


@pytest.mark.parametrize("call", ["predict", "predict_batch"])
def test_non_utf8_label_fails_on_return(make_engine, call):
    engine = make_engine(k=1)
    engine.train(TRAIN_X, [b"\xff"] * 3 + [b"b"] * 3)
    with pytest.raises(UnicodeDecodeError):
        getattr(engine, call)(QUERIES[:1] if call == "predict_batch" else QUERIES[0])
    assert engine.predict(QUERIES[1]) == "b"


@pytest.mark.parametrize("shape", [lambda q: q, lambda q: q.reshape(-1, 1), lambda q: q.tolist()],
                         ids=["flat", "column", "list"])
def test_predict_query_shapes(trained, shape):
    assert [trained.predict(shape(q)) for q in QUERIES] == trained.predict_batch(QUERIES)


def unaligned(X):
    raw = np.zeros(X.nbytes + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float64, count=X.size, offset=1).reshape(X.shape)
    view[...] = X
    return view


# Aligned arrays of a native numeric type are read in place in any layout; the others are converted
# first. All read the same.
@pytest.mark.parametrize("layout", [
    np.asfortranarray, lambda q: np.repeat(q, 2, axis=1)[:, ::2], lambda q: q[::-1][::-1],
    lambda q: q.astype(">f8"), unaligned, lambda q: q.tolist(), lambda q: q.astype(np.float32),
    lambda q: np.asfortranarray(q, dtype=np.float32), lambda q: q.astype(np.float16),
], ids=["fortran", "strided", "reversed-twice", "big-endian", "unaligned", "lists", "float32", "float32-fortran",
        "float16"])
def test_query_layouts(trained, layout):
    assert trained.predict_batch(layout(QUERIES)) == trained.predict_batch(QUERIES)


# An aligned row of a native numeric type is read in place, any other is copied first: all read the same.
@pytest.mark.parametrize("layout", [
    lambda q: q, lambda q: np.column_stack([q, q[::-1] + 9.0]).ravel()[::2], lambda q: q.astype(">f8"),
    lambda q: unaligned(q[None, :])[0], lambda q: q.astype(np.float32), lambda q: q.round().astype(int),
], ids=["contiguous", "strided", "big-endian", "unaligned", "float32", "int"])
def test_one_row_layouts(trained, layout):
    rows = [layout(q) for q in QUERIES]
    assert [trained.predict(q) for q in rows] == trained.predict_batch(np.array(rows, dtype=np.float64))


# Only one positional query is a call predict takes.
@pytest.mark.parametrize("args, kwargs", [
    ((QUERIES[:1],), {}), ((), {}), ((QUERIES[0], QUERIES[0]), {}), ((), {"arg0": QUERIES[0]}),
    ((QUERIES[0],), {"arg0": QUERIES[0]}), (("row",), {}),
], ids=["row-matrix", "none", "two", "keyword", "both", "string"])
def test_predict_rejects_other_calls(trained, args, kwargs):
    with pytest.raises(TypeError, match=r"^predict\(\): incompatible function arguments"):
        trained.predict(*args, **kwargs)


def test_batch_of_one_feature_reads_vector_as_rows(make_engine):
    engine = make_engine(k=1)
    engine.train(np.array([[0.0], [1.0], [4.0]]), ["x", "y", "z"])
    got = engine.predict_batch(np.array([3.9, 0.1, 1.2, -7.0]))
    assert type(got) is list and got == ["z", "x", "y", "x"]

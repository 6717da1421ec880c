import hashlib
import json
import os
import pickle
import struct
import subprocess
import sys

import dask
import dask.array as da
import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.datasets import load_wine
from sklearn.exceptions import NotFittedError

import mirelo_dask
from mirelo_dask._cache import models
from bounded import SECONDS
from mirelo_sklearn import MireloClassifier

X, Y = load_wine(return_X_y=True)
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
HERE = os.path.dirname(__file__)


def answers(model, queries=X):
    return [model.predict(queries), model.predict_proba(queries), *model.kneighbors(queries),
            model.transform(queries)]


def same(a, b, queries=X):
    return all(np.array_equal(p, q) for p, q in zip(answers(a, queries), answers(b, queries), strict=True))


LABELS = {
    "ints": Y, "floats": Y * 2.0, "bools": Y > 0, "unsigned": Y.astype(np.uint8),
    "str": np.array(["low", "mid", "high"])[Y], "objects": np.array(["é", "b", "c"], dtype=object)[Y],
    "bytes": np.array([b"a", b"b\x00c", b"d"])[Y],
}


@pytest.mark.parametrize("mmap_mode", [None, "r"])
@pytest.mark.parametrize("labels", LABELS.values(), ids=LABELS.keys())
def test_a_loaded_model_answers_as_the_saved_one(tmp_path, labels, mmap_mode):
    model = MireloClassifier(n_neighbors=4, n_components=5, weights="distance").fit(X, labels)
    model.save(tmp_path / "m.mirelo")
    loaded = MireloClassifier.load(tmp_path / "m.mirelo", mmap_mode=mmap_mode)
    assert same(loaded, model) and loaded.get_params() == model.get_params()
    assert loaded.classes_.dtype == model.classes_.dtype and list(loaded.classes_) == list(model.classes_)
    assert same(pickle.loads(pickle.dumps(loaded)), model) and same(clone(loaded).fit(X, labels), model)
    loaded.save(tmp_path / "again.mirelo")
    assert (tmp_path / "again.mirelo").read_bytes() == (tmp_path / "m.mirelo").read_bytes()


def test_column_names_float32_and_scaling_survive(tmp_path):
    frame = pd.DataFrame(X.astype(np.float32), columns=[f"c{i}" for i in range(X.shape[1])])
    model = MireloClassifier(scale=True).fit(frame, Y)
    model.save(tmp_path / "m")
    loaded = MireloClassifier.load(tmp_path / "m", mmap_mode="r")
    assert list(loaded.feature_names_in_) == list(frame.columns)
    assert same(loaded, model, frame) and np.array_equal(loaded.kneighbors()[0], model.kneighbors()[0])


@pytest.mark.parametrize("model, error", [
    (MireloClassifier(), NotFittedError),
    (MireloClassifier(weights=lambda d: d).fit(X, Y), ValueError),
], ids=["unfitted", "function-weights"])
def test_what_cannot_be_saved_leaves_the_old_file(tmp_path, model, error):
    path = tmp_path / "m"
    MireloClassifier().fit(X, Y).save(path)
    before = path.read_bytes()
    with pytest.raises(error):
        model.save(path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["m"]


def save_wine(tmp_path):
    path = tmp_path / "wine.mirelo"
    MireloClassifier(n_components=3).fit(X, np.array(["a", "bb", "ccc"])[Y]).save(path)
    return path, path.read_bytes()


def header_of(data):
    length = struct.unpack_from("<Q", data, 16)[0]
    return json.loads(data[24:24 + length]), length


def with_header(data, change):
    """The file with its header changed and its digest made again: what only a deliberate edit
    makes. A longer header moves every section on by whole alignments."""
    header, length = header_of(data)
    change(header)
    shift = 0
    while True:
        moved = json.loads(json.dumps(header))
        for entry in moved["sections"]:
            entry["offset"] += shift
        text = json.dumps(moved, separators=(",", ":")).encode()
        if len(text) <= length + shift:
            break
        shift += 64
    body = data[:16] + struct.pack("<Q", length + shift) + text.ljust(length + shift) + data[24 + length:-32]
    return body + hashlib.blake2b(body, digest_size=32).digest()


def section(header, name):
    return next(entry for entry in header["sections"] if entry["name"] == name)


def with_section(data, name, values):
    header, _ = header_of(data)
    entry = section(header, name)
    body = bytearray(data)
    body[entry["offset"]:entry["offset"] + entry["size"]] = np.asarray(values, dtype=entry["dtype"]).tobytes()
    return bytes(body)


class Marker:
    def __reduce__(self):
        return os.mkdir, (os.environ["MIRELO_MARKER"],)


@pytest.mark.parametrize("damage, message", [
    (lambda d: d[:-1], "do not match its digest"),
    (lambda d: d[:200], "header of .* bytes in a file of 200"),
    (lambda d: d[:10], "10 bytes, too short"),
    (lambda d: d[:300] + bytes([d[300] ^ 4]) + d[301:], "do not match its digest"),
    (lambda d: b"<html>not a model</html>" * 10, "another kind"),
    (lambda d: pickle.dumps(Marker()) + b"\0" * 64, "a pickle"),
    (lambda d: d[:8] + struct.pack("<I", 3) + d[12:], "in format 3, and this mirelo reads formats up to 2"),
    (lambda d: d[:16] + struct.pack("<Q", 2**62) + d[24:], "header of 4611686018427387904 bytes"),
    (lambda d: with_header(d, lambda h: section(h, "reduced").update(shape=[10**9, 3], size=24 * 10**9)),
     "outside bytes"),
    (lambda d: with_header(d, lambda h: section(h, "codes").update(offset=section(h, "codes")["offset"] + 8)),
     "misaligned"),
    (lambda d: with_header(d, lambda h: section(h, "codes").update(dtype="|O")), "section 'codes' of dtype '.O'"),
    (lambda d: with_header(d, lambda h: section(h, "mean").update(name="meaN")), "section 'meaN'"),
    (lambda d: with_header(d, lambda h: h["classes"].update(dtype="<U2")), "classes described as"),
    (lambda d: with_header(d, lambda h: h["numbers"].update(variance="x")), "a variance of 'x'"),
    (lambda d: with_header(d, lambda h: h["parameters"].update(weights=["x"])), "parameters .* other than"),
    (lambda d: with_header(d, lambda h: h["sections"].remove(section(h, "codes"))),
     r"without the sections \['codes'\]"),
    (lambda d: with_header(d, lambda h: h["numbers"].update(n_classes=-1)), "with -1 classes"),
], ids=["digest", "truncated", "tiny", "bit-flip", "foreign", "pickle", "future", "huge-header", "huge-section",
        "misaligned", "object-dtype", "unknown-section", "cut-classes", "text-variance", "list-parameter",
        "missing-section", "no-classes"])
def test_damaged_foreign_and_future_files_are_refused(tmp_path, monkeypatch, damage, message):
    path, data = save_wine(tmp_path)
    monkeypatch.setenv("MIRELO_MARKER", str(tmp_path / "ran"))
    path.write_bytes(damage(data))
    for mmap_mode in (None, "r"):
        with pytest.raises(ValueError, match=message):
            MireloClassifier.load(path, mmap_mode=mmap_mode)
    assert not (tmp_path / "ran").exists()


# Files whose digest matches (made by hand, or trusted with verify=False) but whose indexes lead
# outside the arrays the search reads: refused by the checks an unpickled model goes through.
@pytest.mark.parametrize("craft, message", [
    (lambda d: with_section(d, "codes", np.full(178, 7)), "class codes from 0 to 2"),
    (lambda d: with_section(d, "codes", np.full(178, -1)), "class codes from 0 to 2"),
    (lambda d: with_section(d, "class_offsets", [0, 1, 9, 3]), "offsets do not run"),
    (lambda d: with_section(d, "class_data", [0xFF] * 6), "not UTF-8"),
    (lambda d: with_header(d, lambda h: h["numbers"].update(n_components=2)), "component matrix is"),
    (lambda d: with_section(d, "store_order", np.zeros(178)), "places each of its 178 rows once"),
    (lambda d: with_section(d, "store_order", np.arange(178) + 1), "places each of its 178 rows once"),
    (lambda d: with_header(d, lambda h: h["store"].update(prefix=4)), "prefix from 1 to the width 3"),
    (lambda d: with_header(d, lambda h: h["store"].update(checkpoint=1)), "screen whose rows holds 0 values"),
    (lambda d: with_header(d, lambda h: h["store"].update(exponent=5000)), "exponent of a double"),
    (lambda d: with_header(d, lambda h: h["store"].update(levels=3)), "not the 3 levels"),
    (lambda d: with_header(d, lambda h: h["store"].update(levels="1")), "a store described as"),
    (lambda d: with_header(d, lambda h: section(h, "store_norms").update(shape=[177], size=708)),
     "screen whose norms holds 178 values"),
], ids=["codes-high", "codes-negative", "class-offsets", "class-text", "component-count", "order-repeats",
        "order-outside", "prefix", "checkpoint", "exponent", "levels", "levels-text", "norms-short"])
def test_files_that_lead_outside_their_arrays_are_refused_unverified(tmp_path, craft, message):
    path, data = save_wine(tmp_path)
    path.write_bytes(craft(data))
    with pytest.raises(ValueError, match=message):
        MireloClassifier.load(path, mmap_mode="r", verify=False)


# Stores whose screen reads its rows as 16-bit codes, with and without 8-bit codes at the
# checkpoint (a flat spectrum puts it past half a row), read back in place.
@pytest.mark.parametrize("decay", [1.0, 0.7], ids=["8-bit", "16-bit"])
def test_coded_stores_answer_alike_mapped(tmp_path, decay):
    rng = np.random.default_rng(5)
    data = rng.normal(size=(20_000, 16)) * decay ** np.arange(16)
    labels = rng.integers(0, 4, len(data))
    model = MireloClassifier(n_neighbors=5, n_components=16).fit(data, labels)
    model.save(tmp_path / "m")
    header, _ = header_of((tmp_path / "m").read_bytes())
    assert header["store"]["checkpoint"] > 0 and (section(header, "store_coarse_steps")["size"] > 0) == (decay == 1.0)
    queries = rng.normal(size=(300, 16))
    for mmap_mode in (None, "r"):
        assert same(MireloClassifier.load(tmp_path / "m", mmap_mode=mmap_mode), model, queries)


def test_grown_models_and_format_1_files_are_rebuilt_on_open(tmp_path):
    model = MireloClassifier(n_components=3).fit(X[:150], Y[:150]).partial_fit(X[150:], Y[150:])
    model.save(tmp_path / "grown")
    assert header_of((tmp_path / "grown").read_bytes())[0]["store"] is None
    assert same(MireloClassifier.load(tmp_path / "grown", mmap_mode="r"), model)
    path, data = save_wine(tmp_path)

    def first_format(header):
        del header["store"]
        header["sections"] = [entry for entry in header["sections"] if not entry["name"].startswith("store_")]

    older = with_header(data, first_format)[:-32]
    older = older[:8] + struct.pack("<I", 1) + older[12:]
    (tmp_path / "older").write_bytes(older + hashlib.blake2b(older, digest_size=32).digest())
    assert same(MireloClassifier.load(tmp_path / "older", mmap_mode="r"), MireloClassifier.load(path))


@pytest.mark.parametrize("added", [5, 120], ids=["beside-the-store", "folded-in"])
def test_a_mapped_model_grows_in_memory_and_leaves_its_file(tmp_path, added):
    path, data = save_wine(tmp_path)
    mapped = MireloClassifier.load(path, mmap_mode="r")
    read = MireloClassifier.load(path)
    rng = np.random.default_rng(3)
    rows = X[rng.integers(0, len(X), added)] + rng.normal(size=(added, X.shape[1]))
    labels = rng.choice(["a", "new"], added)
    for model in (mapped, read):
        model.partial_fit(rows, labels)
    assert same(mapped, read) and mapped.n_samples_fit_ == len(X) + added
    assert path.read_bytes() == data


def test_two_processes_map_one_file_and_answer_alike(tmp_path):
    path, _ = save_wine(tmp_path)
    np.save(tmp_path / "queries.npy", X[::7])
    code = (f"import numpy as np, sys; from mirelo_sklearn import MireloClassifier; "
            f"m = MireloClassifier.load({str(path)!r}, mmap_mode='r'); "
            f"sys.stdout.write(repr(m.predict_proba(np.load({str(tmp_path / 'queries.npy')!r})).tolist()))")
    children = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) for _ in range(2)]
    outputs = [child.communicate(timeout=SECONDS)[0] for child in children]
    expected = MireloClassifier.load(path).predict_proba(X[::7]).tolist()
    assert [eval(output) for output in outputs] == [expected, expected]


# Run in a child: what loading a mapped model and answering adds to its own memory, and how its
# mapping of the file is held, from /proc/self/smaps (kB).
_SHARING_CHILD = r"""
import json, sys
import numpy as np
from mirelo_sklearn import MireloClassifier

def anonymous():
    with open("/proc/self/smaps_rollup") as rollup:
        return sum(int(line.split()[1]) for line in rollup if line.startswith("Anonymous:"))

def mapping(path):
    fields, inside = {}, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            if line[0] in "0123456789abcdef" and "-" in line.split()[0]:
                inside = line.rstrip().endswith(path)
            elif inside and line.split()[-1] == "kB":
                fields[line.split(":")[0]] = fields.get(line.split(":")[0], 0) + int(line.split()[1])
    return fields

path, queries = sys.argv[1], np.load(sys.argv[2])
# Threads, scratch and the allocator's pools made before measuring.
MireloClassifier().fit(queries, np.arange(len(queries)) % 3).predict(queries)
before = anonymous()
model = MireloClassifier.load(path, mmap_mode="r")
model.predict(queries)
print(json.dumps({"added": anonymous() - before, **mapping(path)}))
"""


def test_processes_that_map_one_file_share_its_pages(tmp_path):
    rng = np.random.default_rng(3)
    data = rng.normal(size=(200_000, 16))
    path = tmp_path / "shared.mirelo"
    MireloClassifier(n_components=16).fit(data, rng.integers(0, 3, len(data))).save(path)
    np.save(tmp_path / "queries.npy", rng.normal(size=(2_000, 16)))
    held = MireloClassifier.load(path, mmap_mode="r")
    held.predict(data[::50])
    done = subprocess.run([sys.executable, "-c", _SHARING_CHILD, str(path), str(tmp_path / "queries.npy")],
                          capture_output=True, text=True, timeout=SECONDS, env={**os.environ, "OMP_NUM_THREADS": "2"})
    assert done.returncode == 0, done.stderr[-2000:]
    child = json.loads(done.stdout)
    file_kib = os.path.getsize(path) / 1024
    # The child's pages of the file are this process's too; it copies none and adds little of its own.
    assert child["Shared_Clean"] > 0 and child["Private_Dirty"] == 0, child
    # The sanitizer's quarantine holds freed memory on purpose, so only a plain run can bound it.
    assert UNDER_ASAN or child["added"] < 0.1 * file_kib, (child, file_kib)


def test_dask_answers_from_a_path_and_notices_a_replaced_file(tmp_path):
    path, _ = save_wine(tmp_path)
    model = MireloClassifier.load(path)
    queries = da.from_array(X, chunks=50)
    with dask.config.set(scheduler="threads"):
        assert np.array_equal(mirelo_dask.predict(str(path), queries).compute(), model.predict(X))
        assert np.array_equal(mirelo_dask.predict_proba(path, queries).compute(), model.predict_proba(X))
        distances, rows = mirelo_dask.kneighbors(path, queries, 4)
        assert np.array_equal(rows.compute(), model.kneighbors(X, 4)[1])
        frame = pd.DataFrame(X)
        assert (mirelo_dask.predict(path, frame).compute() == model.predict(X)).all()
        stale = mirelo_dask.predict(path, queries)
        MireloClassifier(n_components=2).fit(X, np.array(["x", "y", "z"])[Y]).save(path)
        # A process that holds the model the graph names answers from it; one that must open the
        # file again refuses the other model in its place.
        assert np.array_equal(stale.compute(), model.predict(X))
        models.clear()
        with pytest.raises(RuntimeError, match="changed after the compute was built"):
            stale.compute()
        assert list(mirelo_dask.predict(path, queries[:3]).compute()) == ["x", "x", "x"]


def damaged_copies(data, count, seed):
    """Damaged versions of a model file: bit flips, truncations, sizes set huge, sections swapped."""
    rng = np.random.default_rng(seed)
    header, length = header_of(data)
    names = [entry["name"] for entry in header["sections"]]
    for i in range(count):
        kind = i % 4
        if kind == 0:
            body = bytearray(data)
            for place in rng.integers(0, len(body), rng.integers(1, 9)):
                body[place] ^= 1 << int(rng.integers(0, 8))
            yield bytes(body), False
        elif kind == 1:
            yield data[:int(rng.integers(0, len(data)))], False
        elif kind == 2 and i % 8 == 2:
            yield data[:16] + struct.pack("<Q", int(rng.integers(length + 1, 2**63))) + data[24:], False
        elif kind == 2:
            # As large as the field's digits allow (the header keeps its length), or 0.
            name, field = names[rng.integers(len(names))], ["offset", "size", "shape"][rng.integers(3)]

            def enlarge(h):
                entry = section(h, name)
                if field == "shape":
                    entry["shape"][0] = int("9" * len(str(entry["shape"][0]))) if rng.integers(2) else 0
                else:
                    entry[field] = int("9" * len(str(entry[field]))) if rng.integers(2) else 0

            yield with_header(data, enlarge), True
        else:
            first, second = rng.choice(len(names), 2, replace=False)

            def swap(h):
                a, b = h["sections"][first], h["sections"][second]
                a["offset"], b["offset"] = b["offset"], a["offset"]

            yield with_header(data, swap), True


def fuzz(path, count, seed):
    """Loads `count` damaged copies of the model file at path; returns (refused, loaded)."""
    original = MireloClassifier.load(path)
    data = open(path, "rb").read()
    refused = loaded = 0
    for damaged, signed in damaged_copies(data, count, seed):
        with open(path, "wb") as file:
            file.write(damaged)
        for verify in (True, False):
            try:
                model = MireloClassifier.load(path, mmap_mode="r", verify=verify)
            except ValueError:
                refused += 1
                continue
            loaded += 1
            # Damage the digest covers never loads; a signed file is a model of its author's making.
            if verify and not signed and not same(model, original, X[:16]):
                raise AssertionError(f"a damaged file loaded and answered differently (seed {seed})")
            answers(model, X[:16])
    return refused, loaded


@pytest.mark.slow
def test_ten_thousand_damaged_files_never_crash_hang_or_answer_differently(tmp_path):
    path, _ = save_wine(tmp_path)
    code = f"import test_model_files as t; print(t.fuzz({str(path)!r}, 10_000, 39))"
    # One OpenMP thread: the loads are many and small. Some 20,000 loads take minutes on a busy machine.
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=3 * SECONDS,
                          cwd=HERE, env={**os.environ, "PYTHONPATH": HERE, "OMP_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr[-2000:]
    refused, loaded = eval(done.stdout)
    assert refused + loaded == 20_000 and refused > 10_000

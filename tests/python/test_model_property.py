"""Labels from mirelo against a plain NumPy model of the same pipeline, on drawn data."""

import itertools
from collections import Counter

import numpy as np
from hypothesis import assume, event, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import mirelo

# Case variants, shared prefixes, an embedded NUL and multi-byte text all meet in the vote tie-break.
LABELS = ["a", "A", "ab", "abc", "a\x00", "", "é", "Ω", "日本"]
# Fractions, exactly one, whole and fractional counts, and values no int32 count can hold.
VARIANCES = [0.5, 0.9, 0.99, 1.0, 2.5, 3.0, 7.0, 1e300]
INT32_MAX = 2**31 - 1


@st.composite
def problems(draw):
    shape = draw(st.sampled_from(["tall", "wide", "square", "one row", "one feature"]))
    a = draw(st.integers(1, 11))
    b = draw(st.integers(a + 1, 12))
    n, d = {"tall": (b, a), "wide": (a, b), "square": (b, b), "one row": (1, b), "one feature": (b, 1)}[shape]
    # Values within 1e100 of each other: a query whose squared distance is over 1e300 times the
    # training data's squares cannot be represented in one range, and is rejected.
    floats = st.floats(-100, 100, allow_nan=False).filter(lambda v: v == 0 or abs(v) > 1e-98)
    values = draw(st.sampled_from([st.integers(-100, 100).map(float), floats]))
    distinct = draw(arrays(np.float64, (n - draw(st.integers(0, n - 1)), d), elements=values, fill=st.nothing()))
    # Repeats give duplicate rows, repeated eigenvalues and exact distance ties.
    picks = draw(st.lists(st.integers(0, len(distinct) - 1), min_size=n - len(distinct), max_size=n - len(distinct)))
    # Tiny and large magnitudes: no threshold may be absolute in the data's units, and squares
    # beyond the double range must not decide anything.
    magnitude = draw(st.sampled_from([1.0, 1e-12, 1e5, 1e-200, 1e200]))
    X = magnitude * np.vstack([distinct, distinct[picks]])[draw(st.permutations(range(n)))]
    fresh = magnitude * draw(arrays(np.float64, (draw(st.integers(0, 3)), d), elements=values, fill=st.nothing()))
    seen = X[draw(st.lists(st.integers(0, n - 1), min_size=1 if len(fresh) == 0 else 0, max_size=3))]
    return dict(X=X, magnitude=magnitude, y=draw(st.lists(st.sampled_from(LABELS), min_size=n, max_size=n)),
                k=draw(st.sampled_from([1, 3, 0, 2, n, -1, 4, n + 3])), queries=np.vstack([fresh, seen]))


def fit(X, scale, magnitude):
    """The pipeline on X / magnitude; the spread floor stays in the data's own units."""
    n, d = X.shape
    mean = X.mean(axis=0)
    spread = np.ones(d)
    if scale and n > 1:
        spread = np.sqrt(((X - mean) ** 2).sum(axis=0) / (n - 1))
        # which side of the floor is noise
        assume(not np.any(np.isclose(spread * magnitude, 1e-9, rtol=1e-6, atol=0)))
        spread[spread * magnitude < 1e-9] = 1.0
    Xc = (X - mean) / spread
    if n >= d:
        lam, vectors = np.linalg.eigh(Xc.T @ Xc / max(n - 1, 1))
        return mean, spread, lam[::-1], vectors[:, ::-1]
    lam, vectors = np.linalg.eigh(Xc @ Xc.T)
    axes = Xc.T @ vectors[:, ::-1]
    # Null directions of the Gram matrix come out as rounding noise of any length; drop them.
    lengths = np.linalg.norm(axes, axis=0)
    keep = lengths > 1e-9 * lengths.max()
    return mean, spread, lam[::-1], np.divide(axes, lengths, out=np.zeros_like(axes), where=keep)


def possible_counts(lam, variance):
    """Every component count the cumulative-ratio rule can give once eigenvalue rounding is allowed for."""
    m = len(lam)
    if variance >= 1.0:
        return [m if variance >= INT32_MAX else min(m, int(variance))]
    noise = 1e-12 * m * np.abs(lam).max()
    total = lam.sum()
    if abs(total) <= 1e3 * noise:  # only rounding left: the ratios mean nothing
        return list(range(1, m + 1))
    slack = 1e-9 + noise / abs(total)
    counts = []
    for count, ratio in enumerate(np.cumsum(lam) / total, start=1):
        if ratio + slack >= variance or count == m:
            counts.append(count)
        if ratio - slack >= variance:
            break
    return counts


def subspace_is_ambiguous(lam, count):
    # A cut inside a cluster of equal, non-negligible eigenvalues keeps an arbitrary subspace.
    top = np.abs(lam).max()
    return count < len(lam) and lam[count - 1] > 1e-12 * top and lam[count - 1] - lam[count] <= 1e-9 * top


def possible_labels(X, Z, z, y, K):
    """Winners for every choice of voters among rows tied at the K-th distance.

    Eigen and LAPACK differ in the last bits of the axes, and null axes are arbitrary in both;
    1e-7 of the distance scale absorbs that; a real gap that small only makes the check lenient.
    Of identical training rows, the earlier ones must vote first.
    """
    dist = ((Z - z) ** 2).sum(axis=1)
    tol = 1e-7 * ((Z**2).sum(axis=1).max() + z @ z)
    kth = np.sort(dist)[K - 1]
    sure = [y[i] for i in np.flatnonzero(dist < kth - tol)]
    tied = np.flatnonzero(np.abs(dist - kth) <= tol)
    winners = set()
    for chosen in itertools.combinations(tied, K - len(sure)):
        if any(j in tied and j not in chosen and (X[j] == X[i]).all() for i in chosen for j in range(i)):
            continue
        votes = Counter(sure + [y[i] for i in chosen])
        top = max(votes.values())
        winners.add(min((label for label, v in votes.items() if v == top), key=str.encode))
    return winners


def mismatches(X, y, queries, got, K, model, count):
    mean, spread, _, axes = model
    Z, Zq = (((M - mean) / spread) @ axes[:, :count] for M in (X, queries))
    return [(i, got[i], allowed) for i, allowed in enumerate(possible_labels(X, Z, z, y, K) for z in Zq)
            if got[i] not in allowed]


@settings(max_examples=60, deadline=None, derandomize=True)
@given(problems())
# Axes of data far below unit magnitude are real, not rounding noise.
@example(dict(X=1e-12 * np.array([[0.0, 1.0, 2.0], [3.0, 1.0, 0.0]]), y=["a", "b"], k=1,
              queries=1e-12 * np.array([[0.0, 1.0, 2.0], [3.0, 1.0, 0.0], [2.0, 1.0, 0.0]])))
def test_labels_match_numpy_model(p):
    X, y, queries, k = p["X"], p["y"], p["queries"], p["k"]
    # The model works at unit magnitude, where NumPy's squares neither overflow nor underflow;
    # rescaling every value leaves the labels as they are.
    magnitude = p.get("magnitude", 1.0)
    unit_X, unit_queries = X / magnitude, queries / magnitude
    K = min(k, len(X))
    checked = 0
    for scale in (False, True):
        model = fit(unit_X, scale, magnitude)
        for variance in VARIANCES:
            cfg = mirelo.KNNConfig()
            cfg.k, cfg.variance = k, variance
            engine = mirelo.KNNEngine(cfg)
            engine.train(X, y, scale)
            got = engine.predict_batch(queries)
            if k <= 0:
                assert got == ["Unknown"] * len(queries)
                continue
            counts = possible_counts(model[2], variance)
            if any(subspace_is_ambiguous(model[2], c) for c in counts):
                continue
            failures = [(c, mismatches(unit_X, y, unit_queries, got, K, model, c)) for c in counts]
            assert any(not wrong for _, wrong in failures), (scale, variance, failures)
            checked += 1
    event("k <= 0" if k <= 0 else f"configurations checked: {checked} of {2 * len(VARIANCES)}")

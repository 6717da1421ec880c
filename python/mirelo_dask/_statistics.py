"""The PCA of rows spread over many blocks, from each block's sufficient statistics.

Each block contributes its row count, column means, column extremes and centred
cross-products, all taken on the block divided by a power of two near its largest value so
that no square overflows or underflows. Blocks are combined in their order in the array, so
the result does not depend on which worker held which block.
"""

import math
from typing import NamedTuple, Optional, Sequence

import numpy as np

# Spreads below this count as none: such a column is centred but not divided.
_MIN_SPREAD = 1e-9


class BlockStatistics(NamedTuple):
    rows: int
    exponent: int             # the block's values were multiplied by 2**-exponent
    mean: np.ndarray          # d, scaled
    cross: np.ndarray         # d x d, centred cross-products, scaled twice
    largest: np.ndarray       # d, each column's largest magnitude (unscaled)


class Reduction(NamedTuple):
    mean: np.ndarray
    std_dev: np.ndarray
    components: np.ndarray    # d x n_components
    explained_variance_ratio: np.ndarray
    scale_exponent: int       # power of two applied to centred, divided rows


def block_statistics(block: np.ndarray) -> Optional[BlockStatistics]:
    block = np.asarray(block, dtype=np.float64)
    if len(block) == 0:
        return None
    largest = np.abs(block).max(axis=0)
    if not np.isfinite(largest).all():
        raise ValueError("Expected finite training values, got NaN or infinity")
    top = largest.max()
    exponent = math.frexp(top)[1] if top > 0 else 0
    scaled = np.ldexp(block, -exponent)
    mean = scaled.mean(axis=0)
    centred = scaled - mean
    return BlockStatistics(len(block), exponent, mean, centred.T @ centred, largest)


def _rescaled(s: BlockStatistics, exponent: int) -> BlockStatistics:
    shift = s.exponent - exponent
    return s._replace(exponent=exponent, mean=np.ldexp(s.mean, shift), cross=np.ldexp(s.cross, 2 * shift))


def _merged(a: BlockStatistics, b: BlockStatistics) -> BlockStatistics:
    exponent = max(a.exponent, b.exponent)
    a, b = _rescaled(a, exponent), _rescaled(b, exponent)
    rows = a.rows + b.rows
    delta = b.mean - a.mean
    return BlockStatistics(rows, exponent, a.mean + delta * (b.rows / rows),
                           a.cross + b.cross + np.outer(delta, delta) * (a.rows * b.rows / rows),
                           np.maximum(a.largest, b.largest))


def combined(*blocks: Optional[BlockStatistics]) -> BlockStatistics:
    """All blocks' statistics, folded left to right in the order given."""
    present = [s for s in blocks if s is not None]
    if not present:
        raise ValueError("Expected at least one training row, got none")
    total = present[0]
    for s in present[1:]:
        total = _merged(total, s)
    return total


def _component_count(eigenvalues: np.ndarray, variance: float) -> int:
    if variance >= 1.0:
        return int(min(len(eigenvalues), min(variance, 2**31 - 1)))
    total = eigenvalues.sum()
    if not total > 0:  # no variance: every ratio is undefined, and all components are kept
        return len(eigenvalues)
    cumulative = 0.0
    for count, value in enumerate(eigenvalues, start=1):
        cumulative += value
        if cumulative / total >= variance:
            return count
    return len(eigenvalues)


def _scale_exponent(largest: float, terms: int) -> int:
    """The power of two that keeps the reduced rows' summed squares inside the normal range."""
    if not largest > 0.0 or not math.isfinite(largest):
        return 0
    exponent = math.frexp(largest)[1] - 1
    headroom = math.ceil(math.log2(terms)) + 4
    may_overflow = 2 * (exponent + 1) + headroom > 1024
    may_underflow = 2 * exponent < -1021 + 2 * 53
    return -exponent if may_overflow or may_underflow else 0


def reduction(stats: BlockStatistics, variance: float, scale: bool) -> Reduction:
    """Means, spreads and the kept principal axes of all the rows the statistics describe."""
    n, d = stats.rows, len(stats.mean)
    covariance = stats.cross / (n - 1 if n > 1 else 1)  # in units of 2**(2 * exponent)
    mean = np.ldexp(stats.mean, stats.exponent)
    std_dev = np.ones(d)
    if scale and n > 1:
        spread = np.ldexp(np.sqrt(np.diag(covariance)), stats.exponent)
        std_dev = np.where(spread < _MIN_SPREAD, 1.0, spread)
        # The divided data's covariance up to a positive factor, which moves no axis or share.
        factor = std_dev.min() / std_dev
        covariance = covariance * np.outer(factor, factor)
    if not np.isfinite(covariance).all() or not np.isfinite(std_dev).all():
        raise ValueError("Expected values small enough for squared distances to stay finite, got a training "
                         "matrix whose covariance overflows")
    eigenvalues, axes = np.linalg.eigh(covariance)
    eigenvalues, axes = eigenvalues[::-1], axes[:, ::-1]
    count = _component_count(eigenvalues, variance)
    total = eigenvalues.sum()
    ratio = eigenvalues[:count] / total if total > 0 else np.zeros(count)
    largest = float(((stats.largest + np.abs(mean)) / std_dev).max())
    return Reduction(mean, std_dev, np.ascontiguousarray(axes[:, :count]), ratio,
                     _scale_exponent(largest, max(n, d)))

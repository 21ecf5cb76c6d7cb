"""What the sign bits of the data look like: bias per dimension, and how many
bits differ between two samples of one person and of two people."""

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .data import Dataset, binarize

# Mean |share of ones - 1/2| above which the data is called not centred: one
# bit in twenty more often on one side than the other, averaged over dimensions.
UNCENTRED_BIAS = 0.05
# Beyond this many rows, the pairwise figures come from a seeded subset.
MAX_PAIR_ROWS = 6000
PERCENTILES = (1, 5, 25, 50, 75, 95, 99)


@dataclass
class Bias:
    mean_abs: float  # mean over dimensions of |share of ones - 0.5|
    max_abs: float
    strongly_biased: int  # dimensions whose share of ones is outside [0.4, 0.6]
    n_dimensions: int
    most_biased: List[Tuple[int, float]]  # (dimension, share of ones), the worst five
    centred: bool

    def to_dict(self) -> Dict[str, Any]:
        return {
            "mean_abs": self.mean_abs,
            "max_abs": self.max_abs,
            "strongly_biased": self.strongly_biased,
            "n_dimensions": self.n_dimensions,
            "most_biased": [{"dimension": d, "share_of_ones": s} for d, s in self.most_biased],
            "centred": self.centred,
        }


@dataclass
class Distribution:
    """Bit error rates (share of differing bits) over a set of pairs."""

    pairs: int
    mean: float
    std: float
    percentiles: Dict[int, float]
    histogram: np.ndarray = field(repr=False)  # pairs by number of differing bits

    @classmethod
    def of(cls, histogram: np.ndarray) -> "Distribution":
        n_bits = len(histogram) - 1
        pairs = int(histogram.sum())
        if pairs == 0:
            return cls(0, float("nan"), float("nan"), {}, histogram)
        rates = np.arange(n_bits + 1) / n_bits
        mean = float((histogram * rates).sum() / pairs)
        std = float(np.sqrt(max(0.0, (histogram * (rates - mean) ** 2).sum() / pairs)))
        cumulative = np.cumsum(histogram)
        percentiles = {
            p: float(rates[int(np.searchsorted(cumulative, p / 100 * pairs))]) for p in PERCENTILES
        }
        return cls(pairs, mean, std, percentiles, histogram)

    def to_dict(self) -> Dict[str, Any]:
        return {
            "pairs": self.pairs,
            "mean": self.mean,
            "std": self.std,
            "percentiles": {str(p): v for p, v in self.percentiles.items()},
        }


@dataclass
class ClosestPair:
    rows: Tuple[int, int]
    labels: Tuple[int, int]
    differing_bits: int
    rate: float

    def to_dict(self) -> Dict[str, Any]:
        return {
            "rows": list(self.rows),
            "labels": list(self.labels),
            "differing_bits": self.differing_bits,
            "rate": self.rate,
        }


@dataclass
class BitReport:
    n_features: int
    bias: Bias
    genuine: Distribution
    impostor: Distribution
    closest_impostor: Optional[ClosestPair]
    rows_used: int  # all rows, or the subset the pairwise figures come from

    def to_dict(self) -> Dict[str, Any]:
        return {
            "n_features": self.n_features,
            "bias": self.bias.to_dict(),
            "genuine": self.genuine.to_dict(),
            "impostor": self.impostor.to_dict(),
            "closest_impostor": self.closest_impostor.to_dict() if self.closest_impostor else None,
            "rows_used": self.rows_used,
        }


def bias_of(bits: np.ndarray) -> Bias:
    share = bits.mean(axis=0)
    deviation = np.abs(share - 0.5)
    worst = np.argsort(-deviation, kind="stable")[:5]
    mean_abs = float(deviation.mean())
    return Bias(
        mean_abs=mean_abs,
        max_abs=float(deviation.max()),
        strongly_biased=int((deviation > 0.1).sum()),
        n_dimensions=bits.shape[1],
        most_biased=[(int(d), float(share[d])) for d in worst],
        centred=mean_abs < UNCENTRED_BIAS,
    )


def differing_bits(bits: np.ndarray, rows: np.ndarray, others: np.ndarray) -> np.ndarray:
    """Differing bits between each row and every other row: (len(rows), len(others))."""
    a = bits[rows].astype(np.float32)
    b = bits[others].astype(np.float32)
    both = a @ b.T
    counts = np.rint(a.sum(axis=1)[:, None] + b.sum(axis=1)[None, :] - 2 * both)
    return np.asarray(counts, dtype=np.int64)


def pair_statistics(data: Dataset, seed: int, block: int = 512) -> BitReport:
    bits = binarize(data.embeddings)
    n_rows, n_bits = bits.shape
    rows = np.arange(n_rows)
    if n_rows > MAX_PAIR_ROWS:
        rows = np.sort(np.random.default_rng(seed).choice(n_rows, MAX_PAIR_ROWS, replace=False))
    labels = data.labels[rows]
    genuine = np.zeros(n_bits + 1, dtype=np.int64)
    impostor = np.zeros(n_bits + 1, dtype=np.int64)
    closest: Optional[ClosestPair] = None
    for start in range(0, len(rows), block):
        chunk = np.arange(start, min(start + block, len(rows)))
        distances = differing_bits(bits, rows[chunk], rows)
        later = np.arange(len(rows))[None, :] > chunk[:, None]  # each pair once
        same = labels[chunk][:, None] == labels[None, :]
        genuine += np.bincount(distances[later & same], minlength=n_bits + 1)
        cross = later & ~same
        impostor += np.bincount(distances[cross], minlength=n_bits + 1)
        if cross.any():
            masked = np.where(cross, distances, n_bits + 1)
            i, j = np.unravel_index(int(np.argmin(masked)), masked.shape)
            d = int(masked[i, j])
            if closest is None or d < closest.differing_bits:
                a, b = int(rows[chunk[i]]), int(rows[j])
                closest = ClosestPair(
                    (a, b), (int(data.labels[a]), int(data.labels[b])), d, d / n_bits
                )
    return BitReport(
        n_features=n_bits,
        bias=bias_of(bits),
        genuine=Distribution.of(genuine),
        impostor=Distribution.of(impostor),
        closest_impostor=closest,
        rows_used=len(rows),
    )

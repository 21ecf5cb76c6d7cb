"""The exact chance that a probe releases the secret, given its differing bits.

A probe that differs from the enrolled bits in d of n positions reproduces a
locker's pad exactly when none of the locker's k sampled positions is one of
the d: with probability C(n - d, k) / C(n, k). The seeded sampler draws every
locker's positions independently of the others, so given d the number A of
agreeing lockers out of L is Binomial(L, q).

The extractor then takes the most common candidate and releases it when its
share of the lockers reaches the threshold. Lockers that do not agree give
candidates that, for distinct pairs of enrolled and probe bit strings, are
unrelated 128-bit values: each has one vote. So:

- A >= 2: the secret outvotes every other candidate;
- A == 1: every candidate has one vote and the first one produced wins, so the
  secret is released only when the one agreeing locker is locker 0, which
  happens with probability 1/L given A == 1;
- A == 0: nothing to release.

The one approximation: two lockers that sampled the same enrolled and the same
probe bit strings give the same wrong candidate, which can then tie with or
beat a secret that has only a few votes. That needs short lockers (a handful of
bits) and a threshold of a few votes; the measurement shows it when it matters.
"""

import math
from dataclasses import dataclass
from typing import Dict, Iterable, List, Sequence, Tuple

import numpy as np

# Terms of the vote count's distribution further than this many standard
# deviations (plus a margin for the Poisson-like tail at tiny q) from its mean
# add up to less than 1e-30 and are left out: rates that small print as 0.
_SPREAD = 12.0
_MARGIN = 30


def agree_probability(n: int, k: int, d: int) -> float:
    """C(n - d, k) / C(n, k): one locker of k bits avoids all d differing bits."""
    if k > n - d:
        return 0.0
    if d == 0:
        return 1.0
    # Quotient of exact integers: correctly rounded, however large they are.
    return math.comb(n - d, k) / math.comb(n, k)


@dataclass
class VoteCount:
    """Binomial(L, q) for the agreeing lockers, over the window that holds its mass."""

    n_lockers: int
    q: float
    lo: int
    pmf: np.ndarray  # P(A = lo + i)
    upper: np.ndarray  # P(A >= lo + i)
    lower: np.ndarray  # P(A < lo + i)

    @classmethod
    def of(cls, n_lockers: int, q: float) -> "VoteCount":
        if q <= 0.0 or q >= 1.0:
            at = 0 if q <= 0.0 else n_lockers
            one = np.ones(1)
            return cls(n_lockers, q, at, one, one.copy(), np.zeros(1))
        mean = n_lockers * q
        spread = _SPREAD * math.sqrt(mean * (1.0 - q)) + _MARGIN
        lo = max(0, int(mean - spread))
        hi = min(n_lockers, int(mean + spread) + 1)
        j = np.arange(lo, hi + 1, dtype=np.float64)
        log_choose = np.empty(hi - lo + 1)
        log_choose[0] = (
            math.lgamma(n_lockers + 1) - math.lgamma(lo + 1) - math.lgamma(n_lockers - lo + 1)
        )
        # C(L, j + 1) = C(L, j) * (L - j) / (j + 1)
        np.cumsum(np.log((n_lockers - j[:-1]) / (j[:-1] + 1.0)), out=log_choose[1:])
        log_choose[1:] += log_choose[0]
        pmf = np.exp(log_choose + j * math.log(q) + (n_lockers - j) * math.log1p(-q))
        upper = np.cumsum(pmf[::-1])[::-1]
        lower = np.concatenate(([0.0], np.cumsum(pmf)[:-1]))
        return cls(n_lockers, q, lo, pmf, upper, lower)

    @property
    def hi(self) -> int:
        return self.lo + len(self.pmf) - 1

    def _tail(self, table: np.ndarray, m: int, before: float, after: float) -> float:
        """table's entry for m inside the support; `before` below it, `after` above it."""
        if m <= self.lo:
            return before
        if m > self.hi:
            return after
        return float(table[m - self.lo])

    def at_least(self, m: int) -> float:
        """P(A >= m)."""
        return self._tail(self.upper, m, 1.0, 0.0)

    def below(self, m: int) -> float:
        """P(A < m), computed directly so that small values keep their digits."""
        return self._tail(self.lower, m, 0.0, 1.0)

    def exactly(self, m: int) -> float:
        if m < self.lo or m > self.hi:
            return 0.0
        return float(self.pmf[m - self.lo])

    def released(self, votes_needed: int) -> float:
        """P(the secret is released) when the threshold asks for `votes_needed` votes."""
        alone = self.exactly(1) / self.n_lockers if votes_needed <= 1 else 0.0
        return self.at_least(max(2, votes_needed)) + alone

    def refused(self, votes_needed: int) -> float:
        """1 - released(votes_needed), without the cancellation."""
        if votes_needed <= 1:
            return self.below(2) - self.exactly(1) / self.n_lockers
        return self.below(votes_needed)


class Model:
    """Release probabilities for n-bit features, cached per (k, L, d)."""

    def __init__(self, n_features: int):
        self.n_features = n_features
        self._counts: Dict[Tuple[int, int, int], VoteCount] = {}

    def votes(self, k: int, n_lockers: int, d: int) -> VoteCount:
        key = (k, n_lockers, d)
        found = self._counts.get(key)
        if found is None:
            found = VoteCount.of(n_lockers, agree_probability(self.n_features, k, d))
            self._counts[key] = found
        return found

    def released(self, k: int, n_lockers: int, d: Sequence[int], votes_needed: int) -> np.ndarray:
        """Per-probe release probabilities for probes with `d` differing bits each."""
        return np.array([self.votes(k, n_lockers, int(x)).released(votes_needed) for x in d])

    def curves(
        self, k: int, n_lockers: int, histogram: np.ndarray
    ) -> Tuple[np.ndarray, np.ndarray]:
        """Release and refusal rates for every vote threshold m = 0..L.

        `histogram[d]` is the weight of probes with d differing bits. Entry m of
        each result is the weighted mean over probes at threshold m / L.
        """
        size = n_lockers + 2
        released = np.zeros(size)
        refused = np.zeros(size)
        # Constant stretches go in through difference arrays.
        released_steps = np.zeros(size + 1)
        refused_steps = np.zeros(size + 1)
        total = float(histogram.sum())
        for d in np.flatnonzero(histogram):
            w = histogram[d] / total
            count = self.votes(k, n_lockers, int(d))
            first, last = max(2, count.lo), count.hi
            released_steps[2] += w  # m < lo: certainly enough votes
            released_steps[max(2, first)] -= w
            if first <= last:
                window = slice(first - count.lo, last - count.lo + 1)
                released[first : last + 1] += w * count.upper[window]
                refused[first : last + 1] += w * count.lower[window]
            refused_steps[max(2, last + 1)] += w  # m > hi: certainly too few
            released[1] += w * count.released(1)
            refused[1] += w * count.refused(1)
        released += np.cumsum(released_steps)[:size]
        refused += np.cumsum(refused_steps)[:size]
        released[0], refused[0] = released[1], refused[1]
        return released[: n_lockers + 1], refused[: n_lockers + 1]


def votes_needed(n_lockers: int, prob_thresh: float) -> int:
    """The fewest agreeing lockers that pass: count / n_lockers >= prob_thresh, as floats."""
    count = max(1, math.ceil(prob_thresh * n_lockers))
    while count > 1 and (count - 1) / n_lockers >= prob_thresh:
        count -= 1
    while count <= n_lockers and count / n_lockers < prob_thresh:
        count += 1
    return count


def poisson_binomial_interval(probabilities: Iterable[float], level: float = 0.95) -> Tuple[int, int]:
    """The central `level` range of the number of successes of independent trials."""
    probs: List[float] = [min(1.0, max(0.0, float(p))) for p in probabilities]
    pmf = np.zeros(len(probs) + 1)
    pmf[0] = 1.0
    for i, p in enumerate(probs):
        head = pmf[: i + 2].copy()
        pmf[1 : i + 2] = head[1:] * (1.0 - p) + head[:-1] * p
        pmf[0] = head[0] * (1.0 - p)
    cdf = np.cumsum(pmf)
    tail = (1.0 - level) / 2.0
    low = int(np.searchsorted(cdf, tail - 1e-12))
    high = int(np.searchsorted(cdf, 1.0 - tail - 1e-12))
    return low, min(high, len(probs))


def wilson_interval(successes: int, trials: int, z: float = 1.959963984540054) -> Tuple[float, float]:
    """Wilson score interval of a proportion; (0, 1) without trials."""
    if trials <= 0:
        return 0.0, 1.0
    p = successes / trials
    denominator = 1.0 + z * z / trials
    centre = (p + z * z / (2 * trials)) / denominator
    half = z * math.sqrt(p * (1.0 - p) / trials + z * z / (4 * trials * trials)) / denominator
    # At the ends the bound is exact; rounding would otherwise leave 1e-18 there.
    low = 0.0 if successes == 0 else max(0.0, centre - half)
    high = 1.0 if successes == trials else min(1.0, centre + half)
    return low, high

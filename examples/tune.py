"""Choosing FuzzyExtractor parameters: how often does a probe unlock?

A probe whose sign bits each differ from the enrolled ones with probability p
(its bit error rate) releases the secret when at least a `prob_thresh` share of
the `n_lockers` lockers agree, a locker agreeing when none of its
`locker_size` sampled bits differs. This script puts that chance three ways,
for several parameter sets, and plots them against p:

- binomial approximation: each locker agrees with probability
  (1 - p) ** locker_size, and the agreeing lockers are counted as if they were
  independent, Binomial(n_lockers, (1 - p) ** locker_size);
- shared probe: the lockers all sample the same probe, so they are not
  independent. Given the number f of differing bits, a locker agrees with
  probability C(n_features - f, k) / C(n_features, k), independently of the
  other lockers; averaging over f ~ Binomial(n_features, p) gives the chance
  under independent bit errors. The binomial approximation is steeper: it
  ignores how much f varies from probe to probe;
- measured: the real extractor on random features, with each sign flipped
  with probability p.

Genuine probes sit at low p; an unrelated (impostor) feature differs in about
half of its bits, p = 0.5. Both models ignore the rare case of a wrong
candidate outvoting the secret.

    python examples/tune.py [--trials N] [--output docs/unlock-curves.png]

Needs matplotlib for the plot (pip install "orvex[plot]").
"""

import argparse
import math
import secrets
import sys
import time
from typing import Callable, List, NamedTuple, Optional, Sequence

import numpy as np

from orvex.evaluate.model import votes_needed
from orvex.fuzzy import FuzzyExtractor

N_FEATURES = 512
LN10 = math.log(10.0)


class Params(NamedTuple):
    n_lockers: int
    locker_size: int
    prob_thresh: float

    @property
    def label(self) -> str:
        return f"{self.n_lockers} lockers of {self.locker_size} bits, threshold {self.prob_thresh}"


PARAMETER_SETS = [
    Params(1024, 8, 0.2),  # the defaults
    Params(1024, 16, 0.05),  # longer lockers, lower threshold: about the same tolerance
    Params(1024, 4, 0.08),  # short lockers, low threshold: tolerant, but impostors get in
]


def log_binomial_pmf(n: int, q: float, j: int) -> float:
    """ln P(X = j) for X ~ Binomial(n, q)."""
    if q <= 0.0 or q >= 1.0:
        return 0.0 if j == (0 if q <= 0.0 else n) else -math.inf
    log_choose = math.lgamma(n + 1) - math.lgamma(j + 1) - math.lgamma(n - j + 1)
    return log_choose + j * math.log(q) + (n - j) * math.log1p(-q)


def log_sum_exp(values: Sequence[float]) -> float:
    top = max(values, default=-math.inf)
    if top == -math.inf:
        return top
    return top + math.log(sum(math.exp(v - top) for v in values))


def _monotone_sum(n: int, q: float, indices: range) -> float:
    """ln of the sum of the pmf over indices, whose terms shrink along the range.

    Stops once a term is e^-40 below the first: the rest cannot change a double.
    """
    terms: List[float] = []
    for j in indices:
        term = log_binomial_pmf(n, q, j)
        if terms and term < terms[0] - 40.0:
            break
        terms.append(term)
    return log_sum_exp(terms)


def log_binomial_tail(n: int, q: float, m: int) -> float:
    """ln P(X >= m) for X ~ Binomial(n, q), accurate far out in the tail."""
    if m <= 0:
        return 0.0
    if m > n:
        return -math.inf
    if m > n * q:  # the terms shrink from m upwards
        return _monotone_sum(n, q, range(m, n + 1))
    below = _monotone_sum(n, q, range(m - 1, -1, -1))  # they shrink from m - 1 downwards
    return math.log1p(-math.exp(below)) if below < 0.0 else -math.inf


def log_unlock_binomial(params: Params, p: float) -> float:
    """ln P(unlock) with independent lockers."""
    agree = (1.0 - p) ** params.locker_size
    needed = votes_needed(params.n_lockers, params.prob_thresh)
    return log_binomial_tail(params.n_lockers, agree, needed)


def log_unlock_shared(params: Params, p: float, n_features: int = N_FEATURES) -> float:
    """ln P(unlock) when all lockers sample one probe with independent bit errors."""
    k, needed = params.locker_size, votes_needed(params.n_lockers, params.prob_thresh)
    all_subsets = math.comb(n_features, k)
    terms = []
    for flipped in range(n_features + 1):
        weight = log_binomial_pmf(n_features, p, flipped)
        if weight == -math.inf:
            continue
        agree = math.comb(n_features - flipped, k) / all_subsets
        terms.append(weight + log_binomial_tail(params.n_lockers, agree, needed))
    return log_sum_exp(terms)


def measure(
    params: Params,
    error_rates: Sequence[float],
    trials: int,
    rng: np.random.Generator,
    n_features: int = N_FEATURES,
) -> List[float]:
    """The share of probes at each bit error rate that unlock with the real extractor."""
    extractor = FuzzyExtractor(params.n_lockers, params.locker_size)
    unlocked = [0] * len(error_rates)
    for _ in range(trials):
        feature = rng.standard_normal(n_features)
        secret = secrets.token_bytes(16)
        helper_data = extractor.lock_secret(feature, secret)
        for i, p in enumerate(error_rates):
            probe = np.where(rng.random(n_features) < p, -feature, feature)
            released, _ = extractor.unlock_secret(probe, helper_data, params.prob_thresh)
            unlocked[i] += released == secret
    return [count / trials for count in unlocked]


def plot(
    curves: Sequence[Params],
    model_rates: Sequence[float],
    measured_rates: Sequence[float],
    measured: Sequence[Sequence[float]],
    trials: int,
    output: str,
) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (linear, logarithmic) = plt.subplots(1, 2, figsize=(12, 5.4))
    for colour, params, shares in zip(("C0", "C1", "C2"), curves, measured):
        binomial = [math.exp(log_unlock_binomial(params, p)) for p in model_rates]
        shared = [math.exp(log_unlock_shared(params, p)) for p in model_rates]
        impostors = f"$10^{{{log_unlock_shared(params, 0.5) / LN10:.1f}}}$"
        label = f"{params.label}: impostors (p = 0.5) unlock with probability {impostors}"
        linear.plot([], [], color=colour, label=label)
        for axes in (linear, logarithmic):
            axes.plot(model_rates, shared, color=colour)
            axes.plot(model_rates, binomial, color=colour, linestyle="--", linewidth=1)
            axes.plot(measured_rates, shares, "o", color=colour, markersize=4)
    linear.set_ylabel("probability that the probe unlocks")
    linear.set_title("genuine probes: low bit error rate")
    logarithmic.set_yscale("log")
    logarithmic.set_ylim(1e-16, 2.0)
    logarithmic.set_title("impostors: bit error rate near 0.5 (log scale)")
    for axes in (linear, logarithmic):
        axes.set_xlabel("bit error rate p of the probe")
        axes.set_xlim(0.0, 0.5)
        axes.grid(alpha=0.3)
    linear.plot([], [], color="grey", label="model: lockers share one probe")
    linear.plot([], [], color="grey", linestyle="--", linewidth=1, label="binomial approximation")
    linear.plot([], [], "o", color="grey", markersize=4, label=f"measured, {trials} probes each")
    figure.legend(loc="lower center", ncol=2, fontsize=8, frameon=False)
    figure.suptitle(f"FuzzyExtractor: chance that a probe unlocks, {N_FEATURES} features")
    figure.tight_layout(rect=(0.0, 0.1, 1.0, 1.0))
    figure.savefig(output, dpi=100)
    print(f"saved {output}")


def half_way(log_unlock: Callable[[float], float]) -> float:
    """The bit error rate at which half of the probes unlock (bisection)."""
    low, high = 0.0, 0.5
    if log_unlock(high) > math.log(0.5):
        return high
    for _ in range(30):
        middle = (low + high) / 2
        low, high = (middle, high) if log_unlock(middle) > math.log(0.5) else (low, middle)
    return (low + high) / 2


def report(params: Params, measured_impostors: float) -> None:
    def shared(p: float) -> float:
        return log_unlock_shared(params, p)

    def binomial(p: float) -> float:
        return log_unlock_binomial(params, p)

    print(
        f"{params.label}:\n"
        f"  half of the probes unlock at p = {half_way(shared):.3f}"
        f" (binomial approximation: {half_way(binomial):.3f})\n"
        f"  genuine probe at p = 0.10 unlocks with probability {math.exp(shared(0.1)):.4f}\n"
        f"  impostor (p = 0.5) unlocks with probability 10^{shared(0.5) / LN10:.1f}"
        f" (binomial approximation: 10^{binomial(0.5) / LN10:.1f}; measured {measured_impostors})"
    )


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="How often a probe unlocks, by bit error rate.")
    parser.add_argument("--trials", type=int, default=20, help="probes per measured point")
    parser.add_argument("--output", default="docs/unlock-curves.png", help="where to save the plot")
    parser.add_argument("--no-plot", action="store_true", help="print the summary only")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(1)
    measured_rates = [i / 40 for i in range(21)]
    model_rates = [i / 200 for i in range(101)]
    start = time.perf_counter()
    measured = [measure(params, measured_rates, args.trials, rng) for params in PARAMETER_SETS]
    for params, shares in zip(PARAMETER_SETS, measured):
        report(params, shares[-1])
    if not args.no_plot:
        plot(PARAMETER_SETS, model_rates, measured_rates, measured, args.trials, args.output)
    print(f"took {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

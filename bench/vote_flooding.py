"""Unlocking a record whose lockers were written to collide in the vote table,
beside a record of random lockers of the same size.

    python bench/vote_flooding.py [N ...]   (locker counts, default 10000 40000)

With an all-negative probe every locker's pad is SHA-256("00000000"), so the
record's author chooses every candidate. The crafted candidates all share one
value of an unkeyed multiply-xor hash of their words (the vote table's hash
before it was keyed); both columns should stay close and grow linearly.
Each figure is the best of --rounds unlocks.
"""

import argparse
import hashlib
import os
import time

import numpy as np

from orvex.fuzzy import FuzzyExtractor


def colliding_candidates(n):
    m, a, b = 2**64, 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F
    w0 = lambda w1: ((0x1234 ^ (w1 * b % m)) * pow(a, -1, m)) % m  # noqa: E731
    return [w0(w1).to_bytes(8, "little") + w1.to_bytes(8, "little") for w1 in range(1, n + 1)]


def record(candidates):
    pad = hashlib.sha256(b"00000000").digest()[:16]
    lockers = [bytes(x ^ y for x, y in zip(c, pad)).hex() for c in candidates]
    return {"seed": "00000001", "lockers": lockers, "secret_hash": "0" * 64, "n_features": 8}


def best_time(extractor, rec, rounds):
    probe = -np.ones(8)
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        extractor.unlock_secret(probe, rec)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("counts", nargs="*", type=int, default=[10_000, 40_000])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(f"{'lockers':>8} {'crafted':>12} {'random':>12}")
    for n in args.counts:
        extractor = FuzzyExtractor(n, 8)
        crafted = best_time(extractor, record(colliding_candidates(n)), args.rounds)
        scattered = best_time(extractor, record([os.urandom(16) for _ in range(n)]), args.rounds)
        print(f"{n:>8} {crafted * 1e3:>9.1f} ms {scattered * 1e3:>9.1f} ms")


if __name__ == "__main__":
    main()

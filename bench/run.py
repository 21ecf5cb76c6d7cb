"""Times orvex against plain Python (bench/baseline.py) and bare library calls.

    python bench/run.py [--rounds N] [--only fuzzy|limiter|vault|redis ...]

Prints one table: operation, baseline, orvex, ratio (baseline / orvex) and
the difference, each time the median of the rounds' per-call averages.

The redis section (bench/redis_bench.py) has a table of its own: calls per
second and latency of the shared limiter against a private redis-server over
loopback TCP, beside the moving-window limiter of the `limits` package.
"""

import argparse
import itertools
import os
import platform
import statistics
import sys
import time
import types

import numpy as np
from Crypto.Cipher import AES

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import baseline  # noqa: E402
import redis_bench  # noqa: E402

import orvex  # noqa: E402
import orvex.fuzzy  # noqa: E402
import orvex.limiter  # noqa: E402
import orvex.vault  # noqa: E402


def mean_time(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def compare(theirs, ours, calls, rounds):
    """(baseline, orvex, orvex - baseline): medians over rounds of the mean
    time of one call, in seconds. The two alternate round by round and the
    difference is the median of each round's own difference, so that a change
    in the machine's load falls on both sides."""
    samples = []
    for _ in range(rounds):
        samples.append((mean_time(theirs, calls[0]), mean_time(ours, calls[1])))
    return (statistics.median(t for t, _ in samples), statistics.median(o for _, o in samples),
            statistics.median(o - t for t, o in samples))


# Fake clocks advance half a second per reading, so 40 keys in turn stay below
# the soft limit. The C-level one costs next to nothing, so the row measures
# the limiters themselves; the Python one adds the same cost of a Python call
# to both sides of each reading.
def counter_clock():
    return types.SimpleNamespace(time=itertools.count(1_000_000.0, 0.5).__next__)


class PythonClock:
    def __init__(self):
        self.now = 1_000_000.0

    def time(self):
        self.now += 0.5
        return self.now


def fuzzy_rows(rounds):
    rng = np.random.default_rng(7)
    feature = rng.standard_normal(512).astype(np.float32)
    probe = feature.copy()
    probe[rng.choice(512, size=16, replace=False)] *= -1
    secret = bytes(range(16))
    ours, theirs = orvex.fuzzy.FuzzyExtractor(), baseline.FuzzyExtractor()
    helper = ours.lock_secret(feature, secret)
    assert theirs.unlock_secret(probe, helper) == ours.unlock_secret(probe, helper)
    return [
        ("lock_secret (1024 lockers)",
         *compare(lambda: theirs.lock_secret(feature, secret),
                  lambda: ours.lock_secret(feature, secret), (5, 50), rounds)),
        ("unlock_secret (16 flipped)",
         *compare(lambda: theirs.unlock_secret(probe, helper),
                  lambda: ours.unlock_secret(probe, helper), (5, 50), rounds)),
    ]


def limiter_rows(rounds):
    keys = [f"10.0.0.{i}" for i in range(40)]
    stream = keys * 50

    def stream_through(module, make_clock):
        def run():
            module.time = make_clock()
            limiter = module.RateLimiter()
            for key in stream:
                limiter.check_and_record(key)

        return run

    rows = []
    saved = orvex.limiter.time, baseline.time
    try:
        for label, make_clock in (("C-level clock", counter_clock), ("Python clock", PythonClock)):
            times = compare(stream_through(baseline, make_clock),
                            stream_through(orvex.limiter, make_clock), (1, 1), rounds)
            rows.append((f"check_and_record (40 keys, {label})",
                         *(t / len(stream) for t in times)))
    finally:
        orvex.limiter.time, baseline.time = saved
    return rows


def bare_encrypt(key, array):
    cipher = AES.new(key, AES.MODE_GCM)
    ciphertext, tag = cipher.encrypt_and_digest(array.tobytes())
    return ciphertext.hex(), cipher.nonce.hex(), tag.hex()


def bare_decrypt(key, record):
    cipher = AES.new(key, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
    return cipher.decrypt_and_verify(
        bytes.fromhex(record["ciphertext"]), bytes.fromhex(record["tag"]))


def vault_rows(rounds):
    key = bytes(range(32))
    vault = orvex.vault.AESVault()
    rows = []
    for label, elements, calls in (("1 MiB", 1 << 18, 5), ("2 KiB", 512, 1000)):
        array = np.arange(elements, dtype=np.float32)
        record = vault.encrypt(key, array)
        rows.append((f"encrypt {label} (vs bare calls)",
                     *compare(lambda: bare_encrypt(key, array), lambda: vault.encrypt(key, array),
                              (calls, calls), rounds)))
        rows.append((f"decrypt {label} (vs bare calls)",
                     *compare(lambda: bare_decrypt(key, record),
                              lambda: vault.decrypt(key, record), (calls, calls), rounds)))
    return rows


SECTIONS = {"fuzzy": fuzzy_rows, "limiter": limiter_rows, "vault": vault_rows}


def fmt(seconds):
    return f"{seconds * 1e3:9.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:9.2f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", choices=sorted([*SECTIONS, "redis"]), action="append",
                        help="run only these sections (repeatable)")
    args = parser.parse_args()
    only = args.only or [*SECTIONS, "redis"]
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, "
          f"{platform.machine()}, {os.cpu_count()} cores, median of {args.rounds} rounds\n")
    rows = [row for name in only if name in SECTIONS for row in SECTIONS[name](args.rounds)]
    if rows:
        print(f"| {'operation':44} | {'baseline':>12} | {'orvex':>12} | {'ratio':>7} |"
              f" {'orvex - baseline':>16} |")
        print(f"|{'-' * 46}|{'-' * 14}|{'-' * 14}|{'-' * 9}|{'-' * 18}|")
    for name, theirs, ours, diff in rows:
        sign = "-" if diff < 0 else "+"
        print(f"| {name:44} | {fmt(theirs):>12} | {fmt(ours):>12} | {theirs / ours:6.2f}x |"
              f" {sign + fmt(abs(diff)).strip():>16} |")
    if "redis" in only:
        if rows:
            print()
        redis_bench.report(args.rounds)


if __name__ == "__main__":
    main()

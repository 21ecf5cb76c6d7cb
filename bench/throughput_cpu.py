"""CPU time of the lockers at 10^5, beside the draws of their positions.

    python bench/throughput_cpu.py [--rounds N] [SIZE ...]   (default sizes 32 43)

The same figures as bench/run.py's throughput rows, taken as this process's
CPU time (time.process_time) rather than wall-clock time, rounds alternating
between the four calls: on a machine that other jobs share, the waits for a
core do not count, so figures from different moments stay comparable. Needs
a build with -C cmake.define.ORVEX_TEST_HOOKS=ON (the positions-only draws
go through a private hook).
"""

import argparse
import statistics
import time

import numpy as np

import orvex.fuzzy

LOCKERS, FEATURES, CALLS = 10**5, 512, 3


def cpu_time(call):
    start = time.process_time()
    for _ in range(CALLS):
        call()
    return (time.process_time() - start) / CALLS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("sizes", type=int, nargs="*", default=[32, 43])
    args = parser.parse_args()
    draw = getattr(orvex.fuzzy, "_native_draw_lockers", None)
    if draw is None:
        raise SystemExit("needs a build with -C cmake.define.ORVEX_TEST_HOOKS=ON")
    feature = np.random.default_rng(7).standard_normal(FEATURES).astype(np.float32)
    probe = feature.copy()
    probe[:16] *= -1
    for size in args.sizes:
        extractor = orvex.fuzzy.FuzzyExtractor(LOCKERS, size)
        helper = extractor.lock_secret(feature, bytes(16))
        calls = {
            "positions (capsule)": lambda: draw(np.random.default_rng(1), FEATURES, size, LOCKERS,
                                                False),
            "positions (PCG64 inline)": lambda: draw(np.random.default_rng(1), FEATURES, size,
                                                     LOCKERS, True),
            "lock_secret": lambda: extractor.lock_secret(feature, bytes(16)),
            "unlock_secret": lambda: extractor.unlock_secret(probe, helper),
        }
        times = {name: [] for name in calls}
        for _ in range(args.rounds):
            for name, call in calls.items():
                times[name].append(cpu_time(call))
        floor = statistics.median(times["positions (capsule)"])
        for name, values in times.items():
            median = statistics.median(values)
            print(f"1e5 lockers x {size} bits  {name:<26} {median * 1e3:7.1f} ms CPU"
                  f"  ({median / floor:.2f}x positions through the capsule)")


if __name__ == "__main__":
    main()

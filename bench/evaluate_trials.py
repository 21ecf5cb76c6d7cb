"""Times the trials of python -m orvex.evaluate: 10^4 at the extractor's defaults.

    python bench/evaluate_trials.py [--rounds N] [--trials N]

Each trial set is 5000 enrolments (one lock_secret each) probed by one genuine
and one impostor sample (two unlock_secret calls), on a synthetic set of 120
people with 6 samples of 512 values. One thread and one per core alternate
round by round; the figures are medians of wall-clock and CPU seconds. Threads
help only as far as the extractor releases the interpreter lock.
"""

import argparse
import os
import statistics
import time

import numpy as np

from orvex.evaluate.data import prepare
from orvex.evaluate.trials import draw_pairs, run_trials


def synthetic(people=120, samples=6, dimensions=512, seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((people, dimensions))
    rates = rng.uniform(0.04, 0.10, size=people)
    labels = np.repeat(np.arange(people), samples)
    flips = rng.random((people * samples, dimensions)) < rates[labels, None]
    return np.where(flips, -centres[labels], centres[labels]), labels


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--trials", type=int, default=10_000)
    args = parser.parse_args()
    enrolments = args.trials // 2
    pairs = draw_pairs(prepare(*synthetic(), centre=False), 1, enrolments, seed=0)
    cores = os.cpu_count() or 1
    results = {1: [], cores: []}
    for _ in range(args.rounds):
        for workers in results:
            wall, cpu = time.perf_counter(), time.process_time()
            run_trials(pairs, enrolments, 1024, 8, seed=0, workers=workers)
            results[workers].append((time.perf_counter() - wall, time.process_time() - cpu))
    for workers, samples in results.items():
        print(
            f"{2 * enrolments} trials, 1024 lockers of 8 bits, {workers} thread(s): "
            f"{statistics.median(w for w, _ in samples):.2f} s wall, "
            f"{statistics.median(c for _, c in samples):.2f} s CPU"
        )


if __name__ == "__main__":
    main()

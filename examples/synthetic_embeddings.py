"""A synthetic set of face-like embeddings to try `python -m orvex.evaluate` on.

Each person gets a random 512-d centre; each of their samples is that centre
with every element's sign flipped with the person's own probability p (drawn
between --low and --high). Two samples of one person then differ in a share
2p(1 - p) of their sign bits, 8-18 % with the defaults; two people differ in
about half. Real face embeddings are harder: their genuine pairs differ in
17-23 % of their bits on average, and their impostors are correlated. Raise
--low and --high to see a hard set.

    python examples/synthetic_embeddings.py OUT_DIR [--people 120] [--samples 6]
    python -m orvex.evaluate OUT_DIR/embeddings.npy OUT_DIR/labels.npy
"""

import argparse
import os
import sys
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt


def make_set(
    people: int,
    samples: int,
    dimensions: int,
    low: float,
    high: float,
    seed: int,
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Embeddings (people * samples, dimensions), their labels and each person's flip rate."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((people, dimensions))
    rates = rng.uniform(low, high, size=people)
    labels = np.repeat(np.arange(people, dtype=np.int64), samples)
    flips = rng.random((people * samples, dimensions)) < rates[labels, None]
    embeddings = np.where(flips, -centres[labels], centres[labels]).astype(np.float32)
    return embeddings, labels, rates


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Write a synthetic embedding set.")
    parser.add_argument("out_dir", help="directory for embeddings.npy and labels.npy")
    parser.add_argument("--people", type=int, default=120)
    parser.add_argument("--samples", type=int, default=6, help="samples per person")
    parser.add_argument("--dimensions", type=int, default=512)
    parser.add_argument("--low", type=float, default=0.04, help="lowest per-person flip rate")
    parser.add_argument("--high", type=float, default=0.10, help="highest per-person flip rate")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)

    embeddings, labels, rates = make_set(
        args.people, args.samples, args.dimensions, args.low, args.high, args.seed
    )
    os.makedirs(args.out_dir, exist_ok=True)
    np.save(os.path.join(args.out_dir, "embeddings.npy"), embeddings)
    np.save(os.path.join(args.out_dir, "labels.npy"), labels)
    genuine = 2 * rates * (1 - rates)
    print(
        f"wrote {len(labels)} embeddings of {args.dimensions} values for {args.people} people to "
        f"{args.out_dir}; genuine pairs differ in {100 * genuine.min():.1f}-"
        f"{100 * genuine.max():.1f} % of their bits"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

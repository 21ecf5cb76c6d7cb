"""python -m orvex.evaluate EMBEDDINGS LABELS: measure the extractor, recommend parameters."""

import argparse
import dataclasses
import json
import sys
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .analysis import Settings, evaluate
from .data import InputError, load_embeddings, load_labels
from .progress import bar
from .report import text


def _set(value: str) -> Tuple[int, int]:
    try:
        lockers, bits = (int(part) for part in value.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LOCKERSxBITS such as 100000x32, got {value!r}") from None
    if lockers < 1 or bits < 1:
        raise argparse.ArgumentTypeError(f"both numbers must be at least 1, got {value!r}")
    return lockers, bits


def parser() -> argparse.ArgumentParser:
    defaults = Settings()
    p = argparse.ArgumentParser(
        prog="python -m orvex.evaluate",
        description="Measure FuzzyExtractor on your own embeddings and recommend n_lockers, "
        "locker_size and prob_thresh.",
    )
    p.add_argument("embeddings", help="(N, d) float array: .npy, or .npz (array 'embeddings')")
    p.add_argument("labels", help="N integer identities: .npy, .npz (array 'labels') or .csv")
    p.add_argument("--centre", "--center", action="store_true",
                   help="subtract the mean of each dimension before binarising")
    p.add_argument("--save-centre", metavar="PATH", help="save the subtracted mean as .npy")
    p.add_argument("--fuse", type=int, default=1, metavar="N",
                   help="enrol the mean of N samples of a person (default 1)")
    # Options that set a field of Settings of the same name, with its default.
    for flag, kind, text in (
        ("--target-far", float, "highest acceptable false accept rate (default 0.001)"),
        ("--min-work-bits", int, "smallest locker_size: opening a record offline costs 2^k "
         "SHA-256 pairs (default 32)"),
        ("--max-frr", float, "highest false reject rate counted as usable (default 0.5)"),
        ("--trials", int, "trials per measured setting, half genuine, half impostor "
         "(default 10000)"),
        ("--seed", int, "protocol seed (default 0)"),
        ("--max-lockers", int, "most lockers to consider (default 100000)"),
        ("--budget", float, "lockers evaluated per measured setting; caps the trials of large "
         "settings (default 2e7: 10^4 trials of 1024 lockers fit)"),
        ("--model-pairs", int, "protocol draws the model averages over (default 20000)"),
    ):
        default = getattr(defaults, flag[2:].replace("-", "_"))
        p.add_argument(flag, type=kind, default=default, help=text)
    p.add_argument("--measure", type=_set, action="append", default=[], metavar="LxK",
                   help="also run trials with L lockers of K bits (repeatable)")
    p.add_argument("--workers", type=int, default=0, help="threads for the trials (default: cores)")
    p.add_argument("--json", action="store_true", help="print the results as JSON")
    p.add_argument("--plot", metavar="DIR", help="save det.png and frr_vs_k.png (needs matplotlib)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    if args.save_centre and not args.centre:
        print("error: --save-centre needs --centre", file=sys.stderr)
        return 2
    # Every field of Settings is an option of the same name.
    settings = Settings(**{f.name: getattr(args, f.name) for f in dataclasses.fields(Settings)})
    try:
        embeddings = load_embeddings(args.embeddings)
        labels = load_labels(args.labels)
        result = evaluate(embeddings, labels, settings, None if args.quiet else bar)
    except InputError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    written: List[str] = []
    if args.save_centre and result.centre is not None:
        np.save(args.save_centre, result.centre)
    if args.plot:
        from .plot import save_plots

        try:
            written = save_plots(result, args.plot)
        except ImportError as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
    if args.json:
        json.dump(result.to_dict(), sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(text(result))
        for path in written:
            print(f"saved {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

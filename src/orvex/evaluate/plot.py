"""Pictures of an evaluation; needs matplotlib (pip install "orvex[plot]")."""

import os
from typing import TYPE_CHECKING, Any, List

import numpy as np

from .model import Model

if TYPE_CHECKING:
    from .analysis import Evaluation


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise ImportError('plots need matplotlib: pip install "orvex[plot]"') from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save_plots(ev: "Evaluation", directory: str) -> List[str]:
    """Write det.png (measured and modelled) and frr_vs_k.png; return their paths."""
    plt = _pyplot()
    os.makedirs(directory, exist_ok=True)
    model = Model(ev.n_features)
    target = ev.settings.target_far
    protocol = ev.protocols[0]

    figure, axes = plt.subplots(figsize=(6.4, 5.4))
    floor = 1e-6
    for colour, m in zip(("C0", "C1", "C2", "C3", "C4"), protocol.measured):
        far, frr = m.curve
        label = f"{m.n_lockers} lockers of {m.locker_size} bits"
        axes.plot(np.maximum(far[1:], floor), np.maximum(frr[1:], floor), "o", ms=2,
                  color=colour, label=f"{label}, measured")
        released, _ = model.curves(m.locker_size, m.n_lockers, protocol.histograms[1])
        _, refused = model.curves(m.locker_size, m.n_lockers, protocol.histograms[0])
        axes.plot(np.maximum(released[1:], floor), np.maximum(refused[1:], floor), color=colour,
                  label=f"{label}, model")
    axes.axvline(target, color="grey", linestyle=":", label="target FAR")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("false accept rate")
    axes.set_ylabel("false reject rate")
    axes.set_title("DET: every threshold of each measured setting")
    det = _save(plt, figure, axes, os.path.join(directory, "det.png"))

    figure, axes = plt.subplots(figsize=(6.4, 4.8))
    for n in sorted({c.n_lockers for c in protocol.candidates}):
        points = sorted(
            (c.locker_size, c.frr) for c in protocol.candidates if c.n_lockers == n and c.votes_needed
        )
        if points:
            ks, frrs = zip(*points)
            axes.plot(ks, frrs, marker=".", label=f"{n} lockers")
    axes.axvline(ev.settings.min_work_bits, color="grey", linestyle=":", label="min work bits")
    axes.set_xlabel("locker_size k")
    axes.set_ylabel(f"FRR at the lowest threshold with FAR <= {target:g} (model)")
    axes.set_ylim(0.0, 1.0)
    frr_k = _save(plt, figure, axes, os.path.join(directory, "frr_vs_k.png"))
    return [det, frr_k]


def _save(plt: Any, figure: Any, axes: Any, path: str) -> str:
    axes.grid(alpha=0.3)
    axes.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path

"""Measure the fuzzy extractor on your own embeddings and choose its parameters.

``evaluate(embeddings, labels)`` binarises (N, d) embeddings exactly as
``FuzzyExtractor`` does, describes their bits, runs genuine and impostor trials
with real ``lock_secret``/``unlock_secret`` calls, puts an exact model of the
vote beside the measurements, and recommends ``n_lockers``, ``locker_size`` and
``prob_thresh``. The command line does the same on files::

    python -m orvex.evaluate EMBEDDINGS.npy LABELS.npy [--centre] [--fuse N] [--json]
"""

from .analysis import (
    Balance,
    Candidate,
    Evaluation,
    Measured,
    Point,
    Protocol,
    Rate,
    Recommendation,
    Settings,
    evaluate,
)
from .data import InputError, binarize, load_embeddings, load_labels
from .model import agree_probability, votes_needed
from .report import text

__all__ = [
    "Balance",
    "Candidate",
    "Evaluation",
    "InputError",
    "Measured",
    "Point",
    "Protocol",
    "Rate",
    "Recommendation",
    "Settings",
    "agree_probability",
    "binarize",
    "evaluate",
    "load_embeddings",
    "load_labels",
    "text",
    "votes_needed",
]

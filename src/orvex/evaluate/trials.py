"""The trial protocol, and genuine and impostor trials with the real extractor.

Each draw of the protocol enrols one person and probes that enrolment twice:

- enrolment: a random sample of a person who has at least `fuse` + 1 samples;
  with fusion, `fuse` distinct samples of that person, averaged;
- genuine probe: another sample of the same person, not one of those enrolled;
- impostor probe: a random sample of any other person.

A trial locks a fresh random 16-byte secret under the enrolment once, then
unlocks it with each probe at threshold 0, keeping whether the secret came back
and the winning vote count: every higher threshold is then a comparison with
that count, so one unlock serves the whole threshold sweep.
"""

import json
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple

import numpy as np

from orvex.fuzzy import FuzzyExtractor

from .data import Dataset, InputError, binarize

SECRET_BYTES = 16
# Enrolments per task handed to a worker thread: enough to make the hand-off
# cheap, few enough to keep the progress bar moving.
_CHUNK = 16


@dataclass
class Pairs:
    """Protocol draws: rows enrolled (count, fuse), and each draw's two probes."""

    data: Dataset
    enrolled: np.ndarray
    genuine: np.ndarray
    impostor: np.ndarray

    def __len__(self) -> int:
        return len(self.genuine)

    @property
    def fuse(self) -> int:
        return int(self.enrolled.shape[1])

    def enrolment(self, i: int) -> np.ndarray:
        return np.asarray(self.data.embeddings[self.enrolled[i]].mean(axis=0))

    def differing(self, count: Optional[int] = None, chunk: int = 4096) -> Tuple[np.ndarray, np.ndarray]:
        """Differing bits of the first `count` draws: (genuine, impostor)."""
        count = len(self) if count is None else count
        genuine = np.empty(count, dtype=np.int64)
        impostor = np.empty(count, dtype=np.int64)
        for start in range(0, count, chunk):
            part = slice(start, min(start + chunk, count))
            enrolled = binarize(self.data.embeddings[self.enrolled[part]].mean(axis=1))
            genuine[part] = (enrolled != binarize(self.data.embeddings[self.genuine[part]])).sum(1)
            impostor[part] = (enrolled != binarize(self.data.embeddings[self.impostor[part]])).sum(1)
        return genuine, impostor


def eligible_identities(data: Dataset, fuse: int) -> List[np.ndarray]:
    return [rows for rows in data.members().values() if len(rows) >= fuse + 1]


def draw_pairs(data: Dataset, fuse: int, count: int, seed: int) -> Pairs:
    if fuse < 1:
        raise InputError(f"fuse must be at least 1, got {fuse}")
    groups = eligible_identities(data, fuse)
    if not groups:
        raise InputError(
            f"no identity has {fuse + 1} samples: a genuine trial needs "
            f"{'a' if fuse == 1 else fuse} enrolment sample{'s' if fuse > 1 else ''} "
            "and another sample of the same person to probe with"
        )
    rng = np.random.default_rng([seed, fuse])
    sizes = np.array([len(g) for g in groups], dtype=np.float64)
    # A person is enrolled as often as a uniformly drawn eligible sample is theirs.
    people = rng.choice(len(groups), size=count, p=sizes / sizes.sum())
    enrolled = np.empty((count, fuse), dtype=np.int64)
    genuine = np.empty(count, dtype=np.int64)
    for i, person in enumerate(people):
        picked = rng.choice(groups[person], size=fuse + 1, replace=False)
        enrolled[i], genuine[i] = picked[:fuse], picked[fuse]
    labels = data.labels
    impostor = rng.integers(0, len(labels), size=count)
    clash = labels[impostor] == labels[enrolled[:, 0]]
    while clash.any():
        impostor[clash] = rng.integers(0, len(labels), size=int(clash.sum()))
        clash = labels[impostor] == labels[enrolled[:, 0]]
    return Pairs(data, enrolled, genuine, impostor)


@dataclass
class TrialResult:
    n_lockers: int
    locker_size: int
    fuse: int
    genuine_released: np.ndarray  # bool: the secret came back at threshold 0
    genuine_votes: np.ndarray  # the winning candidate's votes
    genuine_differing: np.ndarray
    impostor_released: np.ndarray
    impostor_votes: np.ndarray
    impostor_differing: np.ndarray
    lock_seconds: np.ndarray  # per call
    unlock_seconds: np.ndarray
    wall_seconds: float
    record_bytes: int  # one helper-data record as JSON

    @property
    def trials(self) -> int:
        return len(self.genuine_votes) + len(self.impostor_votes)


Progress = Callable[[int], None]


def run_trials(
    pairs: Pairs,
    count: int,
    n_lockers: int,
    locker_size: int,
    seed: int,
    workers: int = 0,
    progress: Optional[Progress] = None,
) -> TrialResult:
    """Lock `count` enrolments and unlock each with its genuine and impostor probe.

    Calls run on a pool of threads (one per core unless `workers` says
    otherwise); they overlap as far as the extractor lets go of the interpreter
    lock. Results do not depend on the number of threads except through the
    extractor's own random locker seeds.
    """
    count = min(count, len(pairs))
    extractor = FuzzyExtractor(n_lockers, locker_size)
    data = pairs.data.embeddings
    released = np.zeros((2, count), dtype=bool)
    votes = np.zeros((2, count), dtype=np.int64)
    lock_seconds = np.zeros(count)
    unlock_seconds = np.zeros((2, count))
    record_bytes: List[int] = []
    done_lock = threading.Lock()
    secrets = np.random.default_rng([seed, n_lockers, locker_size]).bytes(SECRET_BYTES * count)

    def work(start: int, stop: int) -> None:
        for i in range(start, stop):
            secret = secrets[i * SECRET_BYTES : (i + 1) * SECRET_BYTES]
            enrolment = pairs.enrolment(i)
            begin = time.perf_counter()
            helper = extractor.lock_secret(enrolment, secret)
            lock_seconds[i] = time.perf_counter() - begin
            if i == 0:
                record_bytes.append(len(json.dumps(helper)))
            for side, probe in enumerate((pairs.genuine[i], pairs.impostor[i])):
                begin = time.perf_counter()
                out, stats = extractor.unlock_secret(data[probe], helper, 0.0)
                unlock_seconds[side, i] = time.perf_counter() - begin
                released[side, i] = out == secret
                votes[side, i] = round(stats["ratio"] * n_lockers)
        if progress is not None:
            with done_lock:
                progress(stop - start)

    begin = time.perf_counter()
    threads = workers if workers > 0 else (os.cpu_count() or 1)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        futures = [
            pool.submit(work, start, min(start + _CHUNK, count)) for start in range(0, count, _CHUNK)
        ]
        for future in futures:
            future.result()
    wall = time.perf_counter() - begin
    genuine_d, impostor_d = pairs.differing(count)
    return TrialResult(
        n_lockers=n_lockers,
        locker_size=locker_size,
        fuse=pairs.fuse,
        genuine_released=released[0],
        genuine_votes=votes[0],
        genuine_differing=genuine_d,
        impostor_released=released[1],
        impostor_votes=votes[1],
        impostor_differing=impostor_d,
        lock_seconds=lock_seconds,
        unlock_seconds=unlock_seconds.ravel(),
        wall_seconds=wall,
        record_bytes=record_bytes[0] if record_bytes else 0,
    )


def record_bytes(n_lockers: int, n_features: int, secret_bytes: int = SECRET_BYTES) -> int:
    """Size of a helper-data record as JSON (json.dumps with default separators)."""
    empty = json.dumps({"seed": "0" * 8, "lockers": [], "secret_hash": "0" * 64, "n_features": n_features})
    # Each locker: its quoted hex text, and ", " between neighbours.
    return len(empty) + n_lockers * (2 * secret_bytes + 2) + 2 * (n_lockers - 1)

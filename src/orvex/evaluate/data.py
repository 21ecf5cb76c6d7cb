"""Reading embeddings and labels, and turning embeddings into the extractor's bits."""

import csv
import os
from dataclasses import dataclass
from typing import Dict, List, Optional

import numpy as np


class InputError(ValueError):
    """The embeddings or labels cannot be evaluated; the message says why."""


def _load_array(path: str, key: str) -> np.ndarray:
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".npy":
        return np.asarray(np.load(path, allow_pickle=False))
    if suffix == ".npz":
        with np.load(path, allow_pickle=False) as archive:
            names = list(archive.files)
            if key in names:
                return np.asarray(archive[key])
            if len(names) == 1:
                return np.asarray(archive[names[0]])
            raise InputError(
                f"{path}: holds {', '.join(names) or 'no arrays'}; name the array '{key}'"
            )
    raise InputError(f"{path}: expected a .npy or .npz file")


def load_embeddings(path: str) -> np.ndarray:
    """An (N, d) array from .npy, or .npz (array 'embeddings', or its only array)."""
    return _load_array(path, "embeddings")


def load_labels(path: str) -> np.ndarray:
    """N labels from .npy, .npz (array 'labels', or its only array) or .csv.

    A CSV file holds one label per row in its first column; a first row that is
    not a whole number is taken as a header.
    """
    if os.path.splitext(path)[1].lower() != ".csv":
        return _load_array(path, "labels")
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    with open(path, newline="", encoding="utf-8") as handle:
        rows = [row for row in csv.reader(handle) if row and row[0].strip()]
    values: List[int] = []
    for number, row in enumerate(rows, start=1):
        text = row[0].strip()
        try:
            values.append(int(text))
        except ValueError:
            if number == 1:
                continue
            raise InputError(f"{path}, row {number}: label {text!r} is not a whole number") from None
    return np.array(values, dtype=np.int64)


def check_embeddings(embeddings: object) -> np.ndarray:
    array = np.asarray(embeddings)
    if array.ndim != 2:
        raise InputError(f"embeddings must be an (N, d) array, got shape {array.shape}")
    if array.shape[0] < 2 or array.shape[1] < 1:
        raise InputError(f"embeddings must hold at least 2 rows of at least 1 value, got {array.shape}")
    if array.dtype.kind not in "biuf":
        raise InputError(f"embeddings must be numbers, got dtype {array.dtype}")
    values = array.astype(np.float64)
    bad = ~np.isfinite(values)
    if bad.any():
        row, column = (int(i) for i in np.argwhere(bad)[0])
        raise InputError(
            f"embeddings hold {int(bad.sum())} NaN or infinite values (first at row {row}, "
            f"column {column})"
        )
    return values


def check_labels(labels: object, n_rows: int) -> np.ndarray:
    array = np.asarray(labels)
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim != 1:
        raise InputError(f"labels must be a 1-d array of N identities, got shape {array.shape}")
    if len(array) != n_rows:
        raise InputError(f"{len(array)} labels for {n_rows} embeddings: need one label per row")
    if array.dtype.kind == "f":
        if not np.all(np.isfinite(array)) or np.any(array != np.round(array)):
            raise InputError("labels must be whole numbers")
        array = array.astype(np.int64)
    if array.dtype.kind not in "biu":
        raise InputError(f"labels must be integers, got dtype {array.dtype}")
    identities = np.unique(array)
    if len(identities) < 2:
        raise InputError(
            f"labels name {len(identities)} identity: at least two are needed to measure impostors"
        )
    return array.astype(np.int64)


def binarize(embeddings: np.ndarray) -> np.ndarray:
    """The extractor's bits: 1 where an element is greater than zero (NaN gives 0)."""
    return np.asarray(embeddings > 0, dtype=np.uint8)


@dataclass
class Dataset:
    embeddings: np.ndarray  # (N, d), float64, centred when asked
    labels: np.ndarray  # (N,), int64
    centre: Optional[np.ndarray]  # what was subtracted, or None

    @property
    def n_features(self) -> int:
        return int(self.embeddings.shape[1])

    def members(self) -> Dict[int, np.ndarray]:
        """Row indices of each identity."""
        order = np.argsort(self.labels, kind="stable")
        identities, starts = np.unique(self.labels[order], return_index=True)
        groups = np.split(order, starts[1:])
        return {int(i): g for i, g in zip(identities, groups)}


def prepare(embeddings: object, labels: object, centre: bool) -> Dataset:
    values = check_embeddings(embeddings)
    ids = check_labels(labels, values.shape[0])
    if not centre:
        return Dataset(values, ids, None)
    mean = values.mean(axis=0)
    return Dataset(values - mean, ids, mean)

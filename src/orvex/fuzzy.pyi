# Types of the native module orvex.fuzzy. Names imported "as" themselves are
# module attributes at run time too (the module looks them up when it runs).
import hashlib as hashlib
import logging as logging
import secrets as secrets
from collections import Counter as Counter
from typing import Any, Optional as Optional, Tuple as Tuple, Union as Union

import numpy as np
import numpy.typing as npt

# torch is optional: where it is missing, tensors type-check as Any.
import torch  # type: ignore[import-not-found, unused-ignore]
from typing_extensions import TypeAlias

logger: logging.Logger

DEFAULT_N_LOCKERS: int
DEFAULT_LOCKER_SIZE: int
DEFAULT_PROB_THRESH: float

FeatureInput: TypeAlias = Union[torch.Tensor, np.ndarray[Any, Any]]

def _to_numpy(feature: FeatureInput) -> npt.NDArray[Any]: ...

class FuzzyExtractor:
    n_lockers: int
    locker_size: int
    def __init__(self, n_lockers: int = 1024, locker_size: int = 8) -> None: ...
    def _binarize(self, feature: FeatureInput) -> list[int]: ...
    # Helper data: {"seed": str, "lockers": list[str], "secret_hash": str, "n_features": int},
    # stored by the caller (often as JSON), hence a plain dict.
    def lock_secret(self, feature: FeatureInput, secret_payload: bytes) -> dict[str, Any]: ...
    def unlock_secret(
        self, feature: FeatureInput, helper_data: dict[str, Any], prob_thresh: float = 0.2
    ) -> tuple[Optional[bytes], dict[str, float]]: ...

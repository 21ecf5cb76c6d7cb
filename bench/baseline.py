"""The same behaviour written as plain Python, as a user without orvex would.

The classes are the test suite's oracle, tests/reference.py, with the clock,
logger and random source bound the way orvex's modules bind them; the
benchmark runs them side by side with orvex. A yardstick, not part of the
package.
"""

import importlib.util
import logging
import os
import secrets
import time

import numpy as np

_REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "reference.py")
_spec = importlib.util.spec_from_file_location("reference", _REFERENCE)
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)

logger = logging.getLogger("bench.baseline")


to_numpy = reference.to_numpy


class FuzzyExtractor:
    def __init__(self, n_lockers=1024, locker_size=8):
        self.n_lockers, self.locker_size = reference.fuzzy_init(n_lockers, locker_size)

    def _binarize(self, feature):
        return reference.binarize(feature)

    def lock_secret(self, feature, secret_payload):
        return reference.lock_secret(self.n_lockers, self.locker_size, feature, secret_payload,
                                     secrets.token_bytes)

    def unlock_secret(self, feature, helper_data, prob_thresh=0.2):
        return reference.unlock_secret(self.n_lockers, self.locker_size, feature, helper_data,
                                       prob_thresh)


class RateLimiter(reference.RateLimiter):
    """Reads this module's `time` when made, so that a benchmark can swap the clock."""

    def __init__(self, soft_limit=5, hard_limit=10, window_seconds=60, suspend_callback=None):
        super().__init__(time, logger, soft_limit, hard_limit, window_seconds, suspend_callback)

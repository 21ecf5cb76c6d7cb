"""Eight threads sharing one extractor, one vault and one limiter.

The interpreter switches threads often (a tiny switch interval), so calls
interleave wherever orvex runs Python code: imports, hashing, NumPy, the
cipher, callbacks, the logger. Every call must still give what it gives in a
single thread: lock/unlock and encrypt/decrypt pairs round-trip, each thread's
own limiter key follows the plain-Python account of its events, and nothing
raises that the same call alone would not.

ORVEX_STRESS_SECONDS sets how long the threads run (default 2)."""
import os
import random
import sys
import time

import numpy as np
import pytest

import orvex.limiter as limiter
import orvex.vault as vault
import reference
from conftest import run_threads
from orvex.fuzzy import FuzzyExtractor
from orvex.limiter import RateLimiter
from orvex.vault import AESVault

SECONDS = float(os.environ.get("ORVEX_STRESS_SECONDS", "2"))
THREADS = 8


class Log:
    """A logger that keeps count; list.append is atomic under the GIL."""

    def __init__(self):
        self.lines = []

    def warning(self, line):
        self.lines.append(line)

    error = info = warning


class Shared:
    def __init__(self):
        self.extractor = FuzzyExtractor(32, 8)
        self.vault = AESVault()
        self.limiter = RateLimiter(2, 5, 3600, suspend_callback=self.on_suspend)
        self.callbacks = 0

    def on_suspend(self, key):
        # Re-enters the limiter from inside check_and_record, on the thread
        # that hit the limit, while others run on.
        self.callbacks += 1
        self.limiter.get_count(key)
        self.limiter.is_suspended(key)


def fuzzy_round(shared, rnd):
    feature = rnd.standard_normal(int(rnd.integers(8, 64)))
    secret = rnd.bytes(int(rnd.integers(1, 33)))
    record = shared.extractor.lock_secret(feature, secret)
    assert shared.extractor.unlock_secret(feature, record) == (secret, {"ratio": 1.0})
    with pytest.raises(KeyError):
        shared.extractor.unlock_secret(feature, {"seed": record["seed"]})


def vault_round(shared, rnd):
    key = rnd.bytes(int(rnd.choice([16, 24, 32])))
    array = rnd.standard_normal(tuple(int(n) for n in rnd.integers(0, 5, size=2)))
    array = array.astype(rnd.choice(["<f8", ">f4", "<i2", "u1"]))
    back = shared.vault.decrypt(key, shared.vault.encrypt(key, array))
    assert (back.dtype, back.shape, back.tobytes()) == (array.dtype, array.shape, array.tobytes())
    payload = rnd.bytes(int(rnd.integers(0, 100)))
    record = shared.vault.encrypt(key, payload)
    assert shared.vault.decrypt(key, record) == payload
    with pytest.raises(ValueError, match="^Decryption failed: "):
        shared.vault.decrypt(key, dict(record, tag="00" * 16))


def limiter_round(shared, rnd, own_key, model):
    # This thread's own key: only it (and the callback it triggers) touches it.
    for _ in range(int(rnd.integers(1, 8))):
        assert shared.limiter.check_and_record(own_key) == model.check_and_record(own_key)
    if rnd.random() < 0.3:
        shared.limiter.reinstate(own_key)
        model.reinstate(own_key)
    assert shared.limiter.get_count(own_key) == model.get_count(own_key)
    assert shared.limiter.is_suspended(own_key) == model.is_suspended(own_key)
    # Keys every thread shares: any outcome, but never an exception.
    common = str(rnd.integers(0, 3))
    operation = rnd.choice(["check_and_record", "get_count", "reinstate", "reset", "_clean"])
    getattr(shared.limiter, operation)(common)
    with pytest.raises(TypeError):
        shared.limiter.check_and_record(b"bytes key")


class ModelClock:
    def time(self):
        return time.time()


def worker(shared, index, deadline, done):
    rnd = np.random.default_rng(index)
    own_key = f"thread-{index}"
    model = reference.RateLimiter(ModelClock(), Log(), 2, 5, 3600,
                                  suspend_callback=lambda key: None)
    done[index] = 0
    while time.monotonic() < deadline:
        fuzzy_round(shared, rnd)
        vault_round(shared, rnd)
        limiter_round(shared, rnd, own_key, model)
        done[index] += 1


def test_threads_sharing_one_of_each(monkeypatch):
    monkeypatch.setattr(limiter, "logger", Log())
    monkeypatch.setattr(vault, "logger", Log())
    # No torch: every feature conversion tries to import it, and a failed
    # import is an interleaving point that costs no CPU to speak of.
    monkeypatch.setitem(sys.modules, "torch", None)
    shared, done = Shared(), {}
    failures = run_threads(lambda i, deadline: worker(shared, i, deadline, done), THREADS, SECONDS)
    assert not failures, (failures, done)
    assert all(done[i] > 0 for i in range(THREADS)), done
    assert shared.callbacks > 0
    lim = shared.limiter
    # No lock spans prune, count and append, so shared keys may overshoot the
    # hard limit (the soft-limit log in between is Python code); lists stay lists.
    assert all(type(v) is list for v in lim._history.values())
    assert lim._suspended <= set(lim._history)

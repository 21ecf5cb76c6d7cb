"""Reference leaks: every public method of the three classes, on success and
on each way it can fail (binding errors included), called many times in
rounds. A leak shows as memory that grows in every round, or as a reference
count of an argument that keeps rising.

ORVEX_LEAK_CALLS sets the calls of each case per round (default 200).
Under PYTHONMALLOC=malloc the interpreter counts no blocks; tracemalloc
measures instead."""
import collections
import ctypes
import os
import sys
import types

import numpy as np
import pytest

import orvex.fuzzy as fuzzy
import orvex.limiter as limiter
import orvex.vault as vault
from orvex.fuzzy import FuzzyExtractor
from orvex.limiter import RateLimiter
from conftest import assert_no_leaks, leak_report
from orvex.vault import AESVault

CALLS = int(os.environ.get("ORVEX_LEAK_CALLS", "200"))
KEY = bytes(range(32))


class Case:
    """One call and what it must raise (None: it must succeed)."""

    def __init__(self, raises, function, *args, **kwargs):
        self.raises, self.function, self.args, self.kwargs = raises, function, args, kwargs

    def check(self):
        if self.raises is None:
            self.function(*self.args, **self.kwargs)
        else:
            with pytest.raises(self.raises):
                self.function(*self.args, **self.kwargs)

    def run(self):
        try:
            self.function(*self.args, **self.kwargs)
        except (Exception, Stop):
            pass

    def watched(self):
        """The arguments whose reference counts only a leak changes: not the
        shared small ints, strings and singletons, nor classes."""
        shared = (int, float, complex, bool, str, type(None))
        owner = getattr(self.function, "__self__", None)
        return [o for o in (self.function, owner, *self.args, *self.kwargs.values())
                if not isinstance(o, shared) and not isinstance(o, type)]


class Stop(BaseException):
    pass


def stop(*args):
    raise Stop()


def boom(*args):
    raise ValueError("boom")


class Str(str):
    pass


class Bytes(bytes):
    pass


class Logger:
    """Drops log lines, or fails on them while `loud` is set."""
    loud = False

    def _line(self, line):
        if Logger.loud:
            raise RuntimeError(line)

    warning = error = info = _line


def loudly(function, *args):
    """function(*args) with a logger that fails."""
    Logger.loud = True
    try:
        return function(*args)
    finally:
        Logger.loud = False


class Clock:
    """Moves past any window at every reading: histories stay short."""

    def __init__(self):
        self.now = 0.0

    def time(self):
        self.now += 1000.0
        return self.now


# --- fuzzy ------------------------------------------------------------------------

def fuzzy_cases():
    fe = FuzzyExtractor(6, 4)
    feature = np.linspace(-1, 1, 12)
    secret = bytes(range(16))
    record = fe.lock_secret(feature, secret)
    flipped = -feature
    hashless = {k: v for k, v in record.items() if k != "secret_hash"}
    unsized = FuzzyExtractor(6, 4)
    unsized.n_lockers = 0
    big = FuzzyExtractor(6, 40)
    init, lock, unlock = FuzzyExtractor, fe.lock_secret, fe.unlock_secret
    return {
        "FuzzyExtractor.__init__": [
            Case(None, init, 4, 2), Case(None, init, 2.9, True), Case(TypeError, init, None),
            Case(TypeError, init, 4, "x"), Case(ValueError, init, 0), Case(ValueError, init, 4, 0),
            Case(OverflowError, init, float("inf")), Case(ValueError, init, float("nan")),
            Case(TypeError, init, 1, 2, 3), Case(TypeError, init, bogus=1),
            Case(TypeError, init, 4, n_lockers=4),
        ],
        "_to_numpy": [
            Case(None, fuzzy._to_numpy, feature), Case(None, fuzzy._to_numpy, np.array(2.0)),
            Case(TypeError, fuzzy._to_numpy, [1.0]), Case(TypeError, fuzzy._to_numpy),
            Case(TypeError, fuzzy._to_numpy, feature, x=1),
        ],
        "FuzzyExtractor._binarize": [
            Case(None, fe._binarize, feature), Case(TypeError, fe._binarize, None),
            Case(TypeError, fe._binarize, np.array([None, 1.0], dtype=object)),
            Case(TypeError, fe._binarize), Case(TypeError, fe._binarize, feature, 1),
        ],
        "FuzzyExtractor.lock_secret": [
            Case(None, lock, feature, secret), Case(None, lock, feature, b"\x01"),
            Case(TypeError, lock, feature, "text"), Case(TypeError, lock, feature, Bytes(secret)),
            Case(TypeError, lock, feature, bytearray(secret)), Case(ValueError, lock, feature, b""),
            Case(ValueError, lock, feature, bytes(33)), Case(TypeError, lock, [1.0] * 12, secret),
            Case(ValueError, lock, feature[:3], secret),
            Case(ValueError, unsized.lock_secret, feature, secret),
            Case(TypeError, lock, feature), Case(TypeError, lock, feature, secret, extra=1),
        ],
        "FuzzyExtractor.unlock_secret": [
            Case(None, unlock, feature, record), Case(None, unlock, flipped, record),
            Case(None, unlock, feature, dict(record, lockers=[])),
            Case(None, unlock, feature, dict(record, secret_hash="00")),
            Case(TypeError, unlock, feature, record, "x"),
            Case(TypeError, unlock, feature, [record]),
            Case(TypeError, unlock, feature, collections.OrderedDict(record)),
            Case(KeyError, unlock, feature, {}),
            Case(KeyError, unlock, feature, {"seed": "00"}),
            Case(KeyError, unlock, feature, {"seed": "00", "lockers": []}),
            Case(KeyError, unlock, feature, hashless),
            Case(ValueError, unlock, feature, dict(record, seed="xyz")),
            Case(TypeError, unlock, feature, dict(record, seed=None)),
            Case(TypeError, unlock, feature, dict(record, lockers=5)),
            Case(ValueError, unlock, feature, dict(record, lockers=["zz"])),
            Case(ValueError, big.unlock_secret, feature, record),
            Case(IndexError, unlock, feature[:2], record),
            Case(TypeError, unlock, feature), Case(TypeError, unlock, feature, record, 0.2, 1),
        ],
    }


# --- limiter ----------------------------------------------------------------------

class CleanFails(RateLimiter):
    def _clean(self, key):
        raise LookupError(key)


class Truthless:
    def __bool__(self):
        raise ValueError("no truth")


def limiter_cases():
    lim = RateLimiter(1, 2, 60)
    suspended = RateLimiter(0, 0)
    suspended.check_and_record("s")
    soft = RateLimiter(0, 10**9)
    hard = {name: RateLimiter(0, 0, suspend_callback=cb)
            for name, cb in [("calls", len), ("raises", boom), ("stops", stop),
                             ("not callable", 5)]}
    windowless = RateLimiter()
    windowless.window_seconds = "x"
    short = RateLimiter()
    short.window_seconds = 0.5

    def hard_again(lim, key):
        lim._suspended.discard(key)
        return lim.check_and_record(key)

    init, check = RateLimiter, lim.check_and_record
    return {
        "RateLimiter.__init__": [
            Case(None, init), Case(None, init, 2.5, 3.9, 1.5, print),
            Case(ValueError, init, 2.5, 3.9, 0.5, print),
            Case(TypeError, init, "5"), Case(TypeError, init, 1, None),
            Case(TypeError, init, 1, 2, []), Case(ValueError, init, 3, 2),
            Case(OverflowError, init, float("inf")), Case(ValueError, init, float("nan")),
            Case(TypeError, init, 1j), Case(TypeError, init, 1, 2, 3, 4, 5),
            Case(TypeError, init, limit=1), Case(TypeError, init, 1, soft_limit=1),
        ],
        "RateLimiter.check_and_record": [
            Case(None, check, "a"), Case(None, check, "a", True), Case(None, check, "a", [1]),
            Case(None, suspended.check_and_record, "s"), Case(None, soft.check_and_record, "a"),
            *(Case(None, hard_again, hard[name], "k") for name in ("calls", "raises",
                                                                   "not callable")),
            Case(Stop, hard_again, hard["stops"], "k"),
            Case(RuntimeError, loudly, hard_again, hard["calls"], "k"),
            Case(RuntimeError, loudly, hard_again, hard["raises"], "k"),
            Case(RuntimeError, loudly, soft.check_and_record, "a"),
            Case(LookupError, CleanFails().check_and_record, "a"),
            Case(TypeError, windowless.check_and_record, "a"),
            Case(ValueError, short.check_and_record, "a"),
            Case(TypeError, check, 5), Case(TypeError, check, Str("a")),
            Case(ValueError, check, "a", Truthless()),
            Case(TypeError, check), Case(TypeError, check, "a", False, 1),
            Case(TypeError, check, "a", key="a"),
        ],
        "RateLimiter.get_count": [
            Case(None, lim.get_count, "a"), Case(None, lim.get_count, key="new"),
            Case(TypeError, lim.get_count, b"a"), Case(TypeError, windowless.get_count, "a"),
            Case(TypeError, lim.get_count), Case(TypeError, lim.get_count, "a", 1),
        ],
        "RateLimiter._clean": [
            Case(None, lim._clean, "a"), Case(TypeError, lim._clean, None),
            Case(TypeError, windowless._clean, "a"), Case(TypeError, lim._clean, "a", k=1),
        ],
        "RateLimiter.is_suspended": [
            Case(None, suspended.is_suspended, "s"), Case(None, lim.is_suspended, "a"),
            Case(TypeError, lim.is_suspended, 1.5), Case(TypeError, lim.is_suspended),
        ],
        "RateLimiter.reinstate": [
            Case(None, lim.reinstate, "a"), Case(None, lim.reinstate, "never"),
            Case(RuntimeError, loudly, lim.reinstate, "a"), Case(TypeError, lim.reinstate, None),
            Case(TypeError, lim.reinstate, "a", "b"),
        ],
        "RateLimiter.reset": [
            Case(None, lim.reset, "a"), Case(None, suspended.reset, "s"),
            Case(TypeError, lim.reset, Str("a")), Case(TypeError, lim.reset, key="a", x=1),
        ],
    }


# --- vault ------------------------------------------------------------------------

_VECTORCALL_METHOD = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
    ctypes.py_object)(("PyObject_VectorcallMethod", ctypes.pythonapi))


def keywords_not_strings(name, args):
    """self.name(*args) as a C caller may make it, the last argument under the
    keyword name 1: only C callers can pass such a name."""
    return _VECTORCALL_METHOD(name, (ctypes.py_object * len(args))(*args), len(args) - 1, (1,))


def vault_cases():
    v = AESVault()
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    record = v.encrypt(KEY, array)
    raw = v.encrypt(KEY, b"payload")
    enc, dec = v.encrypt, v.decrypt
    missing = {k: v for k, v in raw.items() if k != "nonce"}
    return {
        "AESVault.encrypt": [
            Case(None, AESVault), Case(None, enc, KEY, array), Case(None, enc, KEY, b"x"),
            Case(None, enc, KEY[:16], Bytes(b"x")), Case(None, enc, KEY, np.array(1.5)),
            Case(TypeError, enc, "key", b"x"), Case(TypeError, enc, Bytes(KEY), b"x"),
            Case(TypeError, enc, KEY, bytearray(b"x")), Case(ValueError, enc, KEY[:20], b"x"),
            Case(TypeError, enc, KEY, np.array([1, None], dtype=object)),
            Case(TypeError, enc, KEY, np.zeros(3, "V")),
            Case(TypeError, enc, KEY, np.zeros(2, np.dtype([("a", "u1"), ("b", "f8")],
                                                          align=True))),
            Case(TypeError, enc, KEY), Case(TypeError, enc, KEY, b"x", extra=1),
            Case(TypeError, AESVault, 1),
        ],
        "AESVault.decrypt": [
            Case(None, dec, KEY, record), Case(None, dec, KEY, raw),
            Case(TypeError, dec, "key", raw), Case(TypeError, dec, KEY, [raw]),
            Case(TypeError, dec, KEY, collections.OrderedDict(raw)),
            Case(ValueError, dec, KEY, missing), Case(ValueError, dec, KEY, dict(raw, tag="zz")),
            Case(ValueError, dec, KEY, dict(raw, tag="00" * 16)),
            Case(ValueError, dec, KEY[:20], raw), Case(ValueError, dec, bytes(32), raw),
            Case(ValueError, dec, KEY, dict(record, shape=[7])),
            Case(ValueError, dec, KEY, dict(record, dtype="float64", shape=[5])),
            Case(TypeError, dec, KEY, dict(record, dtype=5)),
            Case(TypeError, dec, KEY, dict(record, shape=5)),
            Case(TypeError, dec, KEY, dict(raw, ciphertext=None)),
            Case(RuntimeError, loudly, dec, KEY, dict(raw, tag="zz")),
            Case(TypeError, dec, KEY), Case(TypeError, dec, KEY, raw, record=raw),
            Case(TypeError, keywords_not_strings, "decrypt", (v, KEY, raw)),
        ],
    }


@pytest.fixture
def quiet(monkeypatch):
    """A logger that drops lines, a clock that empties every window, and no
    torch: its failed import goes through every finder on sys.meta_path, and
    their caches churn enough to hide a small leak."""
    monkeypatch.setitem(sys.modules, "torch", None)
    for module in (limiter, vault):
        monkeypatch.setattr(module, "logger", Logger())
    monkeypatch.setattr(limiter, "time", Clock())


GROUPS = ["FuzzyExtractor.__init__", "_to_numpy", "FuzzyExtractor._binarize",
          "FuzzyExtractor.lock_secret", "FuzzyExtractor.unlock_secret", "RateLimiter.__init__",
          "RateLimiter.check_and_record", "RateLimiter.get_count", "RateLimiter._clean",
          "RateLimiter.is_suspended", "RateLimiter.reinstate", "RateLimiter.reset",
          "AESVault.encrypt", "AESVault.decrypt"]


@pytest.mark.parametrize("group", GROUPS)
def test_no_leaks(quiet, group):
    cases = {**fuzzy_cases(), **limiter_cases(), **vault_cases()}[group]
    for case in cases:
        case.check()  # each case takes the path it is named for
    watched = [o for case in cases for o in case.watched()]

    def run_round():
        for case in cases:
            for _ in range(CALLS):
                case.run()

    assert_no_leaks(run_round, watched, CALLS, group)


_INCREF = ctypes.pythonapi.Py_IncRef
_INCREF.argtypes = [ctypes.py_object]


class Held:
    pass


def test_the_check_sees_a_leak(quiet):
    """A check that goes blind passes everything: one lost reference per call,
    and one lost object per call, must each be seen on this interpreter."""
    held = Held()

    def lose_references():
        for _ in range(CALLS):
            _INCREF(held)

    def lose_objects():
        for _ in range(CALLS):
            _INCREF([])

    assert leak_report(lose_references, [held], CALLS) == (None, [repr(held)[:60]])
    growth, gained = leak_report(lose_objects, [held], CALLS)
    assert growth is not None and not gained

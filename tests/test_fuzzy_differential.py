"""The native lock and unlock loops against the literal ones.

Replacing the module's `np` by a proxy that delegates to NumPy forces the
literal loops; every comparison runs a call both ways and wants the same
record, the same unlock result, or the same exception.
"""

import builtins
import collections
import contextlib
import hashlib
import heapq
import operator
import os
import sys
import types

import numpy as np
import numpy.random.bit_generator as bit_generator
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvex.fuzzy as fuzzy
from orvex.fuzzy import FuzzyExtractor

from conftest import hook_or_skip  # noqa: E402

SETTINGS = settings(max_examples=40, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class NumpyProxy(types.ModuleType):
    def __getattr__(self, name):
        return getattr(np, name)


@contextlib.contextmanager
def replaced(owner, name, value):
    saved = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, saved)


def literal():
    return replaced(fuzzy, "np", NumpyProxy("numpy"))


def fixed_seed(seed):
    return replaced(fuzzy, "secrets", types.SimpleNamespace(token_bytes=lambda n: seed))


def outcome(call):
    try:
        return call()
    except Exception as error:  # the literal loop must raise the same
        return type(error), str(error)


def both(call):
    """call() natively and literally: the same outcome, returned."""
    native = outcome(call)
    with literal():
        assert outcome(call) == native
    return native


LIBRARY_FILES = (os.path.dirname(np.__file__), collections.__file__, heapq.__file__)


def library_calls(call):
    """How many Python functions of NumPy, collections and heapq ran in call():
    the literal loops run NumPy's choice (which calls numpy.prod) per locker,
    and a Counter; the native loops run neither."""
    count = 0

    def profile(frame, event, arg):
        nonlocal count
        count += event == "call" and frame.f_code.co_filename.startswith(LIBRARY_FILES)

    sys.setprofile(profile)
    try:
        outcome(call)
    finally:
        sys.setprofile(None)
    return count


def feature(n, seed):
    values = np.random.default_rng(seed).standard_normal(n)
    return np.where(values == 0, 1.0, values)


@st.composite
def configurations(draw):
    """Feature size, locker size and count: small tabled sizes, larger ones
    hashed per locker (over several SHA-256 blocks), and NumPy's tail shuffle."""
    kind = draw(st.sampled_from(["tabled", "hashed", "shuffled"]))
    if kind == "shuffled":
        n = draw(st.integers(10_001, 20_000))
        return n, draw(st.integers(n // 50 + 1, n // 50 + 200)), draw(st.integers(1, 4))
    n = draw(st.integers(8, 600) | st.integers(10_001, 20_000))
    low, high = (1, 12) if kind == "tabled" else (13, 150)
    size = draw(st.integers(min(low, n), min(high, n if n <= 10_000 else n // 50)))
    return n, size, draw(st.integers(1, 160 if kind == "tabled" else 24))


@SETTINGS
@given(configurations(), st.binary(min_size=4, max_size=4), st.integers(1, 32),
       st.integers(0, 2**32 - 1), st.floats(0, 0.5), st.integers(-3, 3), st.floats(0, 1))
def test_records_and_unlocks_agree(config, seed, secret_size, feature_seed, flipped, length_change,
                                   thresh):
    n, size, n_lockers = config
    x = feature(n, feature_seed)
    probe = feature(max(n + length_change, 1), feature_seed)
    probe[: int(flipped * len(probe))] *= -1
    secret = hashlib.sha256(seed).digest()[:secret_size]
    fe = FuzzyExtractor(n_lockers, size)
    with fixed_seed(seed):
        record = both(lambda: fe.lock_secret(x, secret))
    assert list(record) == ["seed", "lockers", "secret_hash", "n_features"]
    both(lambda: fe.unlock_secret(probe, record, thresh))
    # A reader configured otherwise samples otherwise (or raises NumPy's error).
    both(lambda: FuzzyExtractor(n_lockers + 1, size + 1).unlock_secret(x, record, thresh))


@SETTINGS
@given(st.integers(0, 2**32 - 1), st.data())
def test_native_sampler_draws_as_numpy(seed, data):
    sample = hook_or_skip(fuzzy, "_native_sample")
    if data.draw(st.booleans(), "tail shuffle"):
        n = data.draw(st.integers(10_001, 60_000), "n")
        k = data.draw(st.integers(n // 50 + 1, min(n, n // 50 + 300)), "k")
    else:
        n = data.draw(st.integers(1, 2**62) | st.integers(1, 10_000), "n")
        k = data.draw(st.integers(0, min(n if n <= 10_000 else n // 50, 400)), "k")
    ours, theirs = np.random.default_rng(seed), np.random.default_rng(seed)
    for _ in range(data.draw(st.integers(1, 4), "draws")):
        assert sample(ours, n, k) == theirs.choice(n, size=k, replace=False).tolist()
    assert ours.bit_generator.state == theirs.bit_generator.state


def test_native_sha256_matches_hashlib():
    sha256 = hook_or_skip(fuzzy, "_native_sha256")
    for k in range(13):  # every bit text of up to 12 bits, side by side
        texts = [format(p, f"0{k}b").encode() if k else b"" for p in range(2**k)]
        assert sha256(texts) == [hashlib.sha256(t).digest() for t in texts]
    rng = np.random.default_rng(1)
    messages = [rng.bytes(n) for n in range(300)] + [rng.bytes(55)] * 9 + [rng.bytes(5000)]
    assert sha256(messages) == [hashlib.sha256(m).digest() for m in messages]


X, SECRET = feature(96, 5), bytes(range(16))


def edited(record, **changes):
    return dict(record, **changes)


@pytest.fixture
def record():
    with fixed_seed(b"\x12\x34\x56\x78"):
        return FuzzyExtractor(64).lock_secret(X, SECRET)


def test_plain_calls_take_the_native_loops(record):
    """Python code of NumPy or Counter runs per locker only in the literal loops."""
    one = edited(record, lockers=record["lockers"][:1])
    fe, single = FuzzyExtractor(64), FuzzyExtractor(1)
    getattr(collections.Counter, "__annotations__", None)  # may add an empty dict to the class
    calls = [(lambda: single.lock_secret(X, SECRET), lambda: fe.lock_secret(X, SECRET)),
             (lambda: single.unlock_secret(X, one), lambda: fe.unlock_secret(X, record))]
    for few, many in calls:
        many()  # the first use compares the native sampler with NumPy's
        assert library_calls(many) == library_calls(few)
        with literal():
            assert library_calls(many) >= library_calls(few) + 63


def spaced(entry):
    return " ".join(entry[i:i + 2] for i in range(0, len(entry), 2))


@pytest.mark.parametrize("edit", [
    lambda r: edited(r, lockers=[e.upper() for e in r["lockers"]]),
    lambda r: edited(r, lockers=[spaced(e) for e in r["lockers"]]),
    lambda r: edited(r, lockers=tuple(r["lockers"])),
    lambda r: edited(r, lockers=type("Entries", (list,), {})(r["lockers"])),
    lambda r: edited(r, lockers=r["lockers"][:5] + [r["lockers"][5] + "0"] + r["lockers"][6:]),
    lambda r: edited(r, lockers=r["lockers"][:7] + [r["lockers"][7] + "00" * 20 + "zz"]),
    lambda r: edited(r, lockers=r["lockers"][:3] + ["\u00e9" + r["lockers"][3][1:]]),
    lambda r: edited(r, lockers=r["lockers"][:9] + [b"00", 5]),
    lambda r: edited(r, lockers=r["lockers"][:9] + [type("Text", (str,), {})("ab")]),
    lambda r: edited(r, lockers=[e * 3 for e in r["lockers"]]),
    # Entries are decoded as they are read, a pad's worth kept and the rest
    # only checked: both sides of that line, and entries handed back to
    # bytes.fromhex.
    lambda r: edited(r, lockers=[e * 2 if i % 2 else e + "0" * 33 for i, e in
                                 enumerate(r["lockers"])]),
    lambda r: edited(r, lockers=[spaced(e) if i % 3 else e * 3 for i, e in
                                 enumerate(r["lockers"])]),
    lambda r: edited(r, lockers=r["lockers"][:4] + ["zz" + r["lockers"][4][2:]] + r["lockers"][5:]),
    # Short entries after long ones: candidates of one byte, all the same.
    lambda r: edited(r, lockers=["ff" * 16] * 20 + [e[:2] for e in r["lockers"][20:]]),
    lambda r: edited(r, lockers=["", "", "00"] + r["lockers"]),
    lambda r: edited(r, n_features=np.int64(96)),
    lambda r: edited(r, n_features=True),
    lambda r: edited(r, n_features=2**62),
    lambda r: edited(r, n_features=2**63),
    lambda r: edited(r, n_features=-96),
    lambda r: edited(r, n_features=7),
    lambda r: edited(r, n_features=95),
    lambda r: edited(r, n_features=500),
    lambda r: edited(r, seed="12 34 56 78 9a"),
])
def test_odd_records_unlock_alike(record, edit):
    both(lambda: FuzzyExtractor(64).unlock_secret(X, edit(record)))


@pytest.mark.parametrize("bad", ["/", ":", "@", "G", "`", "g", " ", "\x00", "\x7f"])
def test_entries_with_a_character_beside_the_digits(record, bad):
    """One character just outside the ranges of hex digits, anywhere in one
    entry: read natively sixteen characters at a time, it must be refused
    there and left to bytes.fromhex, whose error both paths raise."""
    for at in range(32):
        lockers = list(record["lockers"])
        lockers[5] = lockers[5][:at] + bad + lockers[5][at + 1:]
        assert both(lambda: FuzzyExtractor(64).unlock_secret(X, edited(record, lockers=lockers)))


@pytest.mark.parametrize("spaced_at", [None, 0, 3, 9])
def test_candidates_equal_but_for_their_size_are_counted_apart(spaced_at):
    """An all-negative probe gives every locker the same pad, so entries that
    spell a prefix of it unmask to zero bytes of that prefix's length: equal
    but for their size, they must be counted apart (an entry beyond a pad's
    length is cut to it), the first produced winning among equals, wherever
    an entry only bytes.fromhex reads stands."""
    pad = hashlib.sha256(b"00000000").digest()
    sizes = [1, 2, 32, 2, 1, 0, 32, 2, 1, 40]
    lockers = [(pad + bytes(8))[:size].hex() for size in sizes]
    if spaced_at is not None:
        lockers[spaced_at] = spaced(lockers[spaced_at])
    record = {"seed": "00000001", "n_features": 8, "lockers": lockers,
              "secret_hash": hashlib.sha256(bytes(1)).hexdigest()}
    result = both(lambda: FuzzyExtractor(len(sizes)).unlock_secret(-np.ones(8), record, 0.0))
    assert result == (bytes(1), {"ratio": 3 / len(sizes)})


def wrapped(function):
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)
    return wrapper


# The lock factory that NumPy's bit generators call (its name varies by version).
LOCK_NAME = "RLock" if hasattr(bit_generator, "RLock") else "Lock"


class PythonLock:
    """A lock whose acquisition runs Python code, as Generator.choice takes it."""

    def __init__(self, lock_type=getattr(bit_generator, LOCK_NAME)):
        self.lock = lock_type()

    def __enter__(self):
        return self.lock.__enter__()

    def __exit__(self, *exc):
        return self.lock.__exit__(*exc)


class LoudModule(types.ModuleType):
    def __getattribute__(self, name):
        return super().__getattribute__(name)


class SizeProperty(FuzzyExtractor):
    locker_size = property(lambda self: 8, lambda self, value: None)


class Getattribute(FuzzyExtractor):
    def __getattribute__(self, name):
        return super().__getattribute__(name)


class BoolBits(FuzzyExtractor):
    def _binarize(self, feature):
        return [b == 1 for b in super()._binarize(feature)]


class BitList(list):
    pass


class SubclassBits(FuzzyExtractor):
    def _binarize(self, feature):
        return BitList(super()._binarize(feature))


class ShrinkingBits(FuzzyExtractor):
    """Bits that a replaced secrets.token_bytes cuts short after their length was taken."""

    def _binarize(self, feature):
        self.bits = super()._binarize(feature)
        return self.bits


REDIRECTIONS = {
    "numpy.prod": (np, "prod", wrapped(np.prod)),
    "numpy.asarray": (np, "asarray", wrapped(np.asarray)),
    "numpy.empty": (np, "empty", wrapped(np.empty)),
    "numpy.full": (np, "full", wrapped(np.full)),
    "operator.index": (operator, "index", wrapped(operator.index)),
    "default_rng": (np.random, "default_rng", wrapped(np.random.default_rng)),
    "hashlib.sha256": (hashlib, "sha256", wrapped(hashlib.sha256)),
    "hashlib global": (fuzzy, "hashlib", types.SimpleNamespace(sha256=hashlib.sha256)),
    "hashlib class": (hashlib, "__class__", LoudModule),
    "bit generator lock": (bit_generator, LOCK_NAME, PythonLock),
    "Counter global": (fuzzy, "Counter", type("Votes", (collections.Counter,), {})),
    "Counter.most_common": (collections.Counter, "most_common",
                            wrapped(collections.Counter.most_common)),
    "Counter.__missing__": (collections.Counter, "__missing__", lambda self, key: 0),
    "heapq.nlargest": (heapq, "nlargest", wrapped(heapq.nlargest)),
    # most_common(1) ends in nlargest's single-item shortcut, which calls these
    "builtins.max": (builtins, "max", wrapped(max)),
    "builtins.iter": (builtins, "iter", wrapped(iter)),
}


@pytest.mark.parametrize("name", list(REDIRECTIONS))
def test_redirected_objects_are_used(record, name):
    """Each redirects one object that the native loops bypass: the literal
    loops run, with the same results."""
    fe = FuzzyExtractor(64)
    with replaced(*REDIRECTIONS[name]), fixed_seed(b"\x12\x34\x56\x78"):
        locked = both(lambda: fe.lock_secret(X, SECRET))
        unlocked = both(lambda: fe.unlock_secret(X, record))
        assert library_calls(lambda: fe.unlock_secret(X, record)) >= 64
    assert locked == record and unlocked == (SECRET, {"ratio": 1.0})


def test_counter_with_an_added_method_is_used(record):
    """Counter.items shadowing dict's changes what most_common counts; only the
    caches that reading annotations adds leave the native vote on."""
    fe = FuzzyExtractor(64)
    collections.Counter.items = lambda self: dict.items(self)
    try:
        assert both(lambda: fe.unlock_secret(X, record)) == (SECRET, {"ratio": 1.0})
        assert library_calls(lambda: fe.unlock_secret(X, record)) >= 64
    finally:
        del collections.Counter.items
    getattr(collections.Counter, "__annotations__", None)
    assert library_calls(lambda: fe.unlock_secret(X, record)) < 64


@pytest.mark.parametrize("cls", [SizeProperty, Getattribute, BoolBits, SubclassBits])
def test_odd_extractors_go_the_literal_way(record, cls):
    fe = cls(64)
    with fixed_seed(b"\x12\x34\x56\x78"):
        both(lambda: fe.lock_secret(X, SECRET))
    both(lambda: fe.unlock_secret(X, record))
    assert library_calls(lambda: fe.unlock_secret(X, record)) >= 64


def test_bits_cut_short_during_locking():
    fe = ShrinkingBits(64)
    token_bytes = lambda n: (fe.bits.clear(), b"seed")[1]  # noqa: E731
    with replaced(fuzzy, "secrets", types.SimpleNamespace(token_bytes=token_bytes)):
        assert both(lambda: fe.lock_secret(X, SECRET))[0] is IndexError


def test_reassigned_sizes_are_read_as_the_literal_loop_reads_them(record):
    fe = FuzzyExtractor(64)
    for size in (np.int64(8), 8.0, 97, 2**70, 0):
        fe.locker_size = size
        both(lambda: fe.unlock_secret(X, record))
    del fe.locker_size
    assert both(lambda: fe.unlock_secret(X, record))[0] is AttributeError
    assert both(lambda: fe.unlock_secret(X, edited(record, lockers=[]))) == (None, {"ratio": 0.0})

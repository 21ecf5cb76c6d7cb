import collections
import hashlib
import json
import sys
import types
import typing

import numpy as np
import pytest

import orvex.fuzzy as fuzzy
import reference
from conftest import TEST_HOOKS
from orvex.fuzzy import FuzzyExtractor

SECRET = bytes(range(16))


def feature(n, seed=0):
    values = np.random.default_rng(seed).standard_normal(n)
    return np.where(values == 0, 1.0, values)


def test_module_namespace_and_class_surface():
    names = [n for n in vars(fuzzy) if not n.startswith("__") and n not in TEST_HOOKS]
    assert names == [
        "secrets", "logging", "hashlib", "np", "Counter", "Union", "Optional", "Tuple", "logger",
        "DEFAULT_N_LOCKERS", "DEFAULT_LOCKER_SIZE", "DEFAULT_PROB_THRESH", "FeatureInput",
        "_to_numpy", "FuzzyExtractor"]
    assert fuzzy.logger.name == "orvex.fuzzy" and fuzzy.Counter is collections.Counter
    assert (fuzzy.DEFAULT_N_LOCKERS, fuzzy.DEFAULT_LOCKER_SIZE) == (1024, 8)
    assert type(fuzzy.DEFAULT_PROB_THRESH) is float and fuzzy.DEFAULT_PROB_THRESH == 0.2
    assert typing.get_origin(fuzzy.FeatureInput) is typing.Union
    assert typing.get_args(fuzzy.FeatureInput) == (typing.ForwardRef("torch.Tensor"), np.ndarray)
    cls = FuzzyExtractor
    assert cls.__bases__ == (object,) and cls.__module__ == "orvex.fuzzy"
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "_binarize", "lock_secret", "unlock_secret"]
    assert cls.__init__.__defaults__ == (1024, 8) and cls.unlock_secret.__defaults__ == (0.2,)
    assert cls.unlock_secret.__annotations__ == {
        "feature": "FeatureInput", "helper_data": "dict", "prob_thresh": "float",
        "return": "Tuple[Optional[bytes], dict]"}
    assert cls.__init__.__annotations__ == {"n_lockers": "int", "locker_size": "int"}
    assert cls.__init__.__doc__ is None
    # Non-ASCII text survives into the docstrings.
    assert "(higher \u2192 more robust, slower)" in cls.__doc__
    assert "(0.0\u20131.0)" in cls.unlock_secret.__doc__
    assert "'ratio' \u2014 the fraction" in cls.unlock_secret.__doc__


@pytest.mark.parametrize("args, expected", [
    ((), (1024, 8)), ((2.9, True), (2, 1)),
    ((0,), (ValueError, "n_lockers must be >= 1")),
    ((5, 0), (ValueError, "locker_size must be >= 1")),
    ((0, 0), (ValueError, "n_lockers must be >= 1")),
    ((0, "x"), (TypeError, "Argument 'locker_size' has incorrect type (expected int, got str)")),
    ((None,), (TypeError, "Argument 'n_lockers' has incorrect type (expected int, got NoneType)")),
])
def test_constructor(args, expected):
    if isinstance(expected[0], int):
        fe = FuzzyExtractor(*args)
        assert (fe.n_lockers, fe.locker_size) == expected and type(fe.locker_size) is int
    else:
        with pytest.raises(expected[0]) as info:
            FuzzyExtractor(*args)
        assert str(info.value) == expected[1]


@pytest.mark.parametrize("array, bits", [
    (np.array([0.5, -0.5, 0.0, -0.0, np.nan, 3.0]), [1, 0, 0, 0, 0, 1]),
    (np.array([[1, -1, 2], [-2, 3, -3]], dtype=np.int8), [1, 0, 1, 0, 1, 0]),
    (np.array([], dtype=np.float32), []), (np.array(2.0), [1]),
    (np.array([True, False]), [1, 0]), (np.array([3, 0], dtype=np.uint64), [1, 0]),
    (np.array([1.5, -2], dtype=object), [1, 0]),
])
def test_binarize(array, bits):
    flat = fuzzy._to_numpy(array)
    assert flat.shape == (array.size,) and flat.dtype == array.dtype
    flat[...] = 0  # a copy: the caller's array is untouched
    result = FuzzyExtractor()._binarize(array)
    assert result == bits and type(result) is list and all(type(b) is int for b in result)


@pytest.mark.parametrize("value", [[1.0, -1.0], None, 1.5])
def test_non_array_features_refused(value):
    for convert in (fuzzy._to_numpy, FuzzyExtractor()._binarize):
        with pytest.raises(TypeError) as info:
            convert(value)
        assert str(info.value) == "Expected torch.Tensor or numpy.ndarray, got " + str(type(value))


@pytest.mark.parametrize("seed", [b"\x00\x00\x00\x01", b"\xff\xff\xff\xff", b"\x12\x34\x56\x78"])
@pytest.mark.parametrize("n, n_lockers, locker_size", [(8, 16, 8), (512, 64, 8), (20_000, 2, 500)])
@pytest.mark.parametrize("secret_size", [1, 16, 32])
def test_helper_data_bit_exact(monkeypatch, seed, n, n_lockers, locker_size, secret_size):
    monkeypatch.setattr(fuzzy, "secrets", types.SimpleNamespace(token_bytes={4: seed}.get))
    x = feature(n, seed[-1])
    secret = hashlib.sha256(seed).digest()[:secret_size]
    got = FuzzyExtractor(n_lockers, locker_size).lock_secret(x, secret)
    assert got == reference.lock_secret(n_lockers, locker_size, x, secret, {4: seed}.get)
    assert list(got) == ["seed", "lockers", "secret_hash", "n_features"]
    assert FuzzyExtractor(n_lockers, locker_size).unlock_secret(x, got) == (secret, {"ratio": 1.0})


def test_sign_free_feature_gives_identical_lockers():
    rec = FuzzyExtractor(5).lock_secret(-np.abs(feature(12)).reshape(3, 4), SECRET)
    expected = reference.xor(SECRET, hashlib.sha256(b"00000000").digest()).hex()
    assert rec["lockers"] == [expected] * 5 and rec["n_features"] == 12


def test_flipped_signs_ratio_is_share_of_lockers_avoiding_them():
    x, fe, flipped = feature(64, 3), FuzzyExtractor(64), [3, 17, 40]
    rec = fe.lock_secret(x, SECRET)
    probe = x.copy()
    probe[flipped] *= -1
    positions = reference.locker_positions(rec["seed"], 64, 8, 64)
    clean = sum(not set(idx.tolist()) & set(flipped) for idx in positions)
    assert 0.2 < clean / 64 < 1
    assert fe.unlock_secret(probe, rec) == (SECRET, {"ratio": clean / 64})
    assert fe.unlock_secret(probe, rec, clean / 64 + 1e-9) == (None, {"ratio": clean / 64})
    secret, stats = fe.unlock_secret(-x, rec)  # every sign flipped
    assert secret is None and type(stats["ratio"]) is float and stats["ratio"] < 0.2


def crafted_record(x, outcomes, seed="0badf00d"):
    """A record whose locker k yields the candidate outcomes[k] for the probe x."""
    bits = reference.binarize(x)
    positions = reference.locker_positions(seed, len(bits), 8, len(outcomes))
    pads = [reference.locker_pad(bits, idx) for idx in positions]
    return {"seed": seed, "n_features": len(bits),
            "lockers": [reference.xor(c, pad).hex() for c, pad in zip(outcomes, pads)]}


@pytest.mark.parametrize("hashed, expected", [(b"X" * 16, b"X" * 16), (b"Y" * 16, None)])
def test_tie_goes_to_the_candidate_produced_first(hashed, expected):
    x = feature(32)
    rec = crafted_record(x, [b"X" * 16, b"Y" * 16, b"X" * 16, b"Y" * 16])
    rec["secret_hash"] = hashlib.sha256(hashed).hexdigest()
    assert FuzzyExtractor(4).unlock_secret(x, rec) == (expected, {"ratio": 0.5})


@pytest.mark.parametrize("agreeing, n_lockers, thresh, released", [
    (2, 10, 0.2, True), (2, 10, 0.2000001, False),  # equal to the threshold passes
    (1, 10, 0.0, True), (1, 10, float("nan"), True),  # a NaN threshold never rejects
    (10, 10, 1.0000001, False), (10, 5, 1.5, True),
    (10, 20, 0.5, True), (10, 40, 0.5, False),  # the reader's n_lockers is the denominator
])
def test_threshold(agreeing, n_lockers, thresh, released):
    x = feature(32)
    rec = crafted_record(x, [SECRET] * agreeing + [bytes([i]) * 16 for i in range(10 - agreeing)])
    rec["secret_hash"] = hashlib.sha256(SECRET).hexdigest()
    result = FuzzyExtractor(n_lockers).unlock_secret(x, rec, thresh)
    assert result == ((SECRET if released else None), {"ratio": agreeing / n_lockers})


def test_record_forms():
    x, fe = feature(100), FuzzyExtractor(16)
    rec = fe.lock_secret(x, SECRET)
    assert fe.unlock_secret(x, json.loads(json.dumps(rec))) == (SECRET, {"ratio": 1.0})
    upper_seed = dict(rec, seed=rec["seed"].upper(), extra=[1])
    assert fe.unlock_secret(x, upper_seed) == (SECRET, {"ratio": 1.0})
    upper_hash = dict(rec, secret_hash=rec["secret_hash"].upper())
    assert fe.unlock_secret(x, upper_hash) == (None, {"ratio": 1.0})
    assert fe.unlock_secret(x, dict(rec, lockers=[])) == (None, {"ratio": 0.0})
    assert FuzzyExtractor(8).unlock_secret(x, rec) == (SECRET, {"ratio": 2.0})
    for mapping in (collections.OrderedDict(rec), collections.defaultdict(None, rec)):
        with pytest.raises(TypeError) as info:
            fe.unlock_secret(x, mapping)
        assert str(info.value).startswith("Argument 'helper_data' has incorrect type (expected "
                                          f"dict, got collections.{type(mapping).__name__})")
    second = fe.lock_secret(x, SECRET)
    assert second["seed"] != rec["seed"] and second["secret_hash"] == rec["secret_hash"]


def test_torch_tensors_match_numpy():
    torch = pytest.importorskip("torch")
    x = feature(48).reshape(4, 12)
    tensor, fe = torch.tensor(x, requires_grad=True), FuzzyExtractor(16)
    assert fe._binarize(tensor) == fe._binarize(x) == reference.binarize(x)
    assert fe._binarize(torch.tensor(x, dtype=torch.float16)) == reference.binarize(x)
    assert fuzzy._to_numpy(tensor).dtype == np.float64
    assert fe.unlock_secret(x, fe.lock_secret(tensor, SECRET)) == (SECRET, {"ratio": 1.0})


def test_numpy_input_works_without_torch(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)
    x, fe = feature(20), FuzzyExtractor(4)
    assert fe.unlock_secret(x, fe.lock_secret(x, SECRET)) == (SECRET, {"ratio": 1.0})

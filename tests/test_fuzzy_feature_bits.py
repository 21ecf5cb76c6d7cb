"""The feature's bits read natively from an exact ndarray, against _binarize,
and the Python steps kept wherever something they run was replaced."""

import contextlib
import sys
import types

import numpy as np
import pytest

import orvex.fuzzy as fuzzy
from orvex.fuzzy import FuzzyExtractor

from conftest import hook_or_skip  # noqa: E402
from test_fuzzy_differential import both, fixed_seed, outcome, replaced

READ = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8"]
SEED, SECRET = b"\x01\x02\x03\x04", b"s" * 16


def edge_values(dtype):
    """Each dtype's edges: its extremes and 0, and for floats NaN, -0.0,
    infinities and subnormals."""
    dt = np.dtype(dtype)
    if dt.kind == "b":
        return np.array([True, False, False, True, True, False])
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return np.array([0, 1, info.max, info.min, info.max - 1, info.min // 2, 2, 0], dtype=dt)
    info = np.finfo(dt)
    return np.array([np.nan, -np.nan, 0.0, -0.0, np.inf, -np.inf, info.max, -info.max, info.tiny,
                     -info.tiny, info.smallest_subnormal, -info.smallest_subnormal, 1.0, -1.0],
                    dtype=dt)


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:]
    out = raw.view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def layouts(values):
    """The same values as 0-d, empty, 1-D, 2-D and 3-D in C and Fortran
    order, strided, reversed, transposed, broadcast and unaligned."""
    grid = np.resize(values, (6, 7))
    return [values[:1].reshape(()), values[:0], values, grid, np.asfortranarray(grid),
            grid[::2, ::3], grid[::-1, 1::2], grid.T, np.broadcast_to(values[:5], (3, 5)),
            grid.reshape(2, 3, 7)[:, ::-1, ::2], unaligned(grid)]


@pytest.mark.parametrize("dtype", READ)
def test_native_bits_are_binarize_bits(dtype):
    sign_bits = hook_or_skip(fuzzy, "_native_sign_bits")
    fe = FuzzyExtractor()
    for x in layouts(edge_values(dtype)):
        assert sign_bits(x) == bytes(fe._binarize(x)), (x.shape, x.strides)


NOT_READ = ["f2", "c8", "g", ">f4", ">i8", "O", "M8[s]", "S2", [("a", "f4"), ("b", "i2")]]


@pytest.mark.parametrize("dtype", NOT_READ, ids=str)
def test_other_dtypes_and_subclasses_keep_the_python_steps(dtype):
    sign_bits = hook_or_skip(fuzzy, "_native_sign_bits")
    x = np.arange(-12, 12).astype(dtype)
    assert sign_bits(x) is None
    assert sign_bits(np.linspace(-1, 1, 24).view(np.recarray)) is None
    assert sign_bits(np.broadcast_to(np.float32(1), (2**24 + 1,))) is None  # NumPy's to allocate
    fe = FuzzyExtractor(8, 3)
    with fixed_seed(SEED):
        record = both(lambda: fe.lock_secret(x, SECRET))
    if isinstance(record, dict):
        both(lambda: fe.unlock_secret(x, record))


@pytest.mark.parametrize("dtype", READ)
def test_records_and_unlocks_from_native_bits_agree(dtype):
    fe = FuzzyExtractor(16, 3)
    for x in layouts(edge_values(dtype)):
        # A comparison that warned or raised on NaN would differ from the read.
        with fixed_seed(SEED), np.errstate(all="raise"):
            record = both(lambda: fe.lock_secret(x, SECRET))
        if isinstance(record, dict):
            both(lambda: fe.unlock_secret(x, record))


class HashlibProxy(types.ModuleType):
    def __getattr__(self, name):
        import hashlib
        return getattr(hashlib, name)


def test_literal_loops_take_the_bits_read_natively():
    # The draws decline (hashlib replaced; Counter subclassed) or give up:
    # their literal loops get a list made from the bytes the native read gave.
    fe, x = FuzzyExtractor(32, 4), np.resize(edge_values("f4"), (6, 7))[:, ::2]
    with fixed_seed(SEED):
        expected = fe.lock_secret(x, SECRET)
    with fixed_seed(SEED), replaced(fuzzy, "hashlib", HashlibProxy("hashlib")):
        assert fe.lock_secret(x, SECRET) == expected
    with replaced(fuzzy, "Counter", type("Counter", (fuzzy.Counter,), {})):
        assert fe.unlock_secret(x, expected) == (SECRET, {"ratio": 1.0})
    # An entry the native vote can't read: it gives up after drawing.
    *entries, last = expected["lockers"]
    both(lambda: fe.unlock_secret(x, dict(expected, lockers=[*entries, last.encode()])))


def counting(function, calls):
    def counted(*args, **kwargs):
        calls.append(function)
        return function(*args, **kwargs)
    return counted


class RecordingNumpy(types.ModuleType):
    def __init__(self, calls):
        super().__init__("numpy")
        self.calls = calls

    def __getattr__(self, name):
        if name == "ndarray":  # read by the feature's steps alone
            self.calls.append(name)
        return getattr(np, name)


class CountingArray(np.ndarray):
    def flatten(self, *args, **kwargs):
        CountingArray.calls.append("flatten")
        return np.asarray(self).flatten(*args, **kwargs)


def forcings(calls):
    """(extractor, feature, context) per way around the native read, each
    running a Python call that appends to `calls`."""
    x = np.linspace(-1, 1, 24, dtype=np.float32)

    class Sub(FuzzyExtractor):
        def _binarize(self, feature):
            calls.append("sub")
            return super()._binarize(feature)

    shadowed = FuzzyExtractor(8, 3)
    shadowed._binarize = counting(shadowed._binarize, calls)
    CountingArray.calls = calls
    return [
        (FuzzyExtractor(8, 3), x, replaced(fuzzy, "_to_numpy", counting(fuzzy._to_numpy, calls))),
        (FuzzyExtractor(8, 3), x, replaced(fuzzy, "np", RecordingNumpy(calls))),
        (FuzzyExtractor(8, 3), x,
         replaced(FuzzyExtractor, "_binarize", counting(FuzzyExtractor._binarize, calls))),
        (Sub(8, 3), x, contextlib.nullcontext()),
        (shadowed, x, contextlib.nullcontext()),
        (FuzzyExtractor(8, 3), x.view(CountingArray), contextlib.nullcontext()),
    ]


@pytest.mark.parametrize("case", range(6))
def test_replaced_steps_run_and_give_the_same_results(case):
    calls = []
    fe, x, context = forcings(calls)[case]
    with fixed_seed(SEED):
        expected = FuzzyExtractor(8, 3).lock_secret(np.asarray(x), SECRET)
    with context, fixed_seed(SEED):
        assert fe.lock_secret(x, SECRET) == expected
        assert calls
        calls.clear()
        assert fe.unlock_secret(x, expected) == (SECRET, {"ratio": 1.0})
        assert calls


def test_the_tensor_step_still_runs(monkeypatch):
    checks = []

    class TensorType(type):
        def __instancecheck__(cls, instance):
            checks.append(instance)
            return False

    torch = types.ModuleType("torch")
    torch.Tensor = TensorType("Tensor", (), {})
    monkeypatch.setitem(sys.modules, "torch", torch)
    fe, x = FuzzyExtractor(8, 3), np.linspace(-1, 1, 24)
    record = fe.lock_secret(x, SECRET)
    assert fe.unlock_secret(x, record) == (SECRET, {"ratio": 1.0})
    assert checks == [x, x]


def literal_extractor():
    fe = FuzzyExtractor(8, 3)
    fe._binarize = counting(fe._binarize, [])
    return fe


@pytest.mark.parametrize("shape", [(24,), (4, 6), ()], ids=str)
def test_what_a_replaced_to_numpy_returns(shape):
    # Read natively in one dimension only: tolist() nests the rows of two, and
    # gives a 0-d array's scalar, which _binarize refuses.
    x = np.linspace(-1, 1, 24, dtype=np.float32)
    flat = (x if shape else x[:1]).reshape(shape)
    outcomes = []
    for fe in (FuzzyExtractor(8, 3), literal_extractor()):
        with replaced(fuzzy, "_to_numpy", lambda feature: flat), fixed_seed(SEED):
            outcomes.append(outcome(lambda: fe.lock_secret(x, SECRET)))
    assert outcomes[0] == outcomes[1]


def test_a_tensors_array(monkeypatch):
    class Tensor:
        def detach(self):
            return self

        cpu = detach

        def numpy(self):
            return np.linspace(-1, 1, 24).reshape(4, 6)

    torch = types.ModuleType("torch")
    torch.Tensor = Tensor
    monkeypatch.setitem(sys.modules, "torch", torch)
    with fixed_seed(SEED):
        record = FuzzyExtractor(8, 3).lock_secret(Tensor(), SECRET)
    with fixed_seed(SEED):
        assert literal_extractor().lock_secret(Tensor(), SECRET) == record
    assert literal_extractor().unlock_secret(Tensor(), record) == (SECRET, {"ratio": 1.0})

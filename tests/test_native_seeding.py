"""The call's generator seeded natively against NumPy's default_rng.

When default_rng and everything it reads are NumPy's own, lock and unlock
derive PCG64's starting state from the seed and make no generator at all; a
native attempt that declines makes it then. Anything replaced on the way
makes NumPy seed it, with the same results.
"""
import os
import subprocess
import sys

import numpy as np
import numpy.random._generator as generator_module
import numpy.random._pcg64 as pcg64_module
import numpy.random.bit_generator as bit_generator
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.fuzzy as fuzzy
from orvex.fuzzy import FuzzyExtractor
from conftest import hook_or_skip
from test_fuzzy_differential import (NumpyProxy, ShrinkingBits, SubclassBits, both, feature,
                                     fixed_seed, replaced, wrapped)

X, SECRET = feature(96, 11), bytes(range(20))
SEED = b"\x9a\x00\x17\x42"

EDGE_SEEDS = {
    "no bytes": b"",
    "zero": bytes(4),
    "one": b"\x01",
    "2**32 - 1": (2**32 - 1).to_bytes(4, "big"),
    "2**32": (2**32).to_bytes(5, "big"),
    "2**64 + 5": (2**64 + 5).to_bytes(9, "big"),
    "2**128 + 3": (2**128 + 3).to_bytes(17, "big"),
    "leading zeros": b"\x00\x00\x00\x01\x02",
    "32 bytes": bytes(range(200, 232)),
    "40 bytes": bytes(range(7, 247, 6)),
}


def numpy_state(seed):
    return np.random.default_rng(int.from_bytes(seed, "big")).bit_generator.state


@pytest.mark.parametrize("seed", list(EDGE_SEEDS.values()), ids=list(EDGE_SEEDS))
def test_edge_seeds_give_numpys_state(seed):
    assert hook_or_skip(fuzzy, "_native_seed_state")(seed) == numpy_state(seed)


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=48))
def test_any_seed_gives_numpys_state(seed):
    assert hook_or_skip(fuzzy, "_native_seed_state")(seed) == numpy_state(seed)


def seed_sequences_made(call):
    """How many of NumPy's seed sequences call() made: each assembles its
    entropy with numpy.concatenate, whose Python dispatcher runs once; no
    other step of lock or unlock calls it."""
    count = 0

    def profile(frame, event, arg):
        nonlocal count
        code = frame.f_code
        count += (event == "call" and code.co_name == "concatenate"
                  and code.co_filename.startswith(os.path.dirname(np.__file__)))

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return count


@pytest.fixture(autouse=True)
def countable():
    if seed_sequences_made(lambda: np.random.default_rng(5)) != 1:
        pytest.skip("this NumPy seeds without calling numpy.concatenate's dispatcher")


@pytest.fixture(scope="module")
def record():
    fe = FuzzyExtractor(32)
    fe.unlock_secret(X, fe.lock_secret(X, SECRET))  # settles the first-use checks
    with fixed_seed(SEED):
        return fe.lock_secret(X, SECRET)


@pytest.mark.parametrize("seed", ["", "00000000", "0001", "ff" * 32, "0" * 30 + "1f"])
def test_plain_calls_make_no_generator(record, seed):
    fe = FuzzyExtractor(32)
    with fixed_seed(bytes.fromhex(seed)):
        locked = both(lambda: fe.lock_secret(X, SECRET))
        assert seed_sequences_made(lambda: fe.lock_secret(X, SECRET)) == 0
    assert both(lambda: fe.unlock_secret(X, locked)) == (SECRET, {"ratio": 1.0})
    assert seed_sequences_made(lambda: fe.unlock_secret(X, locked)) == 0
    edited = dict(record, seed=seed)
    both(lambda: fe.unlock_secret(X, edited))


@pytest.mark.parametrize("cls", [SubclassBits, ShrinkingBits])
def test_declined_attempts_make_the_generator_once(record, cls):
    """Declined (bits of a list subclass) or abandoned (bits cut short after
    the draws) once seeded natively: the literal loop still gets the
    generator from the same seed, made once."""
    fe = cls(32)
    with fixed_seed(SEED):
        assert both(lambda: fe.lock_secret(X, SECRET)) == record
    assert both(lambda: fe.unlock_secret(X, record)) == (SECRET, {"ratio": 1.0})
    if cls is SubclassBits:
        assert seed_sequences_made(lambda: fe.unlock_secret(X, record)) == 1


# What default_rng reads on its way to a PCG64, each replaced by an equal
# stand-in: NumPy then seeds the generator itself.
SEEDING_REDIRECTIONS = {
    "PCG64": (generator_module, "PCG64", wrapped(generator_module.PCG64)),
    "numpy in _pcg64": (pcg64_module, "np", NumpyProxy("numpy")),
    "numpy in bit_generator": (bit_generator, "np", NumpyProxy("numpy")),
    "_coerce_to_uint32_array": (bit_generator, "_coerce_to_uint32_array",
                                wrapped(bit_generator._coerce_to_uint32_array)),
    "_int_to_uint32_array": (bit_generator, "_int_to_uint32_array",
                             wrapped(bit_generator._int_to_uint32_array)),
    "ISeedSequence": (bit_generator, "ISeedSequence",
                      type("Sequences", (bit_generator.ISeedSequence,), {})),
    "numpy.zeros": (np, "zeros", wrapped(np.zeros)),
    "numpy.array": (np, "array", wrapped(np.array)),
    "fuzzy's numpy": (fuzzy, "np", NumpyProxy("numpy")),
}


@pytest.mark.parametrize("name", list(SEEDING_REDIRECTIONS))
def test_replaced_seeding_is_used(record, name):
    fe = FuzzyExtractor(32)
    with replaced(*SEEDING_REDIRECTIONS[name]), fixed_seed(SEED):
        assert both(lambda: fe.lock_secret(X, SECRET)) == record
        assert both(lambda: fe.unlock_secret(X, record)) == (SECRET, {"ratio": 1.0})
        assert seed_sequences_made(lambda: fe.unlock_secret(X, record)) == 1
    assert seed_sequences_made(lambda: fe.unlock_secret(X, record)) == 0


# In a child: a virtual subclass can't be unregistered.
SEED_SEQUENCE_CHILD = r"""
import numpy as np, numpy.random.bit_generator as bit_generator, orvex.fuzzy as fuzzy
fe, x = fuzzy.FuzzyExtractor(8), np.arange(1.0, 97.0)
record = fe.lock_secret(x, b"secret")
fe.unlock_secret(x, record)  # settles the first-use checks
bit_generator.ISeedSequence.register(int)  # NumPy now takes the seed for a sequence
for call in (lambda: fe.lock_secret(x, b"secret"), lambda: fe.unlock_secret(x, record)):
    try:
        call()
    except AttributeError as error:
        print(error)
"""


def test_seeds_taken_for_seed_sequences_fail_as_in_numpy():
    out = subprocess.run([sys.executable, "-c", SEED_SEQUENCE_CHILD], capture_output=True,
                         text=True, timeout=60, check=True).stdout
    assert out.splitlines() == ["'int' object has no attribute 'generate_state'"] * 2

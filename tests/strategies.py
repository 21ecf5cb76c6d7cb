"""Hypothesis strategies for hostile input, shared by the fuzz tests."""
import math

import numpy as np
from hypothesis import strategies as st


class Boom(Exception):
    pass


def _raise(*args, **kwargs):
    raise Boom("hostile")


class Hostile:
    """Raises from every protocol a C function might touch."""
    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = __bool__ = __len__ = __iter__ = _raise
    __index__ = __int__ = __float__ = __str__ = __format__ = __getitem__ = _raise
    __hash__ = object.__hash__


class Liar:
    """Claims a length and items it can't give."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        return iter(())


class HugeLen:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return "00"


class Bytes(bytes):
    pass


class Str(str):
    pass


class Dict(dict):
    pass


ODD_OBJECTS = [Hostile(), Liar(), HugeLen(), Bytes(b"\x00" * 16), Str("k"), Dict(), object(),
               type, print, Ellipsis, NotImplemented, math.nan, math.inf, -math.inf, 2**64, -2**63]

# Any value may end up as a count (n_lockers, a shape, a limit): integers are
# small, or so large that nothing of that size can be allocated and the call
# fails at once. Never in between, where one example would run for minutes
# and fill memory before failing.
HUGE = [2**62, 2**63 - 1, 2**63, 2**64, 10**30, -2**63, -2**63 - 1, -10**30]
integers = st.one_of(st.integers(-300, 300), st.sampled_from(HUGE))
int64s = st.one_of(st.integers(-300, 300),
                   st.sampled_from([h for h in HUGE if -2**63 <= h < 2**63])).map(np.int64)

scalars = st.one_of(
    st.none(), st.booleans(), integers, st.floats(), st.complex_numbers(),
    st.text(max_size=12), st.binary(max_size=12), st.sampled_from(ODD_OBJECTS),
    int64s, st.floats(width=32).map(np.float32),
)

# Values of every type, nested a little.
anything = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=6,
)

# Text for bytes.fromhex: valid, upper case, spaced, odd, huge or not hex at all.
hex_text = st.one_of(
    st.binary(max_size=48).map(bytes.hex),
    st.binary(max_size=48).map(lambda b: b.hex().upper()),
    st.binary(min_size=1, max_size=16).map(lambda b: b.hex(" ")),
    st.text(alphabet="0123456789abcdefABCDEF \t\n", max_size=80),
    st.integers(1, 5000).map(lambda n: "a" * (2 * n + 1)),
    st.integers(1, 5000).map(lambda n: "9f" * n),
    st.text(max_size=16),
)

"""Hostile records, keys and payloads for the vault, checked against the plain
Python account of decrypt: same result or same exception, and the caller's
record never changed."""
import json
import logging

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
# NumPy warns about some of the dtype texts made up here; only errors count.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::RuntimeWarning")
import hypothesis.extra.numpy as hnp  # noqa: E402
from hypothesis import event, given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import reference  # noqa: E402
from orvex.vault import AESVault  # noqa: E402
from strategies import anything, hex_text  # noqa: E402

KEY = bytes(range(32))
VAULT = AESVault()
# 24 plaintext bytes: many dtypes and shapes fit them exactly, many almost.
BASE = {"bytes": VAULT.encrypt(KEY, bytes(range(24))),
        "array": VAULT.encrypt(KEY, np.arange(6, dtype=np.int32).reshape(2, 3))}
FIELDS = ["ciphertext", "nonce", "tag", "shape", "dtype"]
DELETE = object()


@pytest.fixture(autouse=True, scope="module")
def quiet_vault_logger():
    logger = logging.getLogger("orvex.vault")
    logger.disabled = True
    yield
    logger.disabled = False


dtype_text = st.one_of(
    st.sampled_from(["float64", ">i4", "<u2", "i8", "S3", "U2", "V8", "V0", "O", "i4,i4", "(2,)i4",
                     "[('a', 'O')]", "M8[s]", "m8", "b1", "c16", "f2", "int", "bogus", "", "S0",
                     "float64 ", "(0,)i4", "(2,3)u1", "i4,O", "<U0"]),
    hnp.array_dtypes(allow_subarrays=True).map(str),
    st.text(max_size=12),
)
shape_value = st.one_of(
    st.lists(st.integers(-2, 30), max_size=4),
    st.lists(st.integers(), max_size=3),
    st.lists(st.sampled_from([24, 12, 6, 4, 3, 2, 1, -1, 0]), max_size=4),
)
field_value = st.one_of(hex_text, dtype_text, shape_value, anything, st.just(DELETE))
other_keys = st.one_of(st.binary(max_size=40), anything)
# Mostly the right key, so that most examples get past the tag check.
keys = st.tuples(st.integers(0, 3), other_keys).map(lambda c: c[1] if c[0] == 3 else KEY)


def snapshot(record):
    """The record as identities, one level into lists: what must not change."""
    return [(k, v, list(v) if type(v) is list else None) for k, v in record.items()]


def same_outcome(native, expected):
    if expected[0] == "ok":
        assert native[0] == "ok", native
        got, want = native[1], expected[1]
        assert type(got) is type(want)
        if isinstance(want, np.ndarray):
            assert (got.dtype, got.shape, got.tobytes()) == (want.dtype, want.shape, want.tobytes())
            assert not got.flags.writeable
        else:
            assert got == want
    else:
        assert native[:3] == expected, (native, expected)


def decrypt_outcome(key, record):
    try:
        result = VAULT.decrypt(key, record)
        event(f"decrypted to {type(result).__name__}")
        return ("ok", result)
    except Exception as e:
        event(f"raised {type(e).__name__}: {str(e)[:30]}")
        if isinstance(e, ValueError) and str(e).startswith("Decryption failed: "):
            assert isinstance(e.__cause__, (ValueError, KeyError))
        return ("raised", type(e), str(e))


@given(base=st.sampled_from(sorted(BASE)),
       # The metadata, read only after the tag check, is drawn most often.
       changes=st.dictionaries(st.sampled_from(FIELDS + ["shape", "dtype"] * 3 + ["extra", ""]),
                               field_value, max_size=3),
       key=keys)
def test_decrypt_matches_reference(base, changes, key):
    record = dict(BASE[base])
    for field, value in changes.items():
        if value is DELETE:
            record.pop(field, None)
        else:
            record[field] = value
    before = snapshot(record)
    native = decrypt_outcome(key, record)
    same_outcome(native, reference.outcome(reference.decrypt, key, record))
    assert snapshot(record) == before


@given(record=anything, key=keys)
def test_decrypt_of_anything(record, key):
    native = decrypt_outcome(key, record)
    same_outcome(native, reference.outcome(reference.decrypt, key, record))


arrays = hnp.arrays(
    dtype=st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(), hnp.unicode_string_dtypes(),
                    hnp.array_dtypes(allow_subarrays=True)),
    shape=hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4),
)


def readable(dtype):
    try:
        return np.dtype(str(dtype)) == dtype and not dtype.hasobject and dtype.itemsize > 0
    except (TypeError, ValueError):
        return False


@given(array=arrays, layout=st.sampled_from(["C", "F", "strided", "swapped"]),
       key_size=st.sampled_from([16, 24, 32]))
def test_arrays_round_trip_bit_exact_through_json(array, layout, key_size):
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "strided" and array.ndim:
        array = array[::2]
    elif layout == "swapped":
        array = array.astype(array.dtype.newbyteorder())
    key = KEY[:key_size]
    try:
        record = VAULT.encrypt(key, array)
    except TypeError:
        # Refused only when a record could not give this array back.
        assert not readable(array.dtype)
        return
    assert readable(array.dtype)
    back = VAULT.decrypt(key, json.loads(json.dumps(record)))
    assert (back.dtype, back.shape, back.tobytes()) == (array.dtype, array.shape, array.tobytes())


@given(key=st.one_of(st.none(), other_keys), payload=st.one_of(anything, st.binary(max_size=64)))
def test_encrypt_hostile_arguments(key, payload):
    key = KEY if key is None else key
    try:
        record = VAULT.encrypt(key, payload)
    except (TypeError, ValueError):
        assert type(key) is not bytes or len(key) not in (16, 24, 32) \
            or not isinstance(payload, bytes)
        return
    assert VAULT.decrypt(key, record) == payload


@given(args=st.lists(anything, max_size=3), kwargs=st.dictionaries(st.text(max_size=4), anything,
                                                                    max_size=2))
def test_constructor_takes_no_arguments(args, kwargs):
    if args or kwargs:
        with pytest.raises(TypeError):
            AESVault(*args, **kwargs)
    else:
        assert AESVault().__dict__ == {}

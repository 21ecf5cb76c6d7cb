"""AESVault: records, round trips, tampering and the failure table."""

import json
import logging
import types

import numpy as np
import pytest

import orvex.vault as vault_module
import reference

KEY = bytes(range(32))
HEX_FIELDS = ("ciphertext", "nonce", "tag")

ARRAYS = {
    "float64 2d": lambda: np.arange(12.0).reshape(3, 4),
    "float16": lambda: np.array([0.5, -2.0, np.inf], np.float16),
    "longdouble": lambda: np.array([1 / 3], np.longdouble),
    "special floats": lambda: np.array([np.nan, -0.0, np.inf, -np.inf]),
    "bool": lambda: np.array([[True, False], [False, True]]),
    "uint64 max": lambda: np.array([2**64 - 1, 0], np.uint64),
    "clongdouble": lambda: np.array([1 + 2j], np.clongdouble),
    "big-endian int32": lambda: np.arange(6, dtype=">i4").reshape(2, 3),
    "big-endian complex": lambda: np.array([1 - 1j], ">c16"),
    "datetime64[ns]": lambda: np.array(["2020-01-01T12:00", "NaT"], "M8[ns]"),
    "big-endian datetime64[D]": lambda: np.array(["1999-12-31"], ">M8[D]"),
    "timedelta64": lambda: np.array([5, -1], "m8[s]"),
    "unicode": lambda: np.array(["ab", "\u00e9\U0001f600", ""]),
    "big-endian unicode": lambda: np.array(["xyz"], ">U4"),
    "bytes S": lambda: np.array([b"ab", b"\0x", b""]),
    "void V": lambda: np.array([b"\x00\x01\x02"], "V3"),
    "zero-dimensional": lambda: np.array(3.5),
    "empty": lambda: np.zeros((0, 3)),
    "Fortran order": lambda: np.asfortranarray(np.arange(6).reshape(2, 3)),
    "strided": lambda: np.arange(20)[::3],
    "transposed 3d": lambda: np.arange(24).reshape(2, 3, 4).transpose(2, 0, 1),
    "broadcast view": lambda: np.broadcast_to(np.arange(3), (4, 3)),
    "ndarray subclass": lambda: np.arange(4).reshape(2, 2).view(type("Tagged", (np.ndarray,), {})),
    "masked subclass": lambda: np.ma.array([1, 2, 3], mask=[0, 1, 0]),
}


@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
def test_array_round_trip_through_json(vault, make):
    array = make()
    record = vault.encrypt(KEY, array)
    assert list(record) == ["ciphertext", "nonce", "tag", "shape", "dtype"]
    assert record["shape"] == list(array.shape) and record["dtype"] == str(array.dtype)
    assert len(record["ciphertext"]) == 2 * array.nbytes
    restored = vault.decrypt(KEY, json.loads(json.dumps(record)))
    assert type(restored) is np.ndarray
    assert (restored.dtype, restored.shape) == (array.dtype, array.shape)
    assert str(restored.dtype) == str(array.dtype)
    assert restored.tobytes() == array.tobytes()
    assert restored.flags.c_contiguous and not restored.flags.writeable
    if restored.size:
        with pytest.raises(ValueError, match="read-only"):
            restored.flat[0] = restored.flat[0]


def test_record_format(vault):
    record = vault.encrypt(KEY, b"secret payload")
    assert list(record) == ["ciphertext", "nonce", "tag"]
    assert len(record["ciphertext"]) == 28 and len(record["nonce"]) == len(record["tag"]) == 32
    assert all(c in "0123456789abcdef" for c in "".join(record.values()))
    assert all(type(n) is int for n in vault.encrypt(KEY, np.zeros((2, 3)))["shape"])
    empty = vault.encrypt(KEY, b"")
    assert empty["ciphertext"] == "" and vault.decrypt(KEY, empty) == b""
    # A bytes subclass is a payload; what comes back is plain bytes.
    restored = vault.decrypt(KEY, vault.encrypt(KEY, type("Payload", (bytes,), {})(b"abc")))
    assert type(restored) is bytes and restored == b"abc"


def test_every_record_gets_a_fresh_nonce(vault):
    first, second = vault.encrypt(KEY, b"same"), vault.encrypt(KEY, b"same")
    assert first["nonce"] != second["nonce"] and first["ciphertext"] != second["ciphertext"]
    assert vault.decrypt(KEY, first) == vault.decrypt(KEY, second) == b"same"


@pytest.mark.parametrize("size", [16, 24, 32])
def test_all_aes_key_sizes(vault, size):
    key = bytes(range(size))
    assert vault.decrypt(key, vault.encrypt(key, b"data")) == b"data"


def test_hex_fields_accept_upper_case_and_whitespace(vault):
    record = vault.encrypt(KEY, np.arange(3, dtype=np.int16))
    for field in HEX_FIELDS:
        changed = dict(record, **{field: record[field].upper()})
        assert vault.decrypt(KEY, changed).tolist() == [0, 1, 2]
    spaced = {f: bytes.fromhex(record[f]).hex(" ") for f in HEX_FIELDS}
    assert vault.decrypt(KEY, dict(record, **spaced)).tolist() == [0, 1, 2]


def test_metadata_is_not_authenticated(vault):
    array = np.arange(6, dtype=np.int16).reshape(2, 3)
    record = vault.encrypt(KEY, array)
    assert vault.decrypt(KEY, dict(record, shape=[3, 2])).tolist() == [[0, 1], [2, 3], [4, 5]]
    assert vault.decrypt(KEY, dict(record, shape=(6,))).shape == (6,)
    assert vault.decrypt(KEY, dict(record, shape=iter([1, 6]))).shape == (1, 6)
    without_dtype = {k: v for k, v in record.items() if k != "dtype"}
    without_shape = {k: v for k, v in record.items() if k != "shape"}
    assert vault.decrypt(KEY, without_dtype) == array.tobytes()
    assert vault.decrypt(KEY, without_shape) == array.tobytes()
    assert vault.decrypt(KEY, dict(record, version=2, extra=None)).tolist() == array.tolist()
    swapped = vault.decrypt(KEY, dict(record, dtype="int32", shape=[3]))
    assert swapped.tolist() == np.frombuffer(array.tobytes(), np.int32).tolist()


def _assert_decryption_failure(info, records, cause_type):
    """One ValueError chained from the caught error, logged once at ERROR."""
    error = info.value
    cause = error.__cause__
    assert type(cause) is cause_type and error.__context__ is cause and error.__suppress_context__
    assert str(error) == "Decryption failed: " + str(cause)
    assert len(records) == 1
    record = records[0]
    assert (record.levelno, record.name) == (logging.ERROR, "orvex.vault")
    assert record.getMessage() == "Decryption failed (tampering or wrong key): " + str(cause)
    assert record.args == () and record.exc_info is None


def _flip(text):
    return format(int(text[:2] or "00", 16) ^ 1, "02x") + text[2:]


@pytest.mark.parametrize(
    "change, cause_type, message",
    [
        (lambda r: r.pop("ciphertext"), KeyError, "Decryption failed: 'ciphertext'"),
        (lambda r: r.pop("nonce"), KeyError, "Decryption failed: 'nonce'"),
        (lambda r: r.pop("tag"), KeyError, "Decryption failed: 'tag'"),
        (lambda r: r.update(ciphertext="zz"), ValueError, None),
        (lambda r: r.update(nonce="0"), ValueError, None),
        (lambda r: r.update(tag="0x00"), ValueError, None),
        (lambda r: r.update(ciphertext=_flip(r["ciphertext"])), ValueError, None),
        (lambda r: r.update(nonce=_flip(r["nonce"])), ValueError, None),
        (lambda r: r.update(tag=_flip(r["tag"])), ValueError, None),
        (lambda r: r.update(tag=r["tag"][:24]), ValueError, None),  # truncated tag
        (lambda r: r.update(ciphertext=r["ciphertext"] + "00"), ValueError, None),
        (lambda r: r.update(nonce=""), ValueError, None),  # the cipher refuses an empty nonce
        (lambda r: r.update(shape=[5]), ValueError, None),  # element count differs
        (lambda r: r.update(dtype="float64"), ValueError, None),  # 12 bytes of 8-byte items
        (lambda r: r.update(dtype="O"), ValueError, None),
        (lambda r: r.update(shape=[2**70]), ValueError, None),
    ],
)
def test_decryption_failures_are_logged_and_chained(vault, vault_log, change, cause_type, message):
    record = vault.encrypt(KEY, np.arange(6, dtype=np.int16))
    change(record)
    with pytest.raises(ValueError) as info:
        vault.decrypt(KEY, record)
    _assert_decryption_failure(info, vault_log(), cause_type)
    assert message is None or str(info.value) == message


@pytest.mark.parametrize("key", [bytes(32), KEY[:16], KEY[:24], b"k" * 20, b""])
def test_wrong_key(vault, vault_log, key):
    record = vault.encrypt(KEY, b"payload")
    with pytest.raises(ValueError) as info:
        vault.decrypt(key, record)
    _assert_decryption_failure(info, vault_log(), ValueError)


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda r: r.update(ciphertext=None), TypeError),
        (lambda r: r.update(tag=list(r["tag"])), TypeError),
        (lambda r: r.update(dtype="no such dtype"), TypeError),
        (lambda r: r.update(shape=6), TypeError),
        (lambda r: r.update(shape=[2, "3"]), TypeError),
    ],
)
def test_other_errors_pass_through_unlogged(vault, vault_log, change, error):
    record = vault.encrypt(KEY, np.arange(6, dtype=np.int16))
    change(record)
    with pytest.raises(error) as info:
        vault.decrypt(KEY, record)
    assert type(info.value) is error and info.value.__cause__ is None
    assert vault_log() == []


def test_hex_fields_as_ascii_bytes(vault, vault_log):
    """Read as bytes.fromhex reads them on this interpreter: as the same hex
    text from 3.14 on; before, a TypeError passed through unlogged."""
    array = np.arange(6, dtype=np.int16)
    record = vault.encrypt(KEY, array)
    for field in HEX_FIELDS:
        as_bytes = dict(record, **{field: record[field].encode()})
        if reference.FROMHEX_READS_BYTES:
            np.testing.assert_array_equal(vault.decrypt(KEY, as_bytes), array)
        else:
            with pytest.raises(TypeError) as info:
                vault.decrypt(KEY, as_bytes)
            assert info.value.__cause__ is None
    assert vault_log() == []
    zero_nonce = dict(record, nonce=b"00" * 16)
    if reference.FROMHEX_READS_BYTES:
        with pytest.raises(ValueError, match="^Decryption failed: MAC check failed$"):
            vault.decrypt(KEY, zero_nonce)
        assert len(vault_log()) == 1
    else:
        with pytest.raises(TypeError):
            vault.decrypt(KEY, zero_nonce)
        assert vault_log() == []


def test_failure_inside_an_except_block_keeps_the_outer_context(vault, vault_log):
    try:
        raise RuntimeError("outer")
    except RuntimeError as exc:
        outer = exc
        with pytest.raises(ValueError) as info:
            vault.decrypt(KEY, {})
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__cause__.__context__ is outer


@pytest.mark.parametrize("payload", [bytearray(b"x"), memoryview(b"x"), None, "text", [1], 3])
def test_payload_must_be_an_array_or_bytes(vault, vault_log, payload):
    with pytest.raises(TypeError) as info:
        vault.encrypt(KEY, payload)
    assert str(info.value) == f"Expected np.ndarray or bytes, got {type(payload)}"
    assert vault_log() == []


def test_encrypt_passes_cipher_errors_through_unlogged(vault, vault_log):
    with pytest.raises(ValueError) as info:
        vault.encrypt(b"k" * 20, b"x")
    assert "Decryption" not in str(info.value) and info.value.__cause__ is None
    assert vault_log() == []


UNRESTORABLE = {
    "object": lambda: np.array([1, None], dtype=object),
    "structured": lambda: np.zeros(2, [("a", "<i4"), ("b", "<f8")]),
    "structured with object": lambda: np.zeros(2, [("a", "O")]),
    "aligned structured": lambda: np.zeros(2, np.dtype([("a", "u1"), ("b", "f8")], align=True)),
    "zero-size items": lambda: np.zeros(3, "V"),
}
if hasattr(np, "dtypes") and hasattr(np.dtypes, "StringDType"):
    UNRESTORABLE["variable-width strings"] = lambda: np.array(["x"], np.dtypes.StringDType())


@pytest.mark.parametrize("make", UNRESTORABLE.values(), ids=UNRESTORABLE.keys())
def test_arrays_a_record_cannot_restore_are_refused_before_encryption(monkeypatch, vault, make):
    array = make()
    monkeypatch.setattr(vault_module, "AES", types.SimpleNamespace())  # encryption must not start
    with pytest.raises(TypeError) as info:
        vault.encrypt(KEY, array)
    assert str(info.value).startswith(f"Cannot encrypt an array of dtype {array.dtype}: ")

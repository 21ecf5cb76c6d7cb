"""Hostile arguments and record values: always a Python exception of the
documented kind, never a crash, a leak or a borrowed reference gone stale."""

import logging
import types

import numpy as np
import pytest

import orvex.vault as vault_module
import reference
from conftest import assert_no_leaks
from orvex.vault import AESVault

KEY = bytes(range(32))


class Boom(Exception):
    pass


def _raise(*args):
    raise Boom("hostile")


class Hostile:
    """Every conversion and comparison raises."""

    __index__ = __int__ = __float__ = __eq__ = __hash__ = __len__ = __iter__ = __bool__ = _raise
    __str__ = __repr__ = _raise


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.fixture
def record():
    return AESVault().encrypt(KEY, np.arange(6, dtype=np.int16))


HostileBytes = type("HostileBytes", (bytes,), {"__eq__": _raise, "__hash__": _raise})


@pytest.mark.parametrize(
    "key", [None, 0, -(2**100), "k" * 10**6, Hostile(), bytearray(KEY), HostileBytes(KEY)])
def test_hostile_keys_fail_the_type_check(record, key):
    for call in (lambda: AESVault().encrypt(key, b""), lambda: AESVault().decrypt(key, record)):
        with pytest.raises(TypeError, match=r"^Argument 'key' has incorrect type \(expected bytes"):
            call()


@pytest.mark.parametrize("payload", [Hostile(), 2**100, "x" * 10**6, {"a": 1}, [b"x"], object])
def test_hostile_payloads_are_refused(payload):
    with pytest.raises(TypeError, match="^Expected np.ndarray or bytes, got <class "):
        AESVault().encrypt(KEY, payload)


class BadBytes(np.ndarray):
    tobytes = _raise


class BadDtype(np.ndarray):
    dtype = property(_raise)


@pytest.mark.parametrize("payload", [np.zeros(2).view(BadBytes), np.zeros(2).view(BadDtype),
                                     type("Meta", (type,), {"__str__": _raise})("X", (), {})()])
def test_errors_of_misbehaving_payloads_pass_through(payload):
    with pytest.raises(Boom):
        AESVault().encrypt(KEY, payload)


@pytest.mark.parametrize("mapping", [type("HostileDict", (dict,), {"__getitem__": _raise}),
                                     types.MappingProxyType])
def test_mappings_other_than_dict_are_refused(record, mapping):
    with pytest.raises(TypeError, match="^Argument 'record' has incorrect type"):
        AESVault().decrypt(KEY, mapping(record))


@pytest.mark.parametrize("field", ["ciphertext", "nonce", "tag"])
@pytest.mark.parametrize("value", [None, 5, b"00", ["00"], {"hex": "00"}, Hostile()])
def test_non_string_hex_fields_raise_typeerror_unlogged(record, vault_log, field, value):
    record[field] = value
    if type(value) is bytes and reference.FROMHEX_READS_BYTES:
        # Read as the hex text "00": one byte, which fails authentication.
        with pytest.raises(ValueError, match="^Decryption failed"):
            AESVault().decrypt(KEY, record)
        assert [r.levelname for r in vault_log()] == ["ERROR"]
        return
    with pytest.raises(TypeError):
        AESVault().decrypt(KEY, record)
    assert vault_log() == []


@pytest.mark.parametrize(
    "field, value, error",
    [
        ("shape", [Hostile()], Boom),
        ("shape", Hostile(), Boom),
        ("shape", [[2], [3]], TypeError),
        ("shape", {"a": 6}, TypeError),  # iterates the keys: "a" is no integer
        ("shape", [Index(ValueError("index"))], ValueError),  # a decryption failure
        ("shape", [Index(KeyError("index"))], ValueError),  # a decryption failure too
        ("dtype", [("a", "i2")], None),  # a list is a valid np.dtype argument
        ("dtype", {"nested": {"dict": 1}}, ValueError),  # np.dtype refuses it with ValueError
        ("dtype", [("a", "O")], ValueError),  # no object pointers from decrypted bytes
        ("dtype", Hostile(), (Boom, TypeError)),  # older NumPy replaces the error
    ],
)
def test_hostile_metadata(record, vault_log, field, value, error):
    record[field] = value
    if error is None:
        assert AESVault().decrypt(KEY, record).shape == (6,)
        return
    with pytest.raises(error) as info:
        AESVault().decrypt(KEY, record)
    assert len(vault_log()) == (error is ValueError)
    if error is ValueError:
        assert str(info.value).startswith("Decryption failed: ") and info.value.__cause__


class CollidingKey(str):
    """A record key with the hash of a field name: looking that field up
    compares against it and so runs `action`."""

    armed = False

    def __new__(cls, field, action):
        self = super().__new__(cls, "x-" + field)
        self.field, self.action = field, action
        return self

    def __hash__(self):
        return hash(self.field)

    def __eq__(self, other):
        if CollidingKey.armed:
            self.action()
        return False


@pytest.mark.parametrize("field", ["ciphertext", "nonce", "tag", "shape", "dtype"])
@pytest.mark.parametrize("exc", [Boom("eq"), ValueError("eq"), KeyError("eq")], ids=repr)
def test_colliding_keys_with_raising_eq(record, vault_log, monkeypatch, field, exc):
    hostile = {CollidingKey(field, lambda: Index(exc).__index__()): 1, **record}
    monkeypatch.setattr(CollidingKey, "armed", True)
    with pytest.raises(Boom if isinstance(exc, Boom) else ValueError) as info:
        AESVault().decrypt(KEY, hostile)
    assert info.value is exc or info.value.__cause__ is exc
    assert len(vault_log()) == (not isinstance(exc, Boom))


@pytest.mark.parametrize("field", ["ciphertext", "tag", "shape"])
def test_a_record_emptied_during_lookup(record, monkeypatch, field):
    hostile = {}
    hostile[CollidingKey(field, hostile.clear)] = 1
    hostile.update(record)
    monkeypatch.setattr(CollidingKey, "armed", True)
    try:
        result = AESVault().decrypt(KEY, hostile)
    except ValueError as exc:
        assert isinstance(exc.__cause__, KeyError)
    else:
        assert isinstance(result, (bytes, np.ndarray))


def test_reentrant_globals_hit_the_recursion_limit(monkeypatch):
    new = lambda key, mode: AESVault().encrypt(key, b"again")
    monkeypatch.setattr(vault_module, "AES", types.SimpleNamespace(new=new, MODE_GCM=0))
    with pytest.raises(RecursionError):
        AESVault().encrypt(KEY, b"x")


def _exercise(record, bad):
    vault = AESVault()
    vault.decrypt(KEY, vault.encrypt(KEY, np.arange(8.0).reshape(2, 4)))
    vault.decrypt(KEY, vault.encrypt(KEY, b"bytes"))
    for call in (lambda: vault.decrypt(KEY, bad), lambda: vault.decrypt(KEY, {"ciphertext": None}),
                 lambda: vault.encrypt("key", b""), lambda: vault.encrypt(KEY, np.array([None])),
                 lambda: vault.encrypt(KEY, np.zeros(1, [("a", "i4")])),
                 lambda: AESVault.decrypt(None, KEY, record, extra=1),
                 lambda: AESVault.encrypt(None, KEY, b"", 4)):
        with pytest.raises((ValueError, TypeError)):
            call()


def test_no_leaks_over_many_calls(record, monkeypatch):
    monkeypatch.setattr(logging.getLogger("orvex.vault"), "disabled", True)
    bad = dict(record, tag="00" * 16)
    calls = 200

    def run_round():
        for _ in range(calls):
            _exercise(record, bad)

    assert_no_leaks(run_round, [KEY, record, bad, AESVault.encrypt, AESVault.decrypt], calls,
                    "AESVault")

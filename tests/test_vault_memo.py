"""The vault reuses dtype work only while its np is NumPy itself, with results
identical to doing the work every time."""

import types

import numpy as np
import pytest

import orvex.vault
from test_vault import ARRAYS, KEY


def numpy_proxy():
    """A stand-in for the np global that behaves like NumPy but is not it."""
    proxy = types.ModuleType("numpy_proxy")
    proxy.__getattr__ = lambda name: getattr(np, name)
    return proxy


def seal_and_open(vault, array):
    record = vault.encrypt(KEY, array)
    opened = vault.decrypt(KEY, record)
    return {k: record[k] for k in ("shape", "dtype")}, opened


def test_remembered_dtypes_give_what_fresh_work_gives(monkeypatch, vault):
    arrays = [make() for make in ARRAYS.values()]
    # Twice over, so the second round runs on remembered dtypes and texts.
    remembered = [seal_and_open(vault, a) for a in arrays + arrays]
    monkeypatch.setattr(orvex.vault, "np", numpy_proxy())
    fresh = [seal_and_open(vault, a) for a in arrays + arrays]
    for (meta, opened), (meta_fresh, opened_fresh) in zip(remembered, fresh):
        assert meta == meta_fresh
        assert opened.dtype == opened_fresh.dtype and opened.shape == opened_fresh.shape
        assert opened.tobytes() == opened_fresh.tobytes()


def test_many_dtypes_cycle_through_the_memo(vault):
    # More distinct dtypes and texts than the memo keeps.
    dtypes = [f"{order}{kind}{size}" for order in "<>" for kind in "iuf" for size in (2, 4, 8)]
    dtypes += [f"S{n}" for n in range(1, 60)] + [f"<U{n}" for n in range(1, 20)]
    for _ in range(2):
        for text in dtypes:
            array = np.zeros(3, dtype=text)
            record = vault.encrypt(KEY, array)
            assert record["dtype"] == str(array.dtype)
            assert vault.decrypt(KEY, record).dtype == array.dtype


def test_a_replaced_numpy_dtype_is_used_not_remembered(monkeypatch, vault):
    record = vault.encrypt(KEY, np.arange(3, dtype=np.int16))
    vault.decrypt(KEY, record)  # remembered under the genuine np.dtype
    seen, real = [], np.dtype

    def spy(text):
        seen.append(text)
        return real(text)

    monkeypatch.setattr(np, "dtype", spy)
    vault.decrypt(KEY, record)
    vault.encrypt(KEY, np.arange(3, dtype=np.int16))
    assert seen == ["int16", "int16"]  # decrypt parses again, encrypt checks again


def test_refused_dtypes_are_refused_every_time(vault):
    for _ in range(3):
        with pytest.raises(TypeError, match="dtype object"):
            vault.encrypt(KEY, np.array([None], dtype=object))


def test_hex_of_a_bytes_subclass_comes_from_its_own_method(monkeypatch, vault):
    class Shouting(bytes):
        def hex(self):
            return bytes(self).hex().upper()

    class Cipher:
        nonce = Shouting(bytes(16))

        def encrypt_and_digest(self, plaintext):
            return Shouting(plaintext), b"\xab" * 16

    fake = types.SimpleNamespace(MODE_GCM=object(), new=lambda key, mode: Cipher())
    monkeypatch.setattr(orvex.vault, "AES", fake)
    record = vault.encrypt(KEY, b"\xca\xfe")
    assert (record["ciphertext"], record["nonce"], record["tag"]) == ("CAFE", "00" * 16, "ab" * 16)

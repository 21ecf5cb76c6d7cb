"""Published AES-GCM vectors with 16-byte nonces, read and written as vault records."""

import json
import logging
import pathlib
import types

import pytest
from Crypto.Cipher import AES

import orvex.vault as vault_module
from orvex.vault import AESVault

_DATA = json.loads(
    (pathlib.Path(__file__).parent / "data" / "wycheproof_gcm_iv128.json").read_text())
VECTORS = _DATA["vectors"]
VALID = [v for v in VECTORS if v["valid"]]


def _record(vector):
    return {field: vector[field] for field in ("ciphertext", "nonce", "tag")}


def _flip_bit(hex_text, bit):
    data = bytearray.fromhex(hex_text)
    data[bit // 8] ^= 0x80 >> (bit % 8)
    return data.hex()


@pytest.fixture(autouse=True)
def _quiet_vault_log(caplog):
    # Hundreds of expected failures: keep their log records out of the report.
    caplog.set_level(logging.CRITICAL + 1, logger="orvex.vault")


def test_the_selection_covers_every_key_size():
    assert {len(v["key"]) * 4 for v in VALID} == {128, 192, 256}
    assert all(len(v["nonce"]) == 32 and len(v["tag"]) == 32 for v in VECTORS)


@pytest.mark.parametrize("vector", VECTORS, ids=lambda v: f"id{v['id']}")
def test_vectors(monkeypatch, vector):
    key, plaintext = bytes.fromhex(vector["key"]), bytes.fromhex(vector["plaintext"])
    vault = AESVault()
    if not vector["valid"]:
        with pytest.raises(ValueError, match="^Decryption failed: "):
            vault.decrypt(key, _record(vector))
        return
    assert vault.decrypt(key, _record(vector)) == plaintext
    # With the cipher's nonce pinned to the vector's, encrypt writes exactly
    # the vector's record.
    pinned = types.SimpleNamespace(
        MODE_GCM=AES.MODE_GCM,
        new=lambda k, mode: AES.new(k, mode, nonce=bytes.fromhex(vector["nonce"])))
    monkeypatch.setattr(vault_module, "AES", pinned)
    assert vault.encrypt(key, plaintext) == _record(vector)


FLIPS = [(v, f) for v in VALID for f in ("ciphertext", "tag", "nonce") if v[f]]


@pytest.mark.parametrize("vector, field", FLIPS, ids=[f"id{v['id']}-{f}" for v, f in FLIPS])
def test_a_flipped_bit_is_detected(vector, field):
    bit = (vector["id"] * 37) % (len(vector[field]) * 4)  # a different position for each vector
    record = dict(_record(vector), **{field: _flip_bit(vector[field], bit)})
    with pytest.raises(ValueError, match="^Decryption failed: "):
        AESVault().decrypt(bytes.fromhex(vector["key"]), record)


def test_every_single_bit_flip_of_one_record_is_detected():
    vector = max(VALID, key=lambda v: len(v["plaintext"]))
    key, vault = bytes.fromhex(vector["key"]), AESVault()
    for field in ("ciphertext", "tag", "nonce"):
        for bit in range(len(vector[field]) * 4):
            record = dict(_record(vector), **{field: _flip_bit(vector[field], bit)})
            with pytest.raises(ValueError):
                vault.decrypt(key, record)

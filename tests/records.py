"""Helper data and vault records made with fixed seeds and nonces.

Run as a script, it writes them as JSON with the inputs that made them:

    python tests/records.py OUT.json

Records are stored data, so every build, on every interpreter and NumPy,
must open records written by any other and must write the same records
from the same inputs, bit for bit. test_stored_records.py reads the copy
committed in tests/data/ and any files that other interpreters wrote.
"""
import json
import math
import platform
import sys
import types

import numpy as np
from Crypto.Cipher import AES

import orvex.fuzzy as fuzzy
import orvex.vault as vault
from orvex.fuzzy import FuzzyExtractor
from orvex.vault import AESVault

# (n_features, dtype, shape, n_lockers, locker_size, secret size, seed)
FUZZY = [
    (8, "float64", [8], 4, 8, 16, "00000001"),
    (32, "float32", [4, 8], 16, 8, 1, "00000000"),
    (32, "int16", [32], 16, 4, 32, "ffffffff"),
    (64, "bool", [2, 4, 8], 8, 3, 16, "12345678"),
    (512, "float64", [512], 64, 8, 16, "deadbeef"),
    (512, "uint8", [16, 32], 4, 40, 24, "0badf00d"),
    (20000, "float64", [20000], 2, 500, 16, "7fffffff"),
]
# (key size, payload, nonce)
VAULT = [
    (32, ("bytes", b""), "00" * 16),
    (16, ("bytes", b"x"), "01" * 16),
    (24, ("bytes", bytes(range(256)) * 4), "ff" * 16),
    (32, ("array", "float64", [2, 3], "C"), "0f" * 16),
    (32, ("array", ">i4", [5], "C"), "10" * 16),
    (16, ("array", "float32", [], "C"), "a5" * 16),
    (32, ("array", "uint8", [0, 4], "C"), "5a" * 16),
    (32, ("array", "complex128", [2, 2], "F"), "3c" * 16),
    (24, ("array", "bool", [3, 1, 2], "C"), "c3" * 16),
    (32, ("array", "<U3", [2], "C"), "77" * 16),
    (32, ("array", "S4", [3], "C"), "88" * 16),
    (32, ("array", "datetime64[s]", [2], "C"), "99" * 16),
    (32, ("array", "<f2", [4], "C"), "e1" * 16),
]


def values(n, phase):
    """n deterministic values of both signs, none zero."""
    return [math.sin(1.7 * i + phase) or 0.5 for i in range(n)]


def feature(n, dtype, shape, phase=0.0):
    raw = values(n, phase)
    if dtype == "bool":
        return np.array([v > 0 for v in raw], dtype=bool).reshape(shape)
    if dtype in ("int16", "uint8"):
        # uint8: zero and positive values only, so that some bits are 0
        return np.array([max(int(v * 100), 0) if dtype == "uint8" else int(v * 100) for v in raw],
                        dtype=dtype).reshape(shape)
    return np.array(raw, dtype=dtype).reshape(shape)


def payload(spec):
    if spec[0] == "bytes":
        return spec[1]
    _, dtype, shape, order = spec
    count = math.prod(shape)
    dt = np.dtype(dtype)
    if dt.kind == "U":
        flat = np.array(["a", "bc", "def", "\u00e9\u4e2d"][:count], dtype=dt)
    elif dt.kind == "S":
        flat = np.array([b"ab", b"cdef", b"\x00\xff"][:count], dtype=dt)
    elif dt.kind == "M":
        flat = np.array([0, 1_700_000_000][:count], dtype=dt)
    elif dt.kind == "b":
        flat = np.array([i % 3 == 0 for i in range(count)], dtype=dt)
    elif dt.kind == "c":
        flat = np.array([complex(v, -v) for v in values(count, 1.0)], dtype=dt)
    else:
        flat = np.array([v * 50 for v in values(count, 2.0)]).astype(dt)
    return np.array(flat.reshape(shape), order=order)


def encode_array(array):
    return {"dtype": str(array.dtype), "shape": list(array.shape), "data": array.tobytes().hex()}


def decode_array(stored):
    data = bytes.fromhex(stored["data"])
    return np.frombuffer(data, dtype=np.dtype(stored["dtype"])).reshape(stored["shape"]).copy()


def lock(extractor, feature_array, secret, seed):
    saved = fuzzy.secrets
    fuzzy.secrets = types.SimpleNamespace(token_bytes=lambda n: bytes.fromhex(seed)[:n])
    try:
        return extractor.lock_secret(feature_array, secret)
    finally:
        fuzzy.secrets = saved


def encrypt(key, plain, nonce):
    saved = vault.AES
    vault.AES = types.SimpleNamespace(
        new=lambda k, mode: AES.new(k, mode, nonce=bytes.fromhex(nonce)), MODE_GCM=AES.MODE_GCM)
    try:
        return AESVault().encrypt(key, plain)
    finally:
        vault.AES = saved


def probe_of(enrolled):
    """A similar probe: a few elements zeroed, so some lockers disagree."""
    probe = enrolled.copy().reshape(-1)
    probe[1::max(probe.size // 6, 2)] = 0
    return probe.reshape(enrolled.shape)


def features(recipe):
    """The enrolled feature and its probe, from their recipe in a case."""
    enrolled = feature(recipe["n"], recipe["dtype"], recipe["shape"])
    return enrolled, probe_of(enrolled)


def fuzzy_case(n, dtype, shape, n_lockers, locker_size, secret_size, seed):
    recipe = {"n": n, "dtype": dtype, "shape": shape}
    enrolled, probe = features(recipe)
    secret = bytes((7 * i + 3) % 256 for i in range(secret_size))
    extractor = FuzzyExtractor(n_lockers, locker_size)
    record = lock(extractor, enrolled, secret, seed)
    found, stats = extractor.unlock_secret(probe, record)
    # Features are stored as their recipe (a formula of sines, far from zero
    # where it matters) to keep the file small; their bits decide the records.
    return {"feature": recipe, "bits": "".join(map(str, extractor._binarize(enrolled))),
            "secret": secret.hex(),
            "n_lockers": n_lockers, "locker_size": locker_size, "seed": seed, "record": record,
            "probe_result": {"secret": None if found is None else found.hex(),
                             "ratio": stats["ratio"]}}


def vault_case(key_size, spec, nonce):
    key = bytes(range(100, 100 + key_size))
    plain = payload(spec)
    stored = plain.hex() if isinstance(plain, bytes) else encode_array(plain)
    return {"key": key.hex(), "payload": stored, "nonce": nonce, "record": encrypt(key, plain, nonce)}


def all_records():
    return {
        "writer": {"python": platform.python_version(), "numpy": np.__version__},
        "fuzzy": [fuzzy_case(*case) for case in FUZZY],
        "vault": [vault_case(*case) for case in VAULT],
    }


if __name__ == "__main__":
    with open(sys.argv[1], "w") as out:
        json.dump(all_records(), out, indent=1)
        out.write("\n")

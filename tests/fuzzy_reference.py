"""A plain-Python account of the helper-data format, for checking records bit for bit."""

import hashlib

import numpy as np


def locker_indices(seed_hex, n_features, locker_size, count):
    rng = np.random.default_rng(int.from_bytes(bytes.fromhex(seed_hex), "big"))
    return [rng.choice(n_features, size=locker_size, replace=False) for _ in range(count)]


def pad(bits, indices):
    return hashlib.sha256("".join(str(bits[j]) for j in indices).encode()).digest()


def xor(data, pad_bytes):
    return bytes(a ^ b for a, b in zip(data, pad_bytes))


def sign_bits(feature):
    return [1 if v > 0 else 0 for v in np.asarray(feature).ravel().tolist()]


def record(bits, secret, seed_hex, n_lockers, locker_size):
    positions = locker_indices(seed_hex, len(bits), locker_size, n_lockers)
    return {
        "seed": seed_hex,
        "lockers": [xor(secret, pad(bits, idx)).hex() for idx in positions],
        "secret_hash": hashlib.sha256(secret).hexdigest(),
        "n_features": len(bits),
    }

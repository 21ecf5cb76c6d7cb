"""Plain-Python accounts of orvex's operations: the oracle of the fuzz tests.

Each is written as the operation reads in Python, step for step, so that for
any input, hostile ones included, the native code must give the same result or
raise the same exception with the same message. Clock, logger and the secret's
random source are passed in, so that both sides can share them.
"""
import collections
import hashlib
import math
import sys

import numpy as np
from Crypto.Cipher import AES

# bytes.fromhex reads ASCII bytes and other bytes-like objects as well as str
# from 3.14 on; before, anything but str is a TypeError. Every hex field of a
# record is read through it, so which values parse depends on the interpreter.
FROMHEX_READS_BYTES = sys.version_info >= (3, 14)

SUBCLASS_NOTE = (". Subclasses of built-in types are rejected; "
                 "convert the argument to the exact type first.")


def type_name(value):
    """The name a type error reports: the type's tp_name."""
    tp = type(value)
    if tp.__flags__ & (1 << 9) or tp.__module__ == "builtins":  # heap type: bare name
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def incorrect_type(param, expected, value):
    note = SUBCLASS_NOTE if isinstance(value, expected) else ""
    return TypeError(f"Argument '{param}' has incorrect type "
                     f"(expected {expected.__name__}, got {type_name(value)}){note}")


def exact(param, expected, value):
    if type(value) is not expected:
        raise incorrect_type(param, expected, value)
    return value


def to_int(param, value):
    """What binding makes of a parameter annotated "int"."""
    if type(value) is int:
        return value
    tp = type(value)
    if any(hasattr(tp, slot) for slot in ("__index__", "__int__", "__float__")) \
            or isinstance(value, complex):
        return int(value)
    raise TypeError(f"Argument '{param}' has incorrect type (expected int, got {type_name(value)})")


def outcome(operation, *args, **kwargs):
    """("ok", result) or ("raised", type, message): what a call came to."""
    try:
        return ("ok", operation(*args, **kwargs))
    except Exception as e:  # compared, not hidden: every outcome is checked
        return ("raised", type(e), str(e))


# --- vault --------------------------------------------------------------------

def decrypt(key, record):
    exact("key", bytes, key)
    exact("record", dict, record)
    try:
        ciphertext = bytes.fromhex(record["ciphertext"])
        nonce = bytes.fromhex(record["nonce"])
        tag = bytes.fromhex(record["tag"])
        cipher = AES.new(key, AES.MODE_GCM, nonce=nonce)
        plaintext = cipher.decrypt_and_verify(ciphertext, tag)
        if "shape" in record and "dtype" in record:
            dtype = np.dtype(record["dtype"])
            shape = tuple(record["shape"])
            return np.frombuffer(plaintext, dtype=dtype).reshape(shape)
        return plaintext
    except (ValueError, KeyError) as e:
        raise ValueError("Decryption failed: " + str(e)) from e


# --- fuzzy extractor ------------------------------------------------------------

def to_numpy(feature):
    """_to_numpy: PyTorch is tried on every call."""
    try:
        import torch
        if isinstance(feature, torch.Tensor):
            return feature.detach().cpu().numpy().flatten()
    except ImportError:
        pass
    if isinstance(feature, np.ndarray):
        return feature.flatten()
    raise TypeError("Expected torch.Tensor or numpy.ndarray, got " + str(type(feature)))


def binarize(feature):
    if not isinstance(feature, np.ndarray):
        raise TypeError("Expected torch.Tensor or numpy.ndarray, got " + str(type(feature)))
    return (feature.flatten() > 0).astype(int).tolist()


def checked_seed(seed):
    if isinstance(seed, bytes) and len(seed) > 32:
        raise ValueError(f"seed must be at most 32 bytes, got {len(seed)}")
    return seed


def locker_pad(bits, indices):
    """The pad of a locker that sampled `indices`: SHA-256 of their bit text."""
    bit_str = "".join(str(bits[j]) for j in indices)
    return hashlib.sha256(bit_str.encode()).digest()


def xor(data, pad):
    return bytes(a ^ b for a, b in zip(data, pad[:len(data)]))


def locker_positions(seed_hex, n_features, locker_size, count):
    """The positions each of `count` lockers samples, for a record's seed."""
    rng = np.random.default_rng(int.from_bytes(bytes.fromhex(seed_hex), "big"))
    return [rng.choice(n_features, size=locker_size, replace=False) for _ in range(count)]


def _pad(bits, rng, n_features, locker_size):
    return locker_pad(bits, rng.choice(n_features, size=locker_size, replace=False))


def lock_secret(n_lockers, locker_size, feature, secret, token_bytes):
    exact("secret_payload", bytes, secret)
    if not secret:
        raise ValueError("secret_payload must be non-empty bytes")
    bits = binarize(feature)
    if len(bits) < locker_size:
        raise ValueError(f"Feature vector too short ({len(bits)}) for locker_size ({locker_size})")
    locker_seed = checked_seed(token_bytes(4))
    rng = np.random.default_rng(int.from_bytes(locker_seed, "big"))
    lockers = []
    for _ in range(n_lockers):
        pad = _pad(bits, rng, len(bits), locker_size)
        lockers.append(xor(secret, pad).hex())
    return {"seed": locker_seed.hex(), "lockers": lockers,
            "secret_hash": hashlib.sha256(secret).digest().hex(), "n_features": len(bits)}


def unlock_secret(n_lockers, locker_size, feature, helper_data, prob_thresh=0.2):
    prob_thresh = to_float(prob_thresh)
    exact("helper_data", dict, helper_data)
    if math.isnan(prob_thresh):
        raise ValueError("prob_thresh must be a number, not NaN")
    bits = binarize(feature)
    rng = np.random.default_rng(int.from_bytes(checked_seed(bytes.fromhex(helper_data["seed"])),
                                               "big"))
    stored_lockers = helper_data["lockers"]
    n_features = helper_data["n_features"]
    votes = collections.Counter()
    for i in range(len(stored_lockers)):
        pad = _pad(bits, rng, n_features, locker_size)
        cipher = bytes.fromhex(stored_lockers[i])
        votes[xor(cipher, pad)] += 1
    if not votes:
        return None, {"ratio": 0.0}
    best, count = votes.most_common(1)[0]
    ratio = count / n_lockers
    if ratio < prob_thresh:
        return None, {"ratio": ratio}
    if hashlib.sha256(best).digest().hex() == helper_data["secret_hash"]:
        return best, {"ratio": ratio}
    return None, {"ratio": ratio}


# --- rate limiter ----------------------------------------------------------------

def check_window(window):
    if not window >= 1:
        raise ValueError("window_seconds must be >= 1")


class RateLimiter:
    """The limiter, with its module's `time` and `logger` passed in."""

    def __init__(self, clock, logger, soft_limit=5, hard_limit=10, window_seconds=60,
                 suspend_callback=None):
        soft_limit = to_int("soft_limit", soft_limit)
        hard_limit = to_int("hard_limit", hard_limit)
        window_seconds = to_int("window_seconds", window_seconds)
        if soft_limit > hard_limit:
            raise ValueError("soft_limit must be <= hard_limit")
        check_window(window_seconds)
        self.clock, self.logger = clock, logger
        self.soft_limit = soft_limit
        self.hard_limit = hard_limit
        self.window_seconds = window_seconds
        self.suspend_callback = suspend_callback
        self._history = collections.defaultdict(list)
        self._suspended = set()

    def _clean(self, key):
        exact("key", str, key)
        now = self.clock.time()
        window = self.window_seconds
        cutoff = now - window
        check_window(window)
        self._history[key] = [ts for ts in self._history[key] if ts > cutoff]

    def check_and_record(self, key, skip_limit=False):
        skip_limit = bool(skip_limit)
        exact("key", str, key)
        if skip_limit:
            return True, "Rate limit bypassed"
        if key in self._suspended:
            return False, "Suspended"
        self._clean(key)
        count = len(self._history[key])
        if count >= self.hard_limit:
            self._suspended.add(key)
            self.logger.warning(
                f"HARD LIMIT: {key} exceeded {self.hard_limit} events/window \u2014 suspended")
            if self.suspend_callback:
                try:
                    self.suspend_callback(key)
                except Exception as e:
                    self.logger.error(f"Suspend callback failed: {e}")
            return False, f"Rate limit exceeded ({count}/{self.hard_limit}). Suspended."
        if count >= self.soft_limit:
            self.logger.warning(f"SOFT LIMIT: {key} at {count}/{self.soft_limit} events/window")
        self._history[key].append(self.clock.time())
        return True, f"OK ({count + 1}/{self.hard_limit})"

    def get_count(self, key):
        exact("key", str, key)
        self._clean(key)
        return len(self._history[key])

    def is_suspended(self, key):
        exact("key", str, key)
        return key in self._suspended

    def reinstate(self, key):
        exact("key", str, key)
        self._suspended.discard(key)
        self._history[key].clear()
        self.logger.info(f"Reinstated: {key}")

    def reset(self, key):
        exact("key", str, key)
        self._history[key].clear()


def to_float(value):
    """What binding makes of a parameter annotated "float"."""
    tp = type(value)
    if hasattr(tp, "__float__"):
        return float(value)
    if hasattr(tp, "__index__"):
        return float(value.__index__())
    raise TypeError(f"must be real number, not {type_name(value)}")


def fuzzy_init(n_lockers=1024, locker_size=8):
    n_lockers = to_int("n_lockers", n_lockers)
    locker_size = to_int("locker_size", locker_size)
    if n_lockers < 1:
        raise ValueError("n_lockers must be >= 1")
    if locker_size < 1:
        raise ValueError("locker_size must be >= 1")
    return n_lockers, locker_size

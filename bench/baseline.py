"""The same behaviour written as plain Python, as a user without orvex would.

The benchmark runs these side by side with orvex; they are a yardstick, not
part of the package.
"""

import hashlib
import logging
import secrets
import time
from collections import Counter, defaultdict

import numpy as np
from Crypto.Cipher import AES

logger = logging.getLogger("bench.baseline")


class FuzzyExtractor:
    def __init__(self, n_lockers=1024, locker_size=8):
        self.n_lockers = n_lockers
        self.locker_size = locker_size

    def _binarize(self, feature):
        return (np.asarray(feature).flatten() > 0).astype(int).tolist()

    def lock_secret(self, feature, secret_payload):
        bits = self._binarize(feature)
        n_features = len(bits)
        locker_seed = secrets.token_bytes(4)
        rng = np.random.default_rng(int.from_bytes(locker_seed, "big"))
        secret_hash = hashlib.sha256(secret_payload).digest()
        lockers = []
        for _ in range(self.n_lockers):
            indices = rng.choice(n_features, size=self.locker_size, replace=False)
            bit_str = "".join(str(bits[i]) for i in indices)
            pad = hashlib.sha256(bit_str.encode()).digest()[: len(secret_payload)]
            lockers.append(bytes(a ^ b for a, b in zip(secret_payload, pad)).hex())
        return {
            "seed": locker_seed.hex(),
            "lockers": lockers,
            "secret_hash": secret_hash.hex(),
            "n_features": n_features,
        }

    def unlock_secret(self, feature, helper_data, prob_thresh=0.2):
        bits = self._binarize(feature)
        seed_int = int.from_bytes(bytes.fromhex(helper_data["seed"]), "big")
        rng = np.random.default_rng(seed_int)
        n_features = helper_data["n_features"]
        votes = Counter()
        for entry in helper_data["lockers"]:
            indices = rng.choice(n_features, size=self.locker_size, replace=False)
            bit_str = "".join(str(bits[i]) for i in indices)
            cipher = bytes.fromhex(entry)
            pad = hashlib.sha256(bit_str.encode()).digest()[: len(cipher)]
            votes[bytes(a ^ b for a, b in zip(cipher, pad))] += 1
        if not votes:
            return None, {"ratio": 0.0}
        best, count = votes.most_common(1)[0]
        ratio = count / self.n_lockers
        if ratio < prob_thresh:
            return None, {"ratio": ratio}
        if hashlib.sha256(best).digest().hex() == helper_data["secret_hash"]:
            return best, {"ratio": ratio}
        return None, {"ratio": ratio}


class RateLimiter:
    def __init__(self, soft_limit=5, hard_limit=10, window_seconds=60, suspend_callback=None):
        self.soft_limit = soft_limit
        self.hard_limit = hard_limit
        self.window_seconds = window_seconds
        self.suspend_callback = suspend_callback
        self._history = defaultdict(list)
        self._suspended = set()

    def _clean(self, key):
        cutoff = time.time() - self.window_seconds
        self._history[key] = [ts for ts in self._history[key] if ts > cutoff]

    def check_and_record(self, key, skip_limit=False):
        if skip_limit:
            return True, "Rate limit bypassed"
        if key in self._suspended:
            return False, "Suspended"
        self._clean(key)
        count = len(self._history[key])
        if count >= self.hard_limit:
            self._suspended.add(key)
            logger.warning(f"HARD LIMIT: {key} exceeded {self.hard_limit} events/window — suspended")
            if self.suspend_callback:
                try:
                    self.suspend_callback(key)
                except Exception as e:
                    logger.error(f"Suspend callback failed: {e}")
            return False, f"Rate limit exceeded ({count}/{self.hard_limit}). Suspended."
        if count >= self.soft_limit:
            logger.warning(f"SOFT LIMIT: {key} at {count}/{self.soft_limit} events/window")
        self._history[key].append(time.time())
        return True, f"OK ({count + 1}/{self.hard_limit})"


class AESVault:
    def encrypt(self, key, payload):
        if isinstance(payload, np.ndarray):
            plaintext = payload.tobytes()
            metadata = {"shape": list(payload.shape), "dtype": str(payload.dtype)}
        elif isinstance(payload, bytes):
            plaintext, metadata = payload, {}
        else:
            raise TypeError(f"Expected np.ndarray or bytes, got {type(payload)}")
        cipher = AES.new(key, AES.MODE_GCM)
        ciphertext, tag = cipher.encrypt_and_digest(plaintext)
        result = {"ciphertext": ciphertext.hex(), "nonce": cipher.nonce.hex(), "tag": tag.hex()}
        result.update(metadata)
        return result

    def decrypt(self, key, record):
        try:
            ciphertext = bytes.fromhex(record["ciphertext"])
            nonce = bytes.fromhex(record["nonce"])
            tag = bytes.fromhex(record["tag"])
            cipher = AES.new(key, AES.MODE_GCM, nonce=nonce)
            plaintext = cipher.decrypt_and_verify(ciphertext, tag)
            if "shape" in record and "dtype" in record:
                dtype = np.dtype(record["dtype"])
                return np.frombuffer(plaintext, dtype=dtype).reshape(tuple(record["shape"]))
            return plaintext
        except (ValueError, KeyError) as e:
            logger.error(f"Decryption failed (tampering or wrong key): {e}")
            raise ValueError(f"Decryption failed: {e}") from e

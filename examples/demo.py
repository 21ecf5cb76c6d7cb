"""orvex in one run: protect a biometric template, verify probes, throttle a device.

Enrollment binds a fresh 16-byte key to a face embedding with the fuzzy
extractor and seals the embedding itself with that key in the vault; only the
JSON record is kept. A genuine probe (the same face, a little noise) releases
the key, which opens the sealed template. An impostor releases nothing, and a
device that keeps failing is warned, then suspended by the rate limiter until
an operator reinstates it.

    python examples/demo.py
"""

import json
import logging
import secrets
import sys
from typing import Any, Dict

import numpy as np
import numpy.typing as npt

from orvex.fuzzy import FuzzyExtractor
from orvex.limiter import RateLimiter
from orvex.vault import AESVault

Embedding = npt.NDArray[np.float32]

DIMENSIONS = 512
# Noise of a tenth of the features' spread flips about 3% of the sign bits, so
# about 77% of the lockers agree: far above the 20% the extractor asks for. An
# unrelated embedding differs in half of its bits and gets about 1%.
GENUINE_NOISE = 0.1
DEVICE = "10.0.0.7"

rng = np.random.default_rng(7)
extractor = FuzzyExtractor()
vault = AESVault()


def random_embedding() -> Embedding:
    return rng.standard_normal(DIMENSIONS).astype(np.float32)


def enroll(template: Embedding) -> str:
    """The stored enrollment: helper data and the sealed template, as JSON."""
    key = secrets.token_bytes(16)
    record = {
        "helper_data": extractor.lock_secret(template, key),
        "sealed_template": vault.encrypt(key, template),
    }
    return json.dumps(record)


def bits_differing(a: Embedding, b: Embedding) -> float:
    return float(np.mean((a > 0) != (b > 0)))


def verify(stored: Dict[str, Any], probe: Embedding) -> bool:
    """Release the key from the probe; a released key opens the sealed template."""
    key, stats = extractor.unlock_secret(probe, stored["helper_data"])
    agreeing = f"{stats['ratio']:.1%} of lockers agree"
    if key is None:
        print(f"  no match: {agreeing}")
        return False
    template = vault.decrypt(key, stored["sealed_template"])
    assert isinstance(template, np.ndarray)
    print(f"  match: {agreeing}; key released, sealed {template.shape[0]}-d template opened")
    return True


def on_suspend(device: str) -> None:
    print(f"  suspend callback: {device} locked out, operator notified")


def main() -> int:
    logging.basicConfig(
        stream=sys.stdout, level=logging.INFO, format="  [%(levelname)s %(name)s] %(message)s"
    )
    template = random_embedding()
    stored_json = enroll(template)
    stored = json.loads(stored_json)
    lockers = len(stored["helper_data"]["lockers"])
    size = len(stored_json)
    print(f"enrolled a {DIMENSIONS}-d float32 template: {lockers} lockers, {size} bytes of JSON")

    genuine = template + rng.normal(0.0, GENUINE_NOISE, DIMENSIONS).astype(np.float32)
    print(f"genuine probe, {bits_differing(template, genuine):.1%} of bits differ:")
    genuine_ok = verify(stored, genuine)

    impostor = random_embedding()
    print(f"impostor probe, {bits_differing(template, impostor):.1%} of bits differ:")
    impostor_ok = verify(stored, impostor)

    # Failed verifications count against the device; the 6th within a minute suspends it.
    limiter = RateLimiter(
        soft_limit=3, hard_limit=5, window_seconds=60, suspend_callback=on_suspend
    )
    print(f"device {DEVICE} keeps presenting the impostor:")
    for attempt in range(1, 8):
        if limiter.is_suspended(DEVICE):
            print(f"  attempt {attempt}: refused, {DEVICE} is suspended")
            continue
        key, _ = extractor.unlock_secret(impostor, stored["helper_data"])
        if key is None:
            _, message = limiter.check_and_record(DEVICE)
            print(f'  attempt {attempt}: no match, limiter: "{message}"')

    limiter.reinstate(DEVICE)
    print(f"after reinstatement, {DEVICE} presents the genuine probe:")
    reinstated_ok = not limiter.is_suspended(DEVICE) and verify(stored, genuine)

    if genuine_ok and not impostor_ok and reinstated_ok:
        print("done: genuine accepted, impostor rejected and throttled")
        return 0
    print("unexpected outcome", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())

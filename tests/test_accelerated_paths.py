"""The accelerated paths against their references: PCG64 stepped inline
against NumPy's own draws, SHA-256 and hex in SIMD or hardware instructions
against hashlib and bytes.hex/bytes.fromhex (and the portable code that
ORVEX_PORTABLE=1 forces, in a child interpreter), and lock/unlock on threads
that run at once against the literal loops."""
import hashlib
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from Crypto.Cipher import AES
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.fuzzy as fuzzy
import reference
from orvex.fuzzy import FuzzyExtractor
from orvex.vault import AESVault
from conftest import hook_or_skip, run_threads
from test_fuzzy_differential import both, feature, fixed_seed, literal

KEY = bytes(range(32))


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**64 - 1), st.data())
def test_inline_pcg64_draws_as_numpy(seed, data):
    draw = hook_or_skip(fuzzy, "_native_draw_lockers")
    n = data.draw(st.integers(1, 600) | st.integers(10_001, 30_000) | st.integers(2**32 - 2, 2**40),
                  "n")
    k = data.draw(st.integers(0, min(n, 60, n // 50 + 60 if n > 10_000 else n)), "k")
    count = data.draw(st.integers(1, 5), "count")
    inline, capsule, numpy = (np.random.default_rng(seed) for _ in range(3))
    if data.draw(st.booleans(), "odd half buffered"):
        for rng in (inline, capsule, numpy):
            rng.integers(0, 2**32 - 1, dtype=np.uint32)  # leaves NumPy's 32-bit half in the state
    expected = [numpy.choice(n, size=k, replace=False).tolist() for _ in range(count)][-1]
    assert draw(inline, n, k, count, True) == draw(capsule, n, k, count, False) == expected
    # The state goes back through the property: later draws are NumPy's.
    assert inline.bit_generator.state == numpy.bit_generator.state
    assert inline.integers(0, 2**32, size=3).tolist() == numpy.integers(0, 2**32, size=3).tolist()


@pytest.mark.parametrize("n", [2, 3, 7, 16, 33, 64])
def test_inline_draws_where_most_draws_repeat(n):
    """Choices of most or all of a small population: many draws hit a taken
    position and take the bound instead, which later draws must then find
    taken; a slip in either shows as a duplicate or a different order."""
    draw = hook_or_skip(fuzzy, "_native_draw_lockers")
    for k in sorted({1, n // 2, n - 1, n} - {0}):
        for seed in range(8):
            numpy = np.random.default_rng(seed)
            expected = [numpy.choice(n, size=k, replace=False).tolist() for _ in range(3)][-1]
            inline = np.random.default_rng(seed)
            assert draw(inline, n, k, 3, True) == expected
            assert inline.bit_generator.state == numpy.bit_generator.state


def test_inline_steps_refuse_other_bit_generators():
    draw = hook_or_skip(fuzzy, "_native_draw_lockers")
    with pytest.raises(TypeError):
        draw(np.random.Generator(np.random.MT19937(1)), 10, 3, 1, True)
    assert draw(np.random.Generator(np.random.MT19937(1)), 10, 3, 1, False) == \
        np.random.Generator(np.random.MT19937(1)).choice(10, size=3, replace=False).tolist()


PCG64_MULTIPLIER = 0x2360ED051FC65DA44385DF649FCCF645


def generator_drawing_zero(seed, steps_before, half_buffered):
    """A PCG64 generator whose output after `steps_before` steps is 0 (both
    32-bit halves): bounded draws then fall where Lemire's method may reject
    them, and the draws made ahead must give up and start again."""
    rng = np.random.default_rng(seed)
    state = rng.bit_generator.state
    inc = state["state"]["inc"]
    inverse = pow(PCG64_MULTIPLIER, -1, 2**128)
    s = 0  # the state whose output is 0
    for _ in range(steps_before + 1):
        s = (s - inc) * inverse % 2**128
    state["state"]["state"] = s
    state["has_uint32"], state["uinteger"] = (1, 12345) if half_buffered else (0, 0)
    rng.bit_generator.state = state
    return rng


@pytest.mark.parametrize("n, k", [(600, 10), (512, 43), (1024, 1), (20_000, 500), (30, 30)])
def test_inline_draws_around_rejected_words(n, k):
    draw = hook_or_skip(fuzzy, "_native_draw_lockers")
    for steps_before in (0, 1, 20, 60):
        for half_buffered in (False, True):
            inline, capsule, numpy = (generator_drawing_zero(7, steps_before,
                                                             half_buffered) for _ in range(3))
            expected = [numpy.choice(n, size=k, replace=False).tolist() for _ in range(2)][-1]
            assert draw(inline, n, k, 2, True) == draw(capsule, n, k, 2, False) == expected
            assert inline.bit_generator.state == numpy.bit_generator.state
            assert capsule.bit_generator.state == numpy.bit_generator.state


@pytest.mark.parametrize("count", [2**16, 2**16 + 1])  # the choice that goes round, the next
def test_sampler_after_65536_choices(count):
    """Positions are marked with the number of their choice, kept in 16 bits:
    one call of more than 65535 choices goes round, and the numbers start
    again from a clean table."""
    draw = hook_or_skip(fuzzy, "_native_draw_lockers")
    numpy = np.random.default_rng(5)
    expected = [numpy.choice(16, size=4, replace=False) for _ in range(count)][-1].tolist()
    for inline in (True, False):
        rng = np.random.default_rng(5)
        assert draw(rng, 16, 4, count, inline) == expected
        assert rng.bit_generator.state == numpy.bit_generator.state


# Run in a child interpreter, once with the processor's extensions and once
# with ORVEX_PORTABLE=1: digests, hex texts and records against the references.
CHILD = r"""
import hashlib, os
import numpy as np
from Crypto.Cipher import AES
import orvex.fuzzy as fuzzy
from orvex.vault import AESVault

rng = np.random.default_rng(3)
messages = [rng.bytes(n) for n in list(range(200)) + [1000, 4097]] + [b"01" * 16] * 9
sha256 = getattr(fuzzy, "_native_sha256", lambda ms: [hashlib.sha256(m).digest() for m in ms])
assert sha256(messages) == [hashlib.sha256(m).digest() for m in messages]

vault, key = AESVault(), bytes(32)
for size in list(range(0, 130)) + [(64 << 10) - 1, (64 << 10) + 1, 1 << 20]:
    payload = rng.bytes(size)
    record = vault.encrypt(key, payload)
    cipher = AES.new(key, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
    assert record["ciphertext"] == cipher.encrypt(payload).hex(), size
    assert vault.decrypt(key, dict(record, ciphertext=record["ciphertext"].upper())) == payload

x = rng.standard_normal(512)
for size in (8, 32):
    fe = fuzzy.FuzzyExtractor(3000, size)
    record = fe.lock_secret(x, b"secret")
    assert fe.unlock_secret(x, record)[0] == b"secret"

# Pads of one SHA-256 block (the longest text that fits, and one past it) and
# of a table, each locker against hashlib.
bits = (x > 0).astype(int).tolist()
for size in (12, 13, 55, 56):
    record = fuzzy.FuzzyExtractor(301, size).lock_secret(x, b"secret")
    draws = np.random.default_rng(int(record["seed"], 16))
    for locker in record["lockers"]:
        text = "".join(str(bits[j]) for j in draws.choice(512, size=size, replace=False))
        pad = hashlib.sha256(text.encode()).digest()
        assert locker == bytes(a ^ b for a, b in zip(b"secret", pad)).hex(), size
print("agree")
"""


@pytest.mark.parametrize("portable", ["0", "1"])
def test_portable_and_accelerated_code_agree_with_references(portable):
    env = dict(os.environ, ORVEX_PORTABLE=portable)
    result = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "agree"


def test_sha256_across_block_boundaries():
    sha256 = hook_or_skip(fuzzy, "_native_sha256")
    rng = np.random.default_rng(5)
    messages = [rng.bytes(n) for n in (55, 56, 63, 64, 65, 119, 120, 128, 1 << 16)]
    assert sha256(messages) == [hashlib.sha256(m).digest() for m in messages]


def test_sha256_of_runs_of_one_size():
    """Messages of one size that fit one block are hashed four side by side:
    runs of every length up to nine, so that each group's remainder (one to
    three messages) is hashed too, every digest against hashlib."""
    sha256 = hook_or_skip(fuzzy, "_native_sha256")
    rng = np.random.default_rng(6)
    messages = [rng.bytes(20 + run) for run in range(1, 10) for _ in range(run)]
    assert sha256(messages) == [hashlib.sha256(m).digest() for m in messages]


def hex_variants(text):
    """What bytes.fromhex reads, or refuses, at every place the SIMD loops
    split the text: whitespace between and within pairs, either case, odd
    lengths, a stray character in the 32-byte body or in the tail."""
    n = len(text)
    yield text
    yield text.upper()
    for where in (0, 2, 62, 64, n - 2, n):
        for space in (" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\xa0"):
            yield text[:where] + space + text[where:]
    for where in (1, 63, n - 1):
        yield text[:where] + " " + text[where:]
        yield text[:where] + text[where + 1:]
        for stray in ("g", "G", "/", ":", "@", "`", "\x00", "\xe9", "\u0100"):
            yield text[:where] + stray + text[where + 1:]


@pytest.mark.parametrize("size", [16, 47, (64 << 10) + 33])
def test_vault_reads_hex_as_bytes_fromhex(size, vault_log):
    vault = AESVault()
    payload = np.random.default_rng(size).bytes(size)
    record = vault.encrypt(KEY, payload)
    for text in hex_variants(record["ciphertext"]):
        edited = dict(record, ciphertext=text)
        assert reference.outcome(vault.decrypt, KEY, edited) == \
            reference.outcome(reference.decrypt, KEY, edited)


def test_vault_hex_of_large_payloads():
    vault = AESVault()
    payload = np.random.default_rng(1).integers(0, 255, 1 << 18, dtype=np.uint8)
    record = vault.encrypt(KEY, payload)
    cipher = AES.new(KEY, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
    assert record["ciphertext"] == cipher.encrypt(payload.tobytes()).hex()
    assert np.array_equal(vault.decrypt(KEY, record), payload)


SHARED_SEED = b"\x00\x01\x02\x03"
CONFIGS = [(1024, 8, 512), (3000, 32, 512), (2000, 43, 512), (400, 600, 20_000)]


def test_threads_unlocking_at_once_agree_with_the_literal_loops():
    """Each thread unlocks and locks its own records, natively, while the
    others do too: every outcome is the one the literal loops give alone."""
    work = []
    for i, (n_lockers, size, n) in enumerate(CONFIGS):
        fe, x = FuzzyExtractor(n_lockers, size), feature(n, i)
        seed = bytes([i, 1, 2, 3])
        with fixed_seed(seed):
            record = both(lambda: fe.lock_secret(x, b"secret"))
        probe = x.copy()
        probe[: n // 20] *= -1
        with literal(), fixed_seed(SHARED_SEED):
            unlocked = fe.unlock_secret(probe, record)
            relocked = fe.lock_secret(x, b"other")
        work.append((fe, x, probe, record, unlocked, relocked))

    rounds = [0] * len(work)

    def run(i, deadline):
        fe, x, probe, record, unlocked, relocked = work[i]
        while time.monotonic() < deadline:
            assert fe.unlock_secret(probe, record) == unlocked
            assert fe.unlock_secret(probe, record, 0.99) == (None, unlocked[1])
            assert fe.lock_secret(x, b"other") == relocked
            rounds[i] += 1

    with fixed_seed(SHARED_SEED):
        failures = run_threads(run, len(work), 2)
    assert not failures, failures
    assert all(rounds)


@pytest.mark.parametrize("spaced_at", [0, 1, 6])
@pytest.mark.parametrize("masked_first", [True, False])
def test_votes_read_by_fromhex_keep_their_place_among_equals(spaced_at, masked_first):
    """Half the lockers give the secret, half the secret XOR a mask, so the
    vote is a tie that the first candidate produced wins; an entry that only
    bytes.fromhex reads (spaced) must still count where it stands."""
    x = feature(64, 3)
    fe = FuzzyExtractor(8)
    with fixed_seed(b"\x01\x02\x03\x04"):
        record = fe.lock_secret(x, b"secret")
    lockers = [bytes(b ^ 0x5A for b in bytes.fromhex(entry)).hex()
               if (i % 2 == 0) == masked_first else entry
               for i, entry in enumerate(record["lockers"])]
    lockers[spaced_at] = " ".join(lockers[spaced_at][j:j + 2] for j in range(0, 12, 2))
    secret, _ = both(lambda: fe.unlock_secret(x, dict(record, lockers=lockers)))
    assert secret == (None if masked_first else b"secret")


def test_large_hex_on_threads_at_once():
    """Hex of more than 64 KiB is converted without the interpreter lock
    while other threads seal and open records of their own."""
    vault = AESVault()

    def work(i, deadline):
        rng = np.random.default_rng(i)
        while time.monotonic() < deadline:
            payload = rng.bytes((64 << 10) + int(rng.integers(1, 4096)))
            record = vault.encrypt(KEY, payload)
            cipher = AES.new(KEY, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
            assert record["ciphertext"] == cipher.encrypt(payload).hex()
            upper = dict(record, ciphertext=record["ciphertext"].upper())
            assert vault.decrypt(KEY, upper) == payload

    assert not run_threads(work, 3, 1)


"""Hostile records, features, overrides and attributes give Python exceptions, never crashes."""

import hashlib
import sys
import types

import numpy as np
import pytest

import orvex.fuzzy as fuzzy
import reference
from orvex.fuzzy import FuzzyExtractor

from conftest import hook_or_skip  # noqa: E402

SECRET, X = b"s" * 16, np.linspace(-1, 1, 24) + 0.01
NUMPY_ERRORS = (TypeError, ValueError, OverflowError)


@pytest.fixture
def fe():
    return FuzzyExtractor(6)


@pytest.fixture
def rec(fe):
    return fe.lock_secret(X, SECRET)


@pytest.mark.parametrize("key, value, error", [
    ("seed", 5, TypeError), ("seed", "abc", ValueError),
    ("lockers", 3, TypeError), ("lockers", None, TypeError), ("lockers", ["0g"], ValueError),
    ("lockers", [5], TypeError), ("n_features", -3, ValueError), ("n_features", 2**62, IndexError),
    ("n_features", 10**30, NUMPY_ERRORS), ("n_features", "a", NUMPY_ERRORS),
    ("n_features", 3.5, NUMPY_ERRORS),
])
def test_damaged_fields_raise(fe, rec, key, value, error):
    with pytest.raises(error):
        fe.unlock_secret(X, dict(rec, **{key: value}))


def test_long_seeds_are_refused_before_seeding(monkeypatch, fe, rec):
    # NumPy's seeding is quadratic in the seed's size: a 320 kB seed cost
    # seconds. lock_secret writes 4 bytes; up to 32 are read.
    seeded = []
    monkeypatch.setattr(np.random, "default_rng", lambda seed: seeded.append(seed))
    for seed, size in (("ab" * 33, 33), ("00" * 160_000, 160_000)):
        with pytest.raises(ValueError, match=rf"^seed must be at most 32 bytes, got {size}$"):
            fe.unlock_secret(X, dict(rec, seed=seed))
    monkeypatch.setattr(fuzzy, "secrets", types.SimpleNamespace(token_bytes=lambda n: b"s" * 40))
    with pytest.raises(ValueError, match="^seed must be at most 32 bytes, got 40$"):
        fe.lock_secret(X, SECRET)
    assert seeded == []
    monkeypatch.undo()
    assert fe.unlock_secret(X, dict(rec, seed="00" * 28 + rec["seed"])) == (SECRET, {"ratio": 1.0})


def test_hex_fields_as_ascii_bytes(fe, rec):
    """Read as bytes.fromhex reads them on this interpreter: as the same hex
    text from 3.14 on, a TypeError before."""
    as_bytes = dict(rec, seed=rec["seed"].encode(), lockers=[e.encode() for e in rec["lockers"]])
    some_bytes = dict(rec, lockers=rec["lockers"][:-1] + [rec["lockers"][-1].encode()])
    for record in (as_bytes, some_bytes, dict(rec, seed=rec["seed"].encode())):
        if reference.FROMHEX_READS_BYTES:
            assert fe.unlock_secret(X, record) == (SECRET, {"ratio": 1.0})
        else:
            with pytest.raises(TypeError, match="must be str, not bytes"):
                fe.unlock_secret(X, record)
    if reference.FROMHEX_READS_BYTES:  # the seed 00 draws other bits: no locker opens
        assert fe.unlock_secret(X, dict(rec, seed=b"00"))[0] is None
    else:
        with pytest.raises(TypeError):
            fe.unlock_secret(X, dict(rec, seed=b"00"))


def test_keys_are_read_in_order(fe, rec):
    for missing in (("seed", "lockers", "n_features"), ("lockers", "n_features"),
                    ("n_features", "secret_hash"), ("secret_hash",)):
        with pytest.raises(KeyError) as info:
            fe.unlock_secret(X, {k: v for k, v in rec.items() if k not in missing})
        assert info.value.args == missing[:1]
    # secret_hash is only read once the vote passes; a non-str never matches.
    unhashed = {k: rec[k] for k in ("seed", "lockers", "n_features")}
    assert fe.unlock_secret(X, unhashed, 1.5) == (None, {"ratio": 1.0})
    assert fe.unlock_secret(X, dict(rec, secret_hash=5)) == (None, {"ratio": 1.0})
    with pytest.raises(TypeError, match="Expected torch.Tensor"):
        fe.unlock_secret([1.0], {})


def test_lockers_sequence_that_mutates_everything(fe, rec):
    entries, record = list(rec["lockers"]), dict(rec)

    class Lockers:
        def __len__(self):
            return len(entries)

        def __getitem__(self, i):
            record.clear()
            entries.pop()  # shrinks under the loop: a later read fails
            fe.n_lockers = "changed"
            return entries[i]

    record["lockers"] = Lockers()
    with pytest.raises(IndexError):
        fe.unlock_secret(X, record)
    for lockers in (tuple(rec["lockers"]), dict(enumerate(rec["lockers"]))):
        assert FuzzyExtractor(6).unlock_secret(X, dict(rec, lockers=lockers))[0] == SECRET


class Loud:
    def __str__(self):
        raise RuntimeError("no text")


class NotText:
    def __str__(self):
        return 5


@pytest.mark.parametrize("bits, lock_error, unlock_error", [
    (None, TypeError, TypeError), ([1, 0], ValueError, IndexError),
    ([Loud()] * 24, RuntimeError, RuntimeError), ([NotText()] * 24, TypeError, TypeError),
    (["ab", 3.5, b"x", None] * 6, None, None), ({j: j % 2 for j in range(24)}, None, None),
])
def test_odd_binarize_overrides(rec, bits, lock_error, unlock_error):
    odd = type("Odd", (FuzzyExtractor,), {"_binarize": lambda self, feature: bits})(6)
    for run, error in ((lambda: odd.lock_secret(X, SECRET), lock_error),
                       (lambda: odd.unlock_secret(X, rec), unlock_error)):
        if error:
            with pytest.raises(error):
                run()
        else:
            run()


@pytest.mark.parametrize("feature", [np.array([None, 1.0], dtype=object), np.array(["a", "b"])])
def test_incomparable_arrays(fe, rec, feature):
    with pytest.raises(TypeError):
        fe.lock_secret(feature, SECRET)
    with pytest.raises(TypeError):
        fe.unlock_secret(feature, rec)


def test_binarize_result_must_be_a_list(monkeypatch, fe):
    monkeypatch.setattr(fuzzy, "_to_numpy", lambda feature: np.array(3.0))
    with pytest.raises(TypeError, match="^Expected list, got int$"):
        fe._binarize(X)


@pytest.mark.parametrize("attr, value, error", [
    ("n_lockers", "six", TypeError), ("n_lockers", 2.5, TypeError),
    ("n_lockers", 10**40, OverflowError), ("locker_size", "q", TypeError),
    ("locker_size", 2.5, NUMPY_ERRORS), ("locker_size", -1, ValueError),
    ("locker_size", np.int64(30), "Feature vector too short (24) for locker_size (30)"),
])
def test_reassigned_attributes(fe, rec, attr, value, error):
    setattr(fe, attr, value)
    with pytest.raises(ValueError if isinstance(error, str) else error) as info:
        fe.lock_secret(X, SECRET)
    assert not isinstance(error, str) or str(info.value) == error
    fe.n_lockers, fe.locker_size = 0, 8
    with pytest.raises(ZeroDivisionError):
        fe.unlock_secret(X, rec)


def test_secret_checks_come_first_and_draw_nothing(monkeypatch, fe):
    drawn = []
    monkeypatch.setattr(fuzzy, "secrets", types.SimpleNamespace(token_bytes=drawn.append))
    for secret, message in ((b"", "^secret_payload must be non-empty bytes$"),
                            (b"k" * 33, "at most 32 bytes")):
        with pytest.raises(ValueError, match=message):
            fe.lock_secret("not a feature", secret)
    assert drawn == []


@pytest.mark.parametrize("attr, value, message", [
    ("locker_size", 0, "locker_size must be >= 1"), ("locker_size", -2, "locker_size must be >= 1"),
    ("n_lockers", 0, "n_lockers must be >= 1"), ("n_lockers", -3, "n_lockers must be >= 1"),
])
def test_unsafe_reassigned_sizes_are_refused_before_any_draw(monkeypatch, fe, attr, value, message):
    # No bits per locker would leave the secret behind a pad anyone can compute;
    # no lockers would give a record that can never unlock.
    drawn = []
    monkeypatch.setattr(fuzzy, "secrets", types.SimpleNamespace(token_bytes=drawn.append))
    setattr(fe, attr, value)
    with pytest.raises(ValueError, match=f"^{message}$"):
        fe.lock_secret(X, SECRET)
    assert drawn == []


@pytest.mark.parametrize("call, message", [
    (lambda fe: fe.lock_secret(X), "lock_secret() takes exactly 3 positional arguments (2 given)"),
    (lambda fe: fe.unlock_secret(helper_data={}),
     "unlock_secret() takes at least 3 positional arguments (1 given)"),
    (lambda fe: fuzzy._to_numpy(X, bad=1), "_to_numpy() got an unexpected keyword argument 'bad'"),
    (lambda fe: fe.unlock_secret(X, None, "high"), "must be real number, not str"),
])
def test_binding_messages(fe, call, message):
    with pytest.raises(TypeError) as info:
        call(fe)
    assert str(info.value) == message


def test_replaced_hashlib_is_used(monkeypatch, fe):
    """Digests that are not bytes go through the generic XOR, with the same result."""
    monkeypatch.setattr(fuzzy, "secrets", types.SimpleNamespace(token_bytes=lambda n: b"seed"))
    expected = fe.lock_secret(X, SECRET)
    fake = types.SimpleNamespace(sha256=lambda data: types.SimpleNamespace(
        digest=lambda: bytearray(hashlib.sha256(data).digest())))
    monkeypatch.setattr(fuzzy, "hashlib", fake)
    assert fe.lock_secret(X, SECRET) == expected
    assert fe.unlock_secret(X, expected) == (SECRET, {"ratio": 1.0})


def test_only_import_errors_mean_no_torch(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", types.ModuleType("torch"))  # no Tensor
    with pytest.raises(AttributeError):
        fuzzy._to_numpy(X)
    for error, expected in ((ImportError("late"), TypeError), (RuntimeError("lost"), RuntimeError)):
        def detach(self, error=error):
            raise error
        torch = types.ModuleType("torch")
        torch.Tensor = type("Tensor", (), {"detach": detach})
        monkeypatch.setitem(sys.modules, "torch", torch)
        with pytest.raises(expected):
            fuzzy._to_numpy(torch.Tensor())
        assert fuzzy._to_numpy(X.reshape(2, 12)).tolist() == X.tolist()


@pytest.mark.parametrize("n_lockers", [2**61, 2**62, 2**63 - 1])
def test_locker_counts_no_list_can_hold_raise(n_lockers):
    # These aborted the process (an uncaught C++ exception). More lockers than a
    # list can hold is the MemoryError the plain loop would reach, only at once.
    with pytest.raises(MemoryError):
        FuzzyExtractor(n_lockers=n_lockers).lock_secret(X, SECRET)


def colliding_candidates(n, k0=0, k1=0):
    """16-byte candidates that a multiply-xor hash of their words, keyed with
    (k0, k1), sends to one slot: (w0 ^ k0) * A ^ (w1 ^ k1) * B is the same for
    all of them. With no key, the table's hash before it was keyed."""
    m, a, b = 2**64, 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F
    words = [(((0x1234 ^ (v1 * b % m)) * pow(a, -1, m)) % m ^ k0, v1 ^ k1) for v1 in range(1, n + 1)]
    return [w0.to_bytes(8, "little") + w1.to_bytes(8, "little") for w0, w1 in words]


def test_crafted_candidates_do_not_crowd_the_vote_table():
    # An all-negative probe makes every pad SHA-256("00000000"), so whoever
    # writes the lockers chooses every candidate. Counting them must stay
    # linear, even for candidates that collide under the table's own key.
    probes = hook_or_skip(fuzzy, "_native_vote_probes")
    n, k0, k1 = 4096, 0x0123456789ABCDEF, 0xFEDCBA9876543210
    scattered = [np.random.default_rng(i).bytes(16) for i in range(n)]
    crafted = colliding_candidates(n, k0, k1)
    count, rehashed = probes(scattered, k0, k1)
    assert count < 2 * n and not rehashed
    count, rehashed = probes(crafted, k0, k1)  # SipHash takes over
    assert count < 8 * n and rehashed
    assert probes(crafted * 3, k0, k1)[0] < 12 * n  # repeats find their slot as fast
    assert probes(crafted, k0 ^ 1, k1) < (2 * n, True)  # made for another key: no collisions
    assert probes(colliding_candidates(n), k0, k1) < (2 * n, True)  # made for no key


def test_vote_table_probes_as_before():
    """The slots each vote looks at, and when SipHash takes over, are what
    stored records were first counted with: a change in how the table lays
    out or compares candidates shows here before it shifts the fallback."""
    probes = hook_or_skip(fuzzy, "_native_vote_probes")
    n, k0, k1 = 4096, 0x0123456789ABCDEF, 0xFEDCBA9876543210
    scattered = [np.random.default_rng(i).bytes(16) for i in range(n)]
    crafted = colliding_candidates(n, k0, k1)
    mixed = [np.random.default_rng(i % 300).bytes(i % 33) for i in range(5000)]
    assert [probes(c, k0, k1) for c in (scattered, crafted, crafted * 3, mixed)] == [
        (6235, False), (6315, True), (13312, True), (5511, False)]
    assert probes(crafted[:2000] + scattered + crafted, k0 ^ 1, k1) == (11571, False)
    # The slots are kept from vote to vote and freed wholesale only now and
    # then: hundreds of votes in a row, of one size and of another between,
    # each find none taken.
    few, other = scattered[:100], crafted[:20] + scattered[:20]
    first = probes(few, k0, k1), probes(other, k0, k1)
    assert all((probes(few, k0, k1), probes(other, k0, k1)) == first for _ in range(300))


def test_record_crafted_to_collide_unlocks_as_usual():
    n = 4096
    crafted = colliding_candidates(n)
    pad = hashlib.sha256(b"00000000").digest()[:16]
    lockers = [bytes(a ^ b for a, b in zip(c, pad)).hex() for c in crafted + crafted[5:6]]
    record = {"seed": "00000001", "n_features": 8, "lockers": lockers,
              "secret_hash": hashlib.sha256(crafted[5]).hexdigest()}
    assert FuzzyExtractor(n).unlock_secret(-np.ones(8), record, 0.0) == (crafted[5], {"ratio": 2 / n})

"""Times orvex against plain Python (bench/baseline.py) and bare library calls.

    python bench/run.py [--rounds N] [--only fuzzy|limiter|vault|throughput|redis ...]

Prints one table: operation, baseline, orvex, ratio (baseline / orvex) and
the difference, each time the median of the rounds' per-call averages.

The throughput section (long lockers, many of them, threads) takes about a
minute and runs only when named with --only. Its "vs positions only" rows
put beside each call the time of drawing the same lockers' positions through
the bit generator's capsule and nothing else (through a private hook: build
with -C cmake.define.ORVEX_TEST_HOOKS=ON, or they stand alone); its "2
threads vs 1" rows give the time per call of two threads each unlocking its
own record, against one thread alone, so that the ratio is the gain in calls
per second.

The redis section (bench/redis_bench.py) has a table of its own: calls per
second and latency of the shared limiter against a private redis-server over
loopback TCP, beside the moving-window limiter of the `limits` package.
"""

import argparse
import hashlib
import importlib.util
import itertools
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
import types

import numpy as np
from Crypto.Cipher import AES

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import baseline  # noqa: E402
import redis_bench  # noqa: E402

import orvex  # noqa: E402
import orvex.fuzzy  # noqa: E402
import orvex.limiter  # noqa: E402
import orvex.vault  # noqa: E402


def mean_time(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def compare(theirs, ours, calls, rounds):
    """(baseline, orvex, orvex - baseline): medians over rounds of the mean
    time of one call, in seconds. The two alternate round by round and the
    difference is the median of each round's own difference, so that a change
    in the machine's load falls on both sides."""
    samples = []
    for _ in range(rounds):
        samples.append((mean_time(theirs, calls[0]), mean_time(ours, calls[1])))
    return (statistics.median(t for t, _ in samples), statistics.median(o for _, o in samples),
            statistics.median(o - t for t, o in samples))


# Fake clocks advance half a second per reading, so 40 keys in turn stay below
# the soft limit. The C-level one costs next to nothing, so the row measures
# the limiters themselves; the Python one adds the same cost of a Python call
# to both sides of each reading.
def counter_clock():
    return types.SimpleNamespace(time=itertools.count(1_000_000.0, 0.5).__next__)


class PythonClock:
    def __init__(self):
        self.now = 1_000_000.0

    def time(self):
        self.now += 0.5
        return self.now


def fuzzy_rows(rounds):
    rng = np.random.default_rng(7)
    feature = rng.standard_normal(512).astype(np.float32)
    probe = feature.copy()
    probe[rng.choice(512, size=16, replace=False)] *= -1
    secret = bytes(range(16))
    ours, theirs = orvex.fuzzy.FuzzyExtractor(), baseline.FuzzyExtractor()
    helper = ours.lock_secret(feature, secret)
    assert theirs.unlock_secret(probe, helper) == ours.unlock_secret(probe, helper)
    return [
        ("lock_secret (1024 lockers)",
         *compare(lambda: theirs.lock_secret(feature, secret),
                  lambda: ours.lock_secret(feature, secret), (5, 50), rounds)),
        ("unlock_secret (16 flipped)",
         *compare(lambda: theirs.unlock_secret(probe, helper),
                  lambda: ours.unlock_secret(probe, helper), (5, 50), rounds)),
        # Without PyTorch: every call tries the import. (A finder of setuptools'
        # on sys.meta_path keeps orvex from answering that from its memo.)
        ("_to_numpy of an array" + ("" if importlib.util.find_spec("torch") else ", torch absent"),
         *compare(lambda: baseline.to_numpy(probe), lambda: orvex.fuzzy._to_numpy(probe),
                  (200, 200), rounds)),
    ]


def limiter_rows(rounds):
    keys = [f"10.0.0.{i}" for i in range(40)]
    stream = keys * 50

    def stream_through(module, make_clock):
        def run():
            module.time = make_clock()
            limiter = module.RateLimiter()
            for key in stream:
                limiter.check_and_record(key)

        return run

    rows = []
    saved = orvex.limiter.time, baseline.time
    try:
        for label, make_clock in (("C-level clock", counter_clock), ("Python clock", PythonClock)):
            times = compare(stream_through(baseline, make_clock),
                            stream_through(orvex.limiter, make_clock), (1, 1), rounds)
            rows.append((f"check_and_record (40 keys, {label})",
                         *(t / len(stream) for t in times)))
    finally:
        orvex.limiter.time, baseline.time = saved
    return rows


def bare_encrypt(key, array):
    cipher = AES.new(key, AES.MODE_GCM)
    ciphertext, tag = cipher.encrypt_and_digest(array.tobytes())
    return ciphertext.hex(), cipher.nonce.hex(), tag.hex()


def bare_decrypt(key, record):
    cipher = AES.new(key, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
    return cipher.decrypt_and_verify(
        bytes.fromhex(record["ciphertext"]), bytes.fromhex(record["tag"]))


def vault_rows(rounds):
    key = bytes(range(32))
    vault = orvex.vault.AESVault()
    rows = []
    for label, elements, calls in (("1 MiB", 1 << 18, 5), ("2 KiB", 512, 1000)):
        array = np.arange(elements, dtype=np.float32)
        record = vault.encrypt(key, array)
        rows.append((f"encrypt {label} (vs bare calls)",
                     *compare(lambda: bare_encrypt(key, array), lambda: vault.encrypt(key, array),
                              (calls, calls), rounds)))
        rows.append((f"decrypt {label} (vs bare calls)",
                     *compare(lambda: bare_decrypt(key, record),
                              lambda: vault.decrypt(key, record), (calls, calls), rounds)))
    # The cipher alone, on bytes already at hand: what the hex costs on top.
    array = np.arange(1 << 18, dtype=np.float32)
    record = vault.encrypt(key, array)
    plaintext = array.tobytes()
    nonce, ciphertext, tag = (bytes.fromhex(record[k]) for k in ("nonce", "ciphertext", "tag"))
    rows.append(("encrypt 1 MiB (vs the cipher alone)",
                 *compare(lambda: AES.new(key, AES.MODE_GCM).encrypt_and_digest(plaintext),
                          lambda: vault.encrypt(key, array), (5, 5), rounds)))
    rows.append(("decrypt 1 MiB (vs the cipher alone)",
                 *compare(lambda: AES.new(key, AES.MODE_GCM, nonce=nonce).decrypt_and_verify(
                     ciphertext, tag), lambda: vault.decrypt(key, record), (5, 5), rounds)))
    return rows


# The positions-only rows draw through a private hook that only builds made
# with ORVEX_TEST_HOOKS=ON bind; without it they are left out.
DRAW = getattr(orvex.fuzzy, "_native_draw_lockers", None)
FEATURES = 512


def positions_only(n_lockers, size, inline=False):
    """Draws the positions a call with these lockers draws, and nothing else."""
    return lambda: DRAW(np.random.default_rng(12345), FEATURES, size, n_lockers, inline)


def beside_positions(label, n_lockers, size, call, calls, rounds):
    """A row of `call` beside the positions-only time, or alone (baseline 0)
    in a build without the hook."""
    if DRAW is None:
        ours = statistics.median(mean_time(call, calls[1]) for _ in range(rounds))
        return (label, float("nan"), ours, float("nan"))
    return (f"{label} (vs positions only)",
            *compare(positions_only(n_lockers, size), call, calls, rounds))


def throughput_rows(rounds):
    feature = np.random.default_rng(7).standard_normal(FEATURES).astype(np.float32)
    probe = feature.copy()
    probe[:16] *= -1
    secret = bytes(range(16))
    rows = []
    for n_lockers, size in ((10**5, 32), (10**5, 43), (10**6, 43)):
        ours = orvex.fuzzy.FuzzyExtractor(n_lockers, size)
        helper = ours.lock_secret(feature, secret)
        label = f"{n_lockers:.0e} lockers x {size} bits".replace("+0", "")
        calls = (1, 1) if n_lockers > 10**5 else (3, 3)
        rows.append(beside_positions(f"lock_secret {label}", n_lockers, size,
                                     lambda: ours.lock_secret(feature, secret), calls, rounds))
        rows.append(beside_positions(f"unlock_secret {label}", n_lockers, size,
                                     lambda: ours.unlock_secret(probe, helper), calls, rounds))
    if DRAW is not None:
        rows.append(("positions 1e5 x 43 bits, PCG64 inline (vs capsule)",
                     *compare(positions_only(10**5, 43), positions_only(10**5, 43, True), (3, 3),
                              rounds)))
    for n_lockers, size in ((1024, 8), (10**5, 32)):
        ours = orvex.fuzzy.FuzzyExtractor(n_lockers, size)
        helpers = [ours.lock_secret(feature, secret) for _ in range(2)]
        calls = 200 if n_lockers < 10**4 else 4
        one, two, _ = compare(lambda: threaded_unlocks(ours, probe, helpers[:1], calls),
                              lambda: threaded_unlocks(ours, probe, helpers, calls), (1, 1),
                              rounds)
        # Per call: two threads make twice the calls in their round.
        one, two = one / calls, two / (2 * calls)
        rows.append((f"unlock_secret {n_lockers} x {size} bits, 2 threads (vs 1)", one, two,
                     two - one))
    # What the machine allows at the moment: hashlib releases the interpreter
    # lock for large data, so this row is as good as two threads can get.
    data = bytes(1 << 24)
    one, two, _ = compare(lambda: threaded_calls(lambda: hashlib.sha256(data), 1, 2),
                          lambda: threaded_calls(lambda: hashlib.sha256(data), 2, 2), (1, 1),
                          rounds)
    one, two = one / 2, two / 4
    rows.append(("hashlib.sha256 of 16 MiB, 2 threads (vs 1), for scale", one, two, two - one))
    # The same for NumPy's own draws, which also run without the interpreter
    # lock: compute-bound, like the lockers.
    gens = [np.random.default_rng(i) for i in range(2)]
    one, two, _ = compare(
        lambda: threaded_unlocks_like(lambda i: gens[i].integers(0, 512, size=2 * 10**6), 1, 2),
        lambda: threaded_unlocks_like(lambda i: gens[i].integers(0, 512, size=2 * 10**6), 2, 2),
        (1, 1), rounds)
    one, two = one / 2, two / 4
    rows.append(("numpy integers(size=2e6), 2 threads (vs 1), for scale", one, two, two - one))
    # The plain-Python transcription takes about a second per call here.
    theirs = baseline.FuzzyExtractor(10**5, 32)
    ours = orvex.fuzzy.FuzzyExtractor(10**5, 32)
    helper = ours.lock_secret(feature, secret)
    baseline_rounds = max(1, rounds // 3)
    rows.append(("lock_secret 1e5 lockers x 32 bits",
                 *compare(lambda: theirs.lock_secret(feature, secret),
                          lambda: ours.lock_secret(feature, secret), (1, 3), baseline_rounds)))
    rows.append(("unlock_secret 1e5 lockers x 32 bits",
                 *compare(lambda: theirs.unlock_secret(probe, helper),
                          lambda: ours.unlock_secret(probe, helper), (1, 3), baseline_rounds)))
    return rows


def threaded_calls(call, threads, calls):
    """call() `calls` times on each of `threads` threads, until all are done."""
    running = [threading.Thread(target=lambda: [call() for _ in range(calls)])
               for _ in range(threads)]
    for t in running:
        t.start()
    for t in running:
        t.join()


def threaded_unlocks_like(call, threads, calls):
    """call(i) `calls` times on each thread i of `threads`, until all are done."""
    running = [threading.Thread(target=lambda i=i: [call(i) for _ in range(calls)])
               for i in range(threads)]
    for t in running:
        t.start()
    for t in running:
        t.join()


def threaded_unlocks(extractor, probe, helpers, calls):
    """Each helper unlocked `calls` times on a thread of its own, until all
    threads are done."""
    threads = [threading.Thread(target=lambda h=h: [extractor.unlock_secret(probe, h)
                                                    for _ in range(calls)]) for h in helpers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


PEAK_MEMORY_CHILD = """
import sys
import numpy as np
import orvex.fuzzy
fe = orvex.fuzzy.FuzzyExtractor(10**6, 43)
feature = np.random.default_rng(7).standard_normal(512).astype(np.float32)
helper = fe.lock_secret(feature, bytes(16))

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from what is resident now
before = status("VmRSS:")
if sys.argv[1] == "lock_secret":
    result = fe.lock_secret(feature, bytes(16))
else:
    result = fe.unlock_secret(feature, helper)
print(status("VmHWM:") - before)
"""


def peak_memory_notes():
    """Peak memory of one call with 1e6 lockers of 43 bits, above what the
    process held before it, its result included (a fresh interpreter each,
    Linux only)."""
    notes = []
    for method in ("lock_secret", "unlock_secret"):
        out = subprocess.run([sys.executable, "-c", PEAK_MEMORY_CHILD, method],
                             capture_output=True, text=True, check=True).stdout
        notes.append(f"{method} 1e6 lockers x 43 bits: peak memory +{int(out) / 1024:.0f} MiB")
    return notes


SECTIONS = {"fuzzy": fuzzy_rows, "limiter": limiter_rows, "vault": vault_rows,
            "throughput": throughput_rows}
DEFAULT_SECTIONS = ("fuzzy", "limiter", "vault")


def fmt(seconds):
    if seconds != seconds:
        return "-"
    return f"{seconds * 1e3:9.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:9.2f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", choices=sorted([*SECTIONS, "redis"]), action="append",
                        help="run only these sections (repeatable)")
    args = parser.parse_args()
    only = args.only or [*DEFAULT_SECTIONS, "redis"]
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, "
          f"{platform.machine()}, {os.cpu_count()} cores, median of {args.rounds} rounds\n")
    rows = [row for name in only if name in SECTIONS for row in SECTIONS[name](args.rounds)]
    width = max(44, *(len(name) for name, *_ in rows)) if rows else 44
    if rows:
        print(f"| {'operation':{width}} | {'baseline':>12} | {'orvex':>12} | {'ratio':>7} |"
              f" {'orvex - baseline':>16} |")
        print(f"|{'-' * (width + 2)}|{'-' * 14}|{'-' * 14}|{'-' * 9}|{'-' * 18}|")
    for name, theirs, ours, diff in rows:
        sign = "" if diff != diff else "-" if diff < 0 else "+"
        ratio = f"{theirs / ours:6.2f}x" if theirs == theirs else "      -"
        print(f"| {name:{width}} | {fmt(theirs):>12} | {fmt(ours):>12} | {ratio} |"
              f" {sign + fmt(abs(diff)).strip():>16} |")
    if "throughput" in only and sys.platform.startswith("linux"):
        print()
        for note in peak_memory_notes():
            print(f"- {note}")
    if "redis" in only:
        if rows:
            print()
        redis_bench.report(args.rounds)


if __name__ == "__main__":
    main()

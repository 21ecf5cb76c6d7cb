"""Interpreter exit while daemon threads are inside orvex.

Up to 3.13, a thread that wants the GIL back after finalization has begun is
ended on the spot, and the end unwinds through whatever native frames it was
in. orvex's frames must let that pass without touching a reference or
terminating, so that the process ends as a plain Python program would.

Run as a script (`python tests/test_exit_with_threads.py [RUNS] [METHOD...]`)
to count failing runs per method.
"""
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

# The child: daemon threads loop in each method named on its command line
# while the main thread sleeps briefly and returns, finalizing the interpreter
# under them. A tiny switch interval makes them trade the GIL constantly.
CHILD = r"""
import logging, os, sys, threading, time
import numpy as np
from orvex.fuzzy import FuzzyExtractor
from orvex.limiter import RateLimiter
from orvex.vault import AESVault

sys.setswitchinterval(1e-6)
logging.basicConfig(stream=open(os.devnull, "w"), level=logging.INFO)
key = bytes(16)
feature = np.random.default_rng(0).standard_normal(64)
vault, extractor = AESVault(), FuzzyExtractor(64, 8)
record = vault.encrypt(key, feature)
helper = extractor.lock_secret(feature, key)

def encrypt():
    vault.encrypt(key, feature)

def decrypt():
    vault.decrypt(key, record)

def check_and_record(limiter=RateLimiter(0, 10**9, 3600)):
    limiter.check_and_record("k")  # logs the soft limit every time

def lock_secret():
    extractor.lock_secret(feature, key)

def unlock_secret():
    extractor.unlock_secret(feature, helper)

def loop(method):
    ready.release()
    while True:
        method()

methods = sys.argv[1:]
ready = threading.Semaphore(0)
for name in methods:
    for _ in range(2):
        threading.Thread(target=loop, args=(globals()[name],), daemon=True).start()
for _ in range(2 * len(methods)):
    ready.acquire()
time.sleep(0.05)
"""

METHODS = ["encrypt", "decrypt", "check_and_record", "lock_secret", "unlock_secret"]


# CPython before 3.10.8 can hang at exit on its own: a daemon thread that asked
# the main thread to drop the GIL and is then ended leaves the main thread
# waiting for a switch that never comes (gh-96387, not fixed in 3.9). Any
# thread that waits for the GIL can cause it, so on 3.9 a hung child is the
# interpreter's fault and only a crash counts; every later version must exit.
INTERPRETER_MAY_HANG = sys.version_info < (3, 10)


def run_child(methods):
    try:
        child = subprocess.run([sys.executable, "-c", CHILD, *methods], capture_output=True,
                               timeout=30)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    stderr = child.stderr.decode(errors="replace")
    if child.returncode != 0 and sanitizers_own_report(stderr):
        return "sanitizer", stderr[-2000:]
    return child.returncode, stderr[-2000:]


# A thread ended at exit is unwound from inside the interpreter, which the
# address sanitizer doesn't see, so the stack redzones of the frames it
# unwinds stay marked. The sanitizer's runtime (GCC 12's at least) then
# checks its own sigaltstack query, made on that stack while it unpoisons it
# for the next landing pad, against those stale marks, and reports an
# overflow or fails a CHECK. Such a report is about the sanitizer's own
# frame; every other failure still counts.
def sanitizers_own_report(stderr):
    return "__asan::PlatformUnpoisonStacks" in stderr and "__asan_handle_no_return" in stderr


def run_children(runs, methods, workers=4):
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda _: run_child(methods), range(runs)))


def test_exit_with_daemon_threads_inside_every_method():
    results = run_children(20, METHODS)
    hung = sum(code == "timeout" for code, _ in results)
    if INTERPRETER_MAY_HANG:
        results = [(code, err) for code, err in results if code != "timeout"]
        assert hung <= 5, f"{hung} of 20 runs hung"
    failed = [(code, err) for code, err in results if code not in (0, "sanitizer")]
    assert not failed, f"{len(failed)} of 20 runs failed; first: {failed[0]}"


if __name__ == "__main__":
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    for method in sys.argv[2:] or METHODS:
        codes = [code for code, _ in run_children(runs, [method])]
        print(f"{method}: {sum(c != 0 for c in codes)} of {runs} failed {sorted(set(codes), key=str)}")

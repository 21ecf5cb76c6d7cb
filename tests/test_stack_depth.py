"""Recursion through orvex functions with a raised recursion limit.

Before 3.12 the interpreter bounds C recursion only by the recursion limit:
with that limit raised, a callback or replaced global that calls back into an
orvex method would run off the thread's stack. Each case runs in a child
interpreter, so that a crash fails the test instead of ending the run.
"""
import subprocess
import sys
import textwrap

import pytest

CASES = textwrap.dedent("""
    import io, logging, sys, threading, types
    import numpy as np
    from orvex import vault
    from orvex.fuzzy import FuzzyExtractor
    from orvex.limiter import RateLimiter

    # Logging stays on: the callback's RecursionError is logged at the depth
    # where it was raised.
    logging.basicConfig(stream=io.StringIO(), level=logging.DEBUG)
    sys.setrecursionlimit(10**6)

    def limiter():
        lim = RateLimiter(0, 0, suspend_callback=lambda key: (lim.reinstate(key),
                                                              lim.check_and_record(key)))
        return lim.check_and_record("k")

    def fuzzy():
        class Recursing(FuzzyExtractor):
            def _binarize(self, feature):
                return self.lock_secret(feature, b"s")
        Recursing().lock_secret(np.ones(8), b"s")

    def encrypt():
        vault.AES = types.SimpleNamespace(
            new=lambda key, mode: vault.AESVault().encrypt(key, b"again"), MODE_GCM=0)
        vault.AESVault().encrypt(bytes(16), b"x")

    def outcome(case):
        try:
            return repr(case())
        except RecursionError:
            return "RecursionError"

    def report(case):
        print(case.__name__, outcome(case), flush=True)

    report({case}); report({case})  # and again, from where the first unwound to
    for size in (256 << 10, 16 << 20):
        threading.stack_size(size)
        t = threading.Thread(target=report, args=({case},))
        t.start()
        t.join()
""")


@pytest.mark.parametrize("case, outcome", [
    ("limiter", "(False, 'Rate limit exceeded (0/0). Suspended.')"),
    ("fuzzy", "RecursionError"),
    ("encrypt", "RecursionError"),
])
def test_deep_recursion_raises_instead_of_crashing(case, outcome):
    run = subprocess.run([sys.executable, "-c", CASES.format(case=case)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.splitlines() == [f"{case} {outcome}"] * 4

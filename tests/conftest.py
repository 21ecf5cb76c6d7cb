import gc
import logging
import sys
import threading
import time
import tracemalloc

import pytest

KEY = bytes(range(32))


@pytest.fixture
def vault():
    from orvex.vault import AESVault

    return AESVault()


# The private functions that a build made with ORVEX_TEST_HOOKS=ON binds in
# the modules (CMakeLists.txt); a release build has none of them.
TEST_HOOKS = {"_native_sample", "_native_sha256", "_native_calls", "_native_draw_lockers",
              "_native_vote_probes", "_import_memo_holds", "_native_seed_state", "_native_hex",
              "_native_unhex", "_in_place_verdict"}


def hook_or_skip(module, name):
    """module.<name>, a private test hook; skips the calling test in a build
    without hooks."""
    hook = getattr(module, name, None)
    if hook is None:
        pytest.skip(f"{module.__name__}.{name}: built without ORVEX_TEST_HOOKS=ON")
    return hook



def run_threads(work, count, seconds):
    """Runs work(index, deadline) in `count` threads at once until `seconds`
    have passed (deadline is on time.monotonic()), with the interpreter
    switching threads every 10 us so that calls interleave wherever Python
    code runs. Returns what the threads raised, as (index, exception) pairs."""
    failures = []
    deadline = time.monotonic() + seconds

    def run(index):
        try:
            work(index, deadline)
        except BaseException as e:  # reported by the caller, with the thread's index
            failures.append((index, e))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    return failures


def _memory_meter():
    if sys.getallocatedblocks():
        return sys.getallocatedblocks, 1
    # No block count under PYTHONMALLOC=malloc: traced bytes, the smallest
    # object taking 32 of them. Bytes are noisier than blocks (caches resize).
    if not tracemalloc.is_tracing():
        tracemalloc.start()
    return (lambda: tracemalloc.get_traced_memory()[0]), 32


def _reference_counts(objects):
    """Each object's reference count, always taken by this one line. From 3.14
    the compiler passes a local to a call as a borrowed stack reference at
    some sites and as a new one at others (after a `finally`, for one), so
    counts read at two different sites can differ by one with nothing leaked."""
    return [sys.getrefcount(o) for o in objects]


def leak_report(run_round, watched, calls, rounds=4):
    """(the growth of each round when memory grew in every one, else None; the
    `watched` objects whose reference counts rose). A round makes `calls`
    calls of each of its cases; it runs once for caches, interned names and
    free lists to settle, then `rounds` times measured."""
    meter, unit = _memory_meter()
    tracing = tracemalloc.is_tracing() and unit > 1
    try:
        run_round()
        gc.collect()
        refcounts = _reference_counts(watched)
        growth = []
        for _ in range(rounds):
            before = meter()
            run_round()
            gc.collect()
            growth.append(meter() - before)
        after = _reference_counts(watched)
    finally:
        if tracing:
            tracemalloc.stop()
    # One object lost per call of any one case grows every round by `calls`
    # objects; caches settling, and whatever else the process allocates
    # meanwhile, grow by less, and not in every round.
    grew = min(growth) >= calls // 2 * unit
    gained = [repr(o)[:60] for o, n, m in zip(watched, refcounts, after) if m > n]
    return (growth if grew else None), gained


def assert_no_leaks(run_round, watched, calls, label, rounds=4):
    """Fails when run_round() leaks: memory that grows in every round, or a
    reference count of a `watched` object that rises (leak_report)."""
    growth, gained = leak_report(run_round, watched, calls, rounds)
    assert growth is None, f"{label}: memory grew every round: {growth}"
    assert not gained, f"{label}: references gained by {gained}"


class Clock:
    """A stand-in for the limiter's `time` module that reads `now`."""

    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    """orvex.limiter's clock, stopped at 1000.0 until the test moves it."""
    import orvex.limiter

    monkeypatch.setattr(orvex.limiter, "time", Clock())
    return orvex.limiter.time


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """One private redis-server for the run (skips without one, fails under CI)."""
    from redis_server import RedisServer, require

    server = RedisServer(require(), tmp_path_factory.mktemp("redis")).start()
    yield server
    server.stop()


@pytest.fixture
def redis_client(redis_server):
    """A client of the shared server, emptied for each test."""
    client = redis_server.client()
    client.flushall()
    yield client
    client.close()


@pytest.fixture
def vault_log(caplog):
    """The records logged on "orvex.vault" during the test, from DEBUG up."""
    caplog.set_level(logging.DEBUG, logger="orvex.vault")
    return lambda: [r for r in caplog.records if r.name == "orvex.vault"]


# Property tests: ORVEX_HYPOTHESIS_PROFILE picks how hard they search. "ci"
# (the default) keeps the normal run short and draws the same examples every
# time, so that a red or green run can be repeated; "heavy" is for the
# sanitizer run and for hunting by hand, with fresh random examples each run
# (a failure prints the blob that replays it). Every strategy bounds its sizes,
# so an example takes milliseconds in either. No example database: runs leave
# no files behind.
try:
    import os

    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without hypothesis
    pass
else:
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
    settings.register_profile("ci", max_examples=60, deadline=None, database=None,
                              derandomize=True, suppress_health_check=_quiet)
    settings.register_profile("heavy", max_examples=600, deadline=None, database=None,
                              print_blob=True, suppress_health_check=_quiet)
    settings.load_profile(os.environ.get("ORVEX_HYPOTHESIS_PROFILE", "ci"))

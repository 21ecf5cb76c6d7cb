import collections
import random
import sys
import time
import types

import pytest

import orvex.limiter as limiter
from orvex.limiter import RateLimiter

from conftest import Clock, run_threads


def use_logger(monkeypatch, on_log=lambda: None):
    lines = []

    def log(line):
        on_log()
        lines.append(line)
    monkeypatch.setattr(limiter, "logger", types.SimpleNamespace(warning=log, error=log, info=log))
    return lines


reads = []


class Counting(RateLimiter):
    def __getattribute__(self, name):
        reads.append(name)
        return super().__getattribute__(name)


PRUNE = ["_suspended", "_clean", "window_seconds", "_history", "_history", "_history",
         "hard_limit"]


@pytest.mark.parametrize("calls, expected", [
    (1, PRUNE + ["soft_limit", "_history", "hard_limit"]),
    (6, PRUNE + ["soft_limit", "soft_limit", "_history", "hard_limit"]),
    (11, PRUNE + ["_suspended", "hard_limit", "suspend_callback", "suspend_callback",
                  "hard_limit"]),
])
def test_attributes_and_methods_are_looked_up_at_each_use(clock, calls, expected):
    lim = Counting(suspend_callback=len)
    for _ in range(calls):
        check = lim.check_and_record
        del reads[:]
        check("k")
    assert reads == expected


class RaisingLe:
    def __le__(self, other):
        raise ZeroDivisionError


@pytest.mark.parametrize("attr, value, error", [
    ("hard_limit", None, TypeError), ("soft_limit", "5", TypeError),
    ("hard_limit", RaisingLe(), ZeroDivisionError), ("window_seconds", "60", TypeError),
])
def test_reassigned_limits_raise_without_recording(clock, attr, value, error):
    lim = RateLimiter()
    lim.check_and_record("k")
    setattr(lim, attr, value)
    with pytest.raises(error):
        lim.check_and_record("k")
    assert lim._history["k"] == [1000.0] and not lim._suspended


def test_replaced_clock_applies_to_existing_limiters(monkeypatch):
    lim = RateLimiter()
    monkeypatch.setattr(limiter, "time", Clock(4))
    lim.check_and_record("k")
    monkeypatch.setattr(limiter, "time", Clock(5))
    assert lim.check_and_record("k") == (True, "OK (2/10)") and lim._history["k"] == [4, 5]
    monkeypatch.setattr(limiter, "time", Clock("noon"))
    with pytest.raises(TypeError):
        lim.check_and_record("k")
    assert lim._history["k"] == [4, 5]


@pytest.mark.parametrize("history, method, error", [
    ({}, "check_and_record", KeyError),
    ({"k": (1.0,)}, "reset", AttributeError),
    (types.MappingProxyType({"k": []}), "get_count", TypeError),
])
def test_history_replaced_by_other_mappings(clock, history, method, error):
    lim = RateLimiter()
    lim._history = history
    with pytest.raises(error):
        getattr(lim, method)("k")


MUTATIONS = {
    "reset": lambda lim: lim.reset("k"),
    "reinstate": lambda lim: lim.reinstate("k"),
    "same key": lambda lim: lim.check_and_record("k"),
    "count": lambda lim: lim.get_count("k"),
    "plain dict": lambda lim: setattr(lim, "_history", {}),
    "new history": lambda lim: setattr(lim, "_history", collections.defaultdict(list)),
    "limits": lambda lim: setattr(lim, "hard_limit", random.choice([None, "x", 2, 0.5])),
    "frozen": lambda lim: setattr(lim, "_suspended", frozenset()),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("where", ["comparison", "logger", "callback"])
def test_reentrant_mutation_never_corrupts(monkeypatch, mutation, where):
    random.seed(mutation)
    depth = []

    def mutate():
        if len(depth) < 3:  # shallow re-entry; runaway recursion has its own test
            depth.append(1)
            try:
                MUTATIONS[mutation](lim)
            except Exception:
                pass
            depth.pop()

    class Stamp(float):
        def __gt__(self, other):
            if where == "comparison":
                mutate()
            return float(self) > other
    clock = Clock()
    clock.time = lambda: Stamp(clock.now)
    monkeypatch.setattr(limiter, "time", clock)
    use_logger(monkeypatch, mutate if where == "logger" else lambda: None)
    callback = (lambda key: mutate()) if where == "callback" else None
    lim = RateLimiter(1, 3, suspend_callback=callback)
    for step in range(12):
        clock.now += 20
        try:
            allowed, text = lim.check_and_record("k", step == 7)
            assert type(allowed) is bool and type(text) is str
        except (TypeError, KeyError, AttributeError):
            pass
        for entries in dict(lim._history).values():
            assert all(type(ts) is Stamp for ts in entries)


def test_count_beyond_ssize_t_is_formatted_exactly(clock):
    class Huge(list):
        def __len__(self):
            return sys.maxsize
    lim = RateLimiter()
    lim.soft_limit = lim.hard_limit = float("inf")
    lim._history, lim._clean = {"k": Huge()}, lambda key: None
    assert lim.check_and_record("k") == (True, f"OK ({sys.maxsize + 1}/inf)")


def test_runaway_recursion_through_the_callback_is_a_recursion_error(clock, monkeypatch):
    lines = use_logger(monkeypatch)
    lim = RateLimiter(0, 0, suspend_callback=lambda key: (lim.reinstate(key),
                                                          lim.check_and_record(key)))
    try:
        assert lim.check_and_record("k")[0] is False
    except RecursionError:
        pass
    assert any("maximum recursion depth" in line for line in lines)


def test_threads_sharing_one_limiter(monkeypatch):
    use_logger(monkeypatch)
    lim = RateLimiter(2, 4, 1, suspend_callback=lambda key: lim.reset(key))
    ops = [lim.check_and_record, lim.get_count, lim.is_suspended, lim.reinstate, lim.reset,
           lim._clean]

    def work(seed, deadline):
        rnd = random.Random(seed)
        while time.monotonic() < deadline:
            rnd.choice(ops)(rnd.choice("abc"))

    assert run_threads(work, 4, 1) == [] and lim._suspended <= set("abc")
    assert all(type(v) is list for v in lim._history.values())

"""check_and_record takes a native shortcut for limiters in their constructed
shape. These tests run the same operations on such a limiter and on limiters
that are kept off the shortcut (wholly or from some step on) and demand the
same results, log lines, clock readings and state."""

import collections
import gc
import importlib.util
import logging
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvex.limiter as limiter
from conftest import hook_or_skip
from orvex.limiter import RateLimiter


def shortcut_calls():
    """How many calls the shortcut carried to the end; None in a build without
    the test hooks, where the comparisons run and only this count is equal."""
    hook = getattr(limiter, "_native_calls", None)
    return hook() if hook else None


class History(collections.defaultdict):
    pass


class Int(int):
    pass


class Stamp(float):
    pass


# Ways to keep a limiter off the shortcut without changing what it does: the
# whole call (an instance _clean), from pruning on (a history that is a
# subclass), or after pruning (limits that are int subclasses).
def shadowed_clean(lim):
    lim._clean = lim._clean


def history_subclass(lim):
    lim._history = History(list, lim._history)


def limits_subclass(lim):
    lim.soft_limit, lim.hard_limit = Int(lim.soft_limit), Int(lim.hard_limit)


DETOURS = [shadowed_clean, history_subclass, limits_subclass]

# What a clock reading may do to the limiter that asked for it.
MUTATIONS = {
    "limits": lambda lim, run: (setattr(lim, "soft_limit", 0), setattr(lim, "hard_limit", 1)),
    "window": lambda lim, run: setattr(lim, "window_seconds", 0.5),
    "reset": lambda lim, run: lim.reset("a"),
    "reinstate": lambda lim, run: lim.reinstate("a"),
    "suspend": lambda lim, run: lim._suspended.add("a"),
    "replace list": lambda lim, run: lim._history.__setitem__("a", [run.clock.now - 0.25] * 3),
    "hold list": lambda lim, run: run.held.append(lim._history["a"]),
    "odd stamp": lambda lim, run: lim._history["a"].append(Stamp(run.clock.now)),
    "new history": lambda lim, run: setattr(lim, "_history", collections.defaultdict(list)),
    "history subclass": history_subclass,
    "new dict": lambda lim, run: setattr(lim, "__dict__", {**vars(lim), "hard_limit": 1}),
    "class": lambda lim, run: setattr(type(lim), "hard_limit", property(lambda self: 1)),
    "int clock": lambda lim, run: setattr(run.clock, "as_int", True),
    "fail": lambda lim, run: run.clock.fail(),
}


class Clock:
    def __init__(self, run, schedule):
        self.now, self.readings, self.as_int = 1000.0, 0, False
        self.run, self.schedule = run, schedule

    def time(self):
        self.readings += 1
        mutation = self.schedule.get(self.readings)
        if mutation:
            MUTATIONS[mutation](self.run.lim, self.run)
        return int(self.now) if self.as_int else self.now

    def fail(self):
        raise RuntimeError("clock failed")


class Run:
    """One limiter through one operation sequence, with everything it shows."""

    def __init__(self, config, schedule, detour=None):
        soft, hard, window, callback = config
        self.events, self.held = [], []
        callbacks = {None: None, "record": self.events.append,
                     "raise": self.raise_, "reinstate": lambda key: self.lim.reinstate(key)}
        # A class of its own, since a mutation may change the class.
        self.lim = type("Limiter", (RateLimiter,), {})(soft, hard, window, callbacks[callback])
        if detour:
            detour(self.lim)
        self.clock = Clock(self, schedule)

    def raise_(self, key):
        self.events.append(key)
        raise ValueError(f"no {key}")

    def apply(self, op):
        name, *args = op
        if name == "advance":
            self.clock.now += args[0]
            return None
        try:
            result = getattr(self.lim, name)(*args)
            return ("ok", result, type(result))
        except Exception as e:
            return ("raised", type(e), str(e))

    def play(self, ops):
        lines = []
        handler = logging.Handler()
        handler.emit = lambda record: lines.append((record.levelname, record.getMessage()))
        log = logging.getLogger("orvex.limiter")
        log.addHandler(handler)
        saved, limiter.time = limiter.time, self.clock
        level = log.level
        log.setLevel(logging.DEBUG)
        try:
            outcomes = [self.apply(op) for op in ops]
        finally:
            limiter.time = saved
            log.removeHandler(handler)
            log.setLevel(level)
        history = {k: list(v) for k, v in dict(self.lim._history).items()}
        return (outcomes, lines, self.clock.readings, self.events, history,
                set(self.lim._suspended), [list(h) for h in self.held])


keys = st.sampled_from("abc")
check = st.tuples(st.just("check_and_record"), keys, st.sampled_from([False, False, True, 0, 1]))
ops = st.lists(st.one_of(
    check, check, check,
    st.tuples(st.sampled_from(["get_count", "is_suspended", "reinstate", "reset"]), keys),
    st.tuples(st.just("advance"), st.sampled_from([0.0, 0.5, 1.0, 2.5, 4.0, 5.0, 7.25])),
), min_size=20, max_size=80)
limits = st.one_of(st.sampled_from([(0, 0), (0, 3), (2, 2), (4, 6), (8, 10)]),
                   st.tuples(st.integers(0, 6), st.integers(0, 10)).filter(lambda l: l[0] <= l[1]))
configs = st.tuples(limits, st.sampled_from([0, 1, 5, 2.5, 60]),
                    st.sampled_from([None, "record", "raise", "reinstate"])
                    ).map(lambda c: (*c[0], *c[1:]))
schedules = st.dictionaries(st.integers(1, 80), st.sampled_from(sorted(MUTATIONS)), max_size=2)


def assert_agree(config, ops, schedule, detours=DETOURS):
    plain = Run(config, schedule).play(ops)
    for detour in detours:
        before = shortcut_calls()
        assert Run(config, schedule, detour).play(ops) == plain
        # The detours keep it off the shortcut, unless a mutation undoes them.
        assert shortcut_calls() == before or (schedule and detour is not shadowed_clean)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(config=configs, ops=ops, schedule=schedules, detour=st.sampled_from(DETOURS))
def test_shortcut_and_literal_path_agree(config, ops, schedule, detour):
    assert_agree(config, ops, schedule, [detour])


@pytest.mark.parametrize("reading", [5, 6], ids=["pruning", "recording"])
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_what_the_clock_changes_is_seen_at_once(mutation, reading):
    # The third call's two clock readings: it prunes after the first and
    # records after the second.
    ops = [("check_and_record", "a", False)] * 3 + [("advance", 1.0)] + [
        ("check_and_record", "a", False)] * 2 + [("get_count", "a")]
    assert_agree((2, 4, 5, "record"), ops, {reading: mutation})


def test_plain_limiters_take_the_shortcut(monkeypatch):
    clock = type("Clock", (), {"now": 0.0})()
    clock.time = lambda: clock.now
    monkeypatch.setattr(limiter, "time", clock)
    lim = type("Sub", (RateLimiter,), {"extra": 1})(3, 5, 5)  # a subclass that overrides nothing
    shortcut_calls = hook_or_skip(limiter, "_native_calls")
    before = shortcut_calls()
    for key in "abc" * 20:
        clock.now += 1
        assert lim.check_and_record(key)[0] is True
    # All but each key's first call, which creates its history entry.
    assert shortcut_calls() - before == 60 - 3


@pytest.mark.parametrize("defaults", [(False,), (True,), (None,), ("x", 1), None])
@pytest.mark.parametrize("call, flag", [
    (lambda lim: lim.check_and_record("k"), "default"),
    (lambda lim: lim.check_and_record("k", None), False),
    (lambda lim: lim.check_and_record("k", True), True),
    (lambda lim: lim.check_and_record("k", skip_limit=0), False),
    (lambda lim: lim.check_and_record(key="k"), "default"),
    (lambda lim: RateLimiter.check_and_record(lim, "k", True), True),
])
def test_call_shapes_bind_as_everywhere(monkeypatch, defaults, call, flag):
    # The common shapes are bound without the general binder; the result must
    # not show it, whatever __defaults__ holds at the time.
    monkeypatch.setattr(limiter, "time", type("Clock", (), {"time": lambda self: 0.0})())
    monkeypatch.setattr(RateLimiter.check_and_record, "__defaults__", defaults)
    if flag == "default" and defaults is None:
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
            call(RateLimiter())
        return
    bypassed = bool(defaults[-1]) if flag == "default" else flag
    expected = (True, "Rate limit bypassed") if bypassed else (True, "OK (1/10)")
    assert call(RateLimiter()) == expected


def deepest_call(lim):
    """How deep in Python frames lim.check_and_record("k") still runs."""
    def nested(n):
        return nested(n - 1) if n else lim.check_and_record("k")
    low, high = 0, sys.getrecursionlimit()
    while low < high:
        middle = (low + high + 1) // 2
        try:
            nested(middle)
            low = middle
        except RecursionError:
            high = middle - 1
    return low


def test_recursion_limit_is_met_at_the_same_depth(monkeypatch):
    clock = type("Clock", (), {"time": lambda self: 1000.0})()
    monkeypatch.setattr(limiter, "time", clock)
    depths = []
    for detour in [None, shadowed_clean]:
        lim = RateLimiter(10**6, 10**6, 0)  # window 0: every call prunes all
        if detour:
            detour(lim)
        lim.check_and_record("k")
        depths.append(deepest_call(lim))
    assert depths[0] == depths[1]


def other_module_instance(clock):
    spec = importlib.util.find_spec("orvex.limiter")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.time = clock
    return module


@pytest.mark.parametrize("shape", [
    lambda lim: setattr(lim, "__class__", type("G", (RateLimiter,), {
        "__getattribute__": lambda self, name: object.__getattribute__(self, name)})),
    lambda lim: setattr(lim, "__class__", type("C", (RateLimiter,), {
        "_clean": lambda self, key: RateLimiter._clean(self, key)})),
    lambda lim: setattr(lim._history, "default_factory", lambda: []),
    lambda lim: setattr(lim, "_suspended", frozenset()),
    lambda lim: setattr(lim, "_history", dict(lim._history)),
    lambda lim: setattr(lim, "window_seconds", Stamp(60)),
    lambda lim: lim._history["k"].append(Stamp(1000.0)),
])
def test_other_shapes_stay_off_the_shortcut(monkeypatch, shape):
    clock = type("Clock", (), {"now": 1000.0, "time": lambda self: self.now})()
    monkeypatch.setattr(limiter, "time", clock)
    lim = RateLimiter()
    lim.check_and_record("k")
    shape(lim)
    before = shortcut_calls()
    for _ in range(3):
        lim.check_and_record("k")
    assert shortcut_calls() == before


def test_clean_of_another_module_instance_is_not_inlined(monkeypatch):
    # Its globals are that module's: it reads that module's clock.
    here = type("Clock", (), {"time": lambda self: 1000.0})()
    there = type("Clock", (), {"time": lambda self: 5000.0})()
    monkeypatch.setattr(limiter, "time", here)
    other = other_module_instance(there)
    lim = type("Mixed", (RateLimiter,), {"_clean": other.RateLimiter._clean})(window_seconds=100)
    lim._history["k"] = [950.0]
    before = shortcut_calls()
    assert lim.check_and_record("k") == (True, "OK (1/10)")  # pruned at 5000, not 1000
    assert lim._history["k"] == [1000.0] and shortcut_calls() == before


def test_a_list_held_elsewhere_keeps_its_timestamps(monkeypatch):
    clock = type("Clock", (), {"now": 1000.0, "time": lambda self: self.now})()
    monkeypatch.setattr(limiter, "time", clock)
    lim = RateLimiter(window_seconds=10)
    lim.check_and_record("k")
    held = lim._history["k"]
    clock.now += 10
    assert lim.check_and_record("k") == (True, "OK (1/10)")
    assert held == [1000.0] and lim._history["k"] == [1010.0] and lim._history["k"] is not held


def test_finalizers_that_mutate_the_limiter_never_corrupt_it(monkeypatch):
    clock = type("Clock", (), {"now": 0.0})()
    clock.time = lambda: clock.now
    monkeypatch.setattr(limiter, "time", clock)
    lim = RateLimiter(2, 4, 3)
    actions = [lambda: lim.reset("a"), lambda: lim._history.__setitem__("a", [clock.now]),
               lambda: setattr(lim, "hard_limit", 1), lambda: lim.reinstate("a"),
               lambda: lim._history.pop("a", None), lambda: setattr(lim, "hard_limit", 4)]

    class Cycle:
        def __init__(self, i):
            self.me, self.i = self, i

        def __del__(self):
            actions[self.i % len(actions)]()
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        for i in range(3000):
            Cycle(i)
            clock.now += 0.5
            held = lim._history["a"] if i % 7 == 0 else None  # the copying path
            allowed, text = lim.check_and_record("a")
            assert type(allowed) is bool and type(text) is str
            del held
    finally:
        gc.set_threshold(*threshold)
        gc.collect()
    assert all(type(ts) is float for v in lim._history.values() for ts in v)

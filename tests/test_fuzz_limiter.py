"""Random operation sequences on RateLimiter, run side by side with the plain
Python account: same results, same log lines, same state after every step.

The clock is fake and ticks on every reading, so the two sides also agree on
when they read it. Callbacks re-enter the limiter, reassign its limits and
raise; limits are reassigned between operations too."""
import math

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import event, given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import orvex.limiter as limiter  # noqa: E402
import reference  # noqa: E402
from strategies import Hostile, Str, anything  # noqa: E402


class Clock:
    def __init__(self):
        self.now = 1_000.0

    def time(self):
        self.now += 0.25
        return self.now


class Log:
    def __init__(self):
        self.lines = []

    def warning(self, line):
        self.lines.append(("warning", line))

    def error(self, line):
        self.lines.append(("error", line))

    def info(self, line):
        self.lines.append(("info", line))


class Stop(BaseException):
    """Not an Exception: leaves check_and_record past the callback handler."""


def make_callback(program, holder):
    """A callback running `program` on the limiter in holder[0], nested at most twice."""
    depth = [0]

    def callback(key):
        if depth[0] >= 2:
            return
        depth[0] += 1
        try:
            lim = holder[0]
            for action, arg in program:
                if action == "set":
                    setattr(lim, *arg)
                elif action == "raise":
                    raise arg[0](*arg[1:])
                elif action == "stop":
                    raise Stop()
                elif action == "check":
                    lim.check_and_record(arg)
                else:
                    getattr(lim, action)(key)
        finally:
            depth[0] -= 1
    return callback


KEYS = ["a", "b", "c"]
# Mostly good keys (hypothesis favours 0), sometimes one of the wrong type.
keys = st.tuples(st.integers(0, 7), st.sampled_from(KEYS),
                 st.sampled_from([5, b"a", None, Str("a"), ("a",)])).map(
                     lambda c: c[2] if c[0] == 7 else c[1])
limit_values = st.one_of(st.integers(-1, 12), st.floats(-1, 14), st.sampled_from([math.inf, math.nan]))
# Now and then a value the limiter can't compare or subtract with.
unusable = st.sampled_from(["5", None, [1], Hostile()])
attribute_change = st.tuples(
    st.sampled_from(["soft_limit", "hard_limit", "window_seconds"]),
    st.tuples(st.integers(0, 7), st.one_of(limit_values, st.integers(0, 120)), unusable).map(
        lambda c: c[2] if c[0] == 7 else c[1]))
action = st.one_of(
    st.tuples(st.sampled_from(["reinstate", "reset", "get_count", "_clean", "is_suspended"]),
              st.none()),
    st.tuples(st.just("check"), keys),
    st.tuples(st.just("set"), attribute_change),
    st.tuples(st.just("raise"), st.sampled_from([(ValueError, "boom"), (LookupError,),
                                                  (RuntimeError, "x", 2)])),
    st.tuples(st.just("stop"), st.none()),
)
callbacks = st.one_of(st.none(), st.lists(action, max_size=3),
                      st.sampled_from([0, "", 5, "not callable"]))
skip_limit = st.tuples(st.integers(0, 3),
                       st.sampled_from([True, 0, 1, None, "", "x", [], [0], Hostile()])).map(
    lambda c: c[1] if c[0] == 3 else False)
operations = [
    st.tuples(st.just("check_and_record"), keys, skip_limit),
    st.tuples(st.sampled_from(["get_count", "_clean", "is_suspended", "reinstate", "reset"]), keys),
    st.tuples(st.just("advance"), st.sampled_from([0.0, 0.5, 1.0, 59.75, 60.0, 61.0, 1e9])),
    st.tuples(st.just("set"), attribute_change),
    st.tuples(st.just("callback"), callbacks),
]
# Checks are the common case (hypothesis favours 0); the rest comes between them.
operation = st.integers(0, 7).flatmap(lambda i: operations[max(0, i - 3)])


class Side:
    """One limiter with its own clock, log and callback target."""

    def __init__(self, make, args):
        self.clock, self.log, self.holder = Clock(), Log(), [None]
        self.limiter = make(self, *args)
        self.holder[0] = self.limiter

    def apply(self, op):
        kind, *rest = op
        if kind == "advance":
            self.clock.now += rest[0]
            return None
        if kind == "set":
            setattr(self.limiter, *rest[0])
            return None
        if kind == "callback":
            program = rest[0]
            self.limiter.suspend_callback = (make_callback(program, self.holder)
                                             if type(program) is list else program)
            return None
        return getattr(self.limiter, kind)(*rest)

    def state(self):
        return dict(self.limiter._history), set(self.limiter._suspended), self.log.lines


def native_limiter(side, *args):
    return limiter.RateLimiter(*args)


def model_limiter(side, *args):
    return reference.RateLimiter(side.clock, side.log, *args)


def outcome(side, op):
    try:
        return ("ok", side.apply(op))
    except (Exception, Stop) as e:
        return ("raised", type(e), str(e))


@given(args=st.tuples(st.integers(0, 4), st.integers(4, 10), st.integers(1, 90)),
       ops=st.lists(operation, min_size=20, max_size=80))
def test_operation_sequences_match_the_model(args, ops):
    native, model = Side(native_limiter, args), Side(model_limiter, args)
    saved = limiter.time, limiter.logger
    limiter.time, limiter.logger = native.clock, native.log
    try:
        for op in ops:
            result = outcome(native, op)
            if result[0] == "raised":
                event(f"{op[0]}: {result[1].__name__}")
            elif op[0] == "check_and_record":
                event(f"check_and_record: {result[1][1].split(' (')[0]}")
            assert result == outcome(model, op), op
            assert native.state() == model.state(), op
            assert native.clock.now == model.clock.now, op
    finally:
        limiter.time, limiter.logger = saved


@given(args=st.lists(st.one_of(st.integers(-3, 12), st.floats(), anything), max_size=5))
def test_constructor_arguments(args):
    clock, log = Clock(), Log()
    native = reference.outcome(limiter.RateLimiter, *args)
    if len(args) > 4:
        assert native[:2] == ("raised", TypeError)
        return
    expected = reference.outcome(reference.RateLimiter, clock, log, *args)
    if native[0] == "ok":
        assert expected[0] == "ok"
        got, want = native[1], expected[1]
        for name in ("soft_limit", "hard_limit", "window_seconds", "suspend_callback"):
            assert getattr(got, name) is getattr(want, name) or getattr(got, name) == getattr(
                want, name)
        assert [type(getattr(got, n)) for n in ("soft_limit", "hard_limit", "window_seconds")] \
            == [int] * 3
        assert dict(got._history) == {} and got._suspended == set()
    else:
        assert native == expected

import collections
import logging

import pytest

import orvex.limiter as limiter
from conftest import TEST_HOOKS
from orvex.limiter import RateLimiter

HARD_LOG = ("WARNING", "HARD LIMIT: k exceeded 10 events/window \u2014 suspended")
EXCEEDED = (False, "Rate limit exceeded (10/10). Suspended.")


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger="orvex.limiter")
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records]


def calls(lim, n, key="k"):
    return [lim.check_and_record(key) for _ in range(n)]


def raising(error):
    def callback(key):
        raise error
    return callback


def test_module_and_class_surface():
    names = [k for k in vars(limiter) if not k.startswith("__") and k not in TEST_HOOKS]
    assert names == [
        "time", "logging", "defaultdict", "Callable", "Optional", "Tuple", "logger", "RateLimiter"]
    assert limiter.logger.name == "orvex.limiter"
    assert RateLimiter.__doc__.endswith("\n" + " " * 26 + "the hard limit is exceeded.\n    ")
    assert RateLimiter.__bases__ == (object,) and RateLimiter.__module__ == "orvex.limiter"
    assert RateLimiter.__init__.__defaults__ == (5, 10, 60, None)
    assert RateLimiter.check_and_record.__annotations__ == {
        "key": "str", "skip_limit": "bool", "return": "Tuple[bool, str]"}
    lim = RateLimiter()
    assert vars(lim) == {"soft_limit": 5, "hard_limit": 10, "window_seconds": 60,
                         "suspend_callback": None, "_history": {}, "_suspended": set()}
    assert type(lim._history) is collections.defaultdict and lim._history.default_factory is list
    assert type(lim._suspended) is set


def test_calls_with_defaults(clock, logs):
    called = []
    lim = RateLimiter(suspend_callback=called.append)
    assert calls(lim, 13) == [(True, f"OK ({n}/10)") for n in range(1, 11)] + [
        EXCEEDED, (False, "Suspended"), (False, "Suspended")]
    assert logs() == [("WARNING", f"SOFT LIMIT: k at {n}/5 events/window")
                      for n in range(5, 10)] + [HARD_LOG]
    assert called == ["k"] and lim.get_count("k") == 10 and lim.is_suspended("k")


@pytest.mark.parametrize("age, counted", [(60.0, 0), (59.9, 1)])
def test_window_excludes_its_old_end(clock, age, counted):
    lim = RateLimiter()
    lim.check_and_record("k")
    clock.now += age
    assert lim.get_count("k") == counted


def test_events_age_out_but_suspension_does_not(clock):
    lim = RateLimiter()
    calls(lim, 10), calls(lim, 11, "j")
    clock.now += 61
    assert lim.check_and_record("k") == (True, "OK (1/10)")
    assert lim.check_and_record("j") == (False, "Suspended")
    assert len(lim._history["j"]) == 10  # refused calls don't prune


@pytest.mark.parametrize("soft, hard, first, log", [
    (0, 0, (False, "Rate limit exceeded (0/0). Suspended."),
     ("WARNING", "HARD LIMIT: k exceeded 0 events/window \u2014 suspended")),
    (0, 3, (True, "OK (1/3)"), ("WARNING", "SOFT LIMIT: k at 0/0 events/window")),
])
def test_zero_limits(clock, logs, soft, hard, first, log):
    assert RateLimiter(soft, hard).check_and_record("k") == first and logs() == [log]


@pytest.mark.parametrize("error, text", [(ValueError("boom"), "boom"), (LookupError(), "")])
def test_callback_exception_is_logged_and_swallowed(clock, logs, error, text):
    lim = RateLimiter(suspend_callback=raising(error))
    assert calls(lim, 11)[-1] == EXCEEDED and lim.is_suspended("k")
    assert logs()[-2:] == [HARD_LOG, ("ERROR", "Suspend callback failed: " + text)]


def test_callback_base_exception_propagates_after_suspension(clock, logs):
    lim = RateLimiter(suspend_callback=raising(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        calls(lim, 11)
    assert lim.is_suspended("k") and logs()[-1] == HARD_LOG and lim.get_count("k") == 10


@pytest.mark.parametrize("callback", [None, 0, ""])
def test_false_callbacks_are_not_called(clock, logs, callback):
    assert calls(RateLimiter(suspend_callback=callback), 11)[-1] == EXCEEDED
    assert logs()[-1] == HARD_LOG


def test_callback_may_reinstate_the_key(clock):
    seen = []
    lim = RateLimiter(suspend_callback=lambda key: (seen.append(lim.is_suspended(key)),
                                                    lim.reinstate(key)))
    assert calls(lim, 11)[-1] == EXCEEDED and seen == [True] and not lim.is_suspended("k")
    assert lim.check_and_record("k") == (True, "OK (1/10)")


@pytest.mark.parametrize("state", ["suspended", "counting", "never seen"])
@pytest.mark.parametrize("method", ["reinstate", "reset"])
def test_reinstate_and_reset_by_key_state(clock, logs, state, method):
    lim = RateLimiter()
    calls(lim, {"suspended": 11, "counting": 1, "never seen": 0}[state])
    held = lim._history.get("k")
    assert getattr(lim, method)("k") is None
    assert lim._history["k"] == []
    if held is not None:
        assert lim._history["k"] is held  # emptied in place
    still_suspended = state == "suspended" and method == "reset"
    assert lim.is_suspended("k") == still_suspended and lim.get_count("k") == 0
    assert lim.check_and_record("k") == ((False, "Suspended") if still_suspended
                                         else (True, "OK (1/10)"))
    infos = [line for line in logs() if line[0] == "INFO"]
    assert infos == ([("INFO", "Reinstated: k")] if method == "reinstate" else [])


def test_is_suspended_creates_no_history():
    lim = RateLimiter()
    assert lim.is_suspended("new") is False and "new" not in lim._history


@pytest.mark.parametrize("skip, bypassed", [(True, True), (1, True), (None, False), ([], False)])
def test_bypass_goes_by_truth_value_and_touches_nothing(clock, skip, bypassed):
    lim = RateLimiter()
    calls(lim, 11)
    history = list(lim._history["k"])
    assert lim.check_and_record("k", skip) == (
        (True, "Rate limit bypassed") if bypassed else (False, "Suspended"))
    assert lim._history["k"] == history


def test_skip_limit_truth_test_comes_before_the_key_check():
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError
    with pytest.raises(ZeroDivisionError):
        RateLimiter().check_and_record(5, Falsy())


class Str(str):
    pass


@pytest.mark.parametrize("method", ["check_and_record", "get_count", "_clean", "is_suspended",
                                    "reinstate", "reset"])
@pytest.mark.parametrize("key, type_name", [(5, "int"), (b"k", "bytes"), (None, "NoneType"),
                                            (Str("k"), "Str")])
def test_non_str_keys_are_refused_before_any_change(clock, method, key, type_name):
    lim = RateLimiter()
    calls(lim, 11)
    before = repr(vars(lim))
    args = (key, True) if method == "check_and_record" else (key,)
    with pytest.raises(TypeError, match=rf"^Argument 'key' has incorrect type "
                                        rf"\(expected str, got {type_name}\)") as info:
        getattr(lim, method)(*args)
    assert ("Subclasses" in str(info.value)) == (type_name == "Str")
    assert repr(vars(lim)) == before


@pytest.mark.parametrize("kwargs, expected", [
    ({"soft_limit": 10, "hard_limit": 10}, (10, 10, 60)),
    ({"soft_limit": 5.9, "hard_limit": 5, "window_seconds": 0.5}, (5, 5, 0)),
    ({"soft_limit": True, "hard_limit": -2.5}, (ValueError, "^soft_limit must be <= hard_limit$")),
    ({"soft_limit": "5"}, (TypeError, r"'soft_limit' .*expected int, got str\)$")),
    ({"hard_limit": None}, (TypeError, r"'hard_limit' .*expected int, got NoneType\)$")),
    ({"soft_limit": float("inf")}, (OverflowError, "infinity")),
    ({"window_seconds": 1j}, (TypeError, "complex")),
])
def test_constructor_coerces_limits(kwargs, expected):
    if isinstance(expected[0], type):
        with pytest.raises(expected[0], match=expected[1]):
            RateLimiter(**kwargs)
    else:
        lim = RateLimiter(**kwargs)
        limits = (lim.soft_limit, lim.hard_limit, lim.window_seconds)
        assert limits == expected and all(type(v) is int for v in limits)


@pytest.mark.parametrize("call, message", [
    (lambda lim: lim.check_and_record(), r"^check_and_record\(\) takes at least 2 positional "
                                         r"arguments \(1 given\)$"),
    (lambda lim: lim.check_and_record("a", 1, 2), r"takes at most 3 positional arguments \(4"),
    (lambda lim: lim.get_count("a", "b"), r"^get_count\(\) takes exactly 2 .*\(3 given\)$"),
    (lambda lim: lim.reset("a", key="b"), r"^reset\(\) got multiple values for keyword "
                                          r"argument 'key'$"),
    (lambda lim: lim.is_suspended(name="a"), r"got an unexpected keyword argument 'name'"),
    (lambda lim: RateLimiter(1, 2, 3, 4, 5), r"__init__\(\) takes at most 5 positional"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(RateLimiter())

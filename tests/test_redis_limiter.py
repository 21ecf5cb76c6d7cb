"""The Redis limiter on a real, private redis-server: RateLimiter's behaviour
call for call, one budget across processes, and faults that fail closed."""
import asyncio
import json
import logging
import os
import signal
import subprocess
import sys
import textwrap
import uuid

import pytest

try:
    import redis
    import redis.asyncio
except ImportError:
    if os.environ.get("CI") == "true":
        raise
    pytest.skip("needs the redis client (pip install redis)", allow_module_level=True)

import orvex.limiter as limiter  # noqa: E402
from orvex.limiter import RateLimiter  # noqa: E402
from orvex.redis_limiter import AsyncRedisRateLimiter, RedisRateLimiter  # noqa: E402

from conftest import Clock  # noqa: E402
from redis_server import RedisServer, require  # noqa: E402

HARD_LOG = ("WARNING", "HARD LIMIT: k exceeded 10 events/window \u2014 suspended")
EXCEEDED = (False, "Rate limit exceeded (10/10). Suspended.")
ODD_KEYS = ["", "%", "a", "a:b", "{a}", "a}:suspended", "\n", "*", "\\", "\u00e4", "\ud800"]


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger="orvex.redis_limiter")
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records
                    if r.name == "orvex.redis_limiter"]


def test_calls_with_defaults(redis_client, logs):
    called = []
    lim = RedisRateLimiter(redis_client, suspend_callback=called.append)
    results = [lim.check_and_record("k") for _ in range(13)]
    assert results == [(True, f"OK ({n}/10)") for n in range(1, 11)] + [
        EXCEEDED, (False, "Suspended"), (False, "Suspended")]
    assert logs() == [("WARNING", f"SOFT LIMIT: k at {n}/5 events/window")
                      for n in range(5, 10)] + [HARD_LOG]
    assert called == ["k"] and lim.get_count("k") == 10 and lim.is_suspended("k")
    assert list(lim.suspended_keys()) == ["k"]
    lim.reset("k")
    assert lim.is_suspended("k") and lim.get_count("k") == 0
    lim.reinstate("k")
    assert logs()[-1] == ("INFO", "Reinstated: k") and not lim.is_suspended("k")
    assert lim.check_and_record("k") == (True, "OK (1/10)")


def test_keys_neither_collide_nor_leave_their_prefix(redis_client):
    prefixes = ["p", "p*", "p:", "[p]"]
    limiters = [RedisRateLimiter(redis_client, 0, 0, prefix=p) for p in prefixes]
    for lim in limiters[:2]:
        for key in ODD_KEYS:
            assert lim.check_and_record(key)[0] is False
    for lim, expected in zip(limiters, [ODD_KEYS, ODD_KEYS, [], []]):
        assert sorted(lim.suspended_keys()) == sorted(expected)
    lim = limiters[2]
    for i, key in enumerate(ODD_KEYS):
        lim.reinstate(key)
        lim.hard_limit = i + 1
        for _ in range(i + 1):
            lim.check_and_record(key)
    assert [lim.get_count(key) for key in ODD_KEYS] == list(range(1, len(ODD_KEYS) + 1))
    # One history per key (none is suspended), named p::{tag}:history, the tag
    # free of braces.
    names = [n.decode() for n in redis_client.scan_iter(match="p::*")]
    assert len(names) == len(ODD_KEYS)
    assert all(n.count("{") == 1 and n.count("}") == 1 and n.startswith("p::{")
               and n.endswith("}:history") for n in names)


def test_history_expires_and_suspension_does_not(redis_client):
    lim = RedisRateLimiter(redis_client, window_seconds=7)
    for _ in range(11):
        lim.check_and_record("k")
    history, suspension = (n for n in redis_client.keys("*") if n.endswith(b"history")), \
        (n for n in redis_client.keys("*") if n.endswith(b"suspended"))
    assert 6_000 < redis_client.pttl(next(history)) <= 7_000
    assert redis_client.pttl(next(suspension)) == -1


def test_the_server_clock_is_the_default(redis_client):
    lim = RedisRateLimiter(redis_client)
    lim.check_and_record("k")
    [(_, stamp)] = redis_client.zrange(redis_client.keys("*history")[0], 0, -1, withscores=True)
    seconds, micros = redis_client.time()
    assert 0 <= seconds + micros / 1e6 - stamp < 5


@pytest.mark.parametrize("kwargs", [
    {"soft_limit": 10, "hard_limit": 10}, {"soft_limit": 5.9, "hard_limit": 5},
    {"soft_limit": True, "hard_limit": -2.5}, {"soft_limit": "5"}, {"hard_limit": None},
    {"soft_limit": float("inf")}, {"window_seconds": 1j}, {"window_seconds": 1.9},
])
def test_constructor_takes_arguments_as_rate_limiter_does(redis_client, kwargs):
    try:
        expected = RateLimiter(**kwargs)
    except Exception as e:
        with pytest.raises(type(e)) as info:
            RedisRateLimiter(redis_client, **kwargs)
        assert str(info.value) == str(e)
        return
    lim = RedisRateLimiter(redis_client, **kwargs)
    names = ("soft_limit", "hard_limit", "window_seconds", "suspend_callback")
    assert [getattr(lim, n) for n in names] == [getattr(expected, n) for n in names]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"window_seconds": 0.5}, ValueError, "window_seconds must be >= 1"),
    ({"window_seconds": -60}, ValueError, "window_seconds must be >= 1"),
    ({"prefix": "a{b"}, ValueError, "prefix must not contain"),
    ({"prefix": b"p"}, TypeError, "expected str, got bytes"),
    ({"clock": 5}, TypeError, "clock must be callable"),
])
def test_constructor_refusals(redis_client, kwargs, error, message):
    with pytest.raises(error, match=message):
        RedisRateLimiter(redis_client, **kwargs)


@pytest.mark.parametrize("attr, value", [("hard_limit", None), ("soft_limit", "5"),
                                         ("window_seconds", 0), ("window_seconds", "60")])
def test_reassigned_settings_are_refused_before_recording(redis_client, attr, value):
    lim = RedisRateLimiter(redis_client)
    lim.check_and_record("k")
    setattr(lim, attr, value)
    with pytest.raises((TypeError, ValueError)):
        lim.check_and_record("k")
    setattr(lim, attr, getattr(RedisRateLimiter(redis_client), attr))
    assert lim.get_count("k") == 1 and not lim.is_suspended("k")


class Str(str):
    pass


@pytest.mark.parametrize("method", ["check_and_record", "get_count", "is_suspended",
                                    "reinstate", "reset"])
@pytest.mark.parametrize("key", [5, b"k", None, Str("k")])
def test_key_type_errors_are_rate_limiters(redis_client, method, key):
    args = (key, True) if method == "check_and_record" else (key,)
    with pytest.raises(TypeError) as theirs:
        getattr(RateLimiter(), method)(*args)
    with pytest.raises(TypeError) as ours:
        getattr(RedisRateLimiter(redis_client), method)(*args)
    assert str(ours.value) == str(theirs.value)
    assert redis_client.dbsize() == 0


def test_a_flushed_script_cache_is_reloaded(redis_client):
    lim = RedisRateLimiter(redis_client)
    lim.check_and_record("k")
    redis_client.script_flush()
    assert lim.check_and_record("k") == (True, "OK (2/10)") and lim.get_count("k") == 2


def test_a_failing_script_leaves_nothing_half_done(redis_client):
    # A foreign value under the history's name makes the script fail at its
    # first write: the suspension must not have been entered either.
    lim = RedisRateLimiter(redis_client, 0, 0)
    lim.check_and_record("k")
    lim.reinstate("k")
    history = lim._names("k")[0]
    redis_client.set(history, "foreign")
    with pytest.raises(redis.ResponseError, match="WRONGTYPE"):
        lim.check_and_record("k")
    assert not lim.is_suspended("k") and redis_client.get(history) == b"foreign"


# --- the same sequences on RateLimiter and RedisRateLimiter ---------------------

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, seed  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


class Stop(BaseException):
    """Not an Exception: leaves check_and_record past the callback handler."""


KEYS = ["a", "", "{b}:c\n"]
keys = st.sampled_from(KEYS)
limit_values = st.one_of(st.integers(-1, 12), st.sampled_from([2.5, 0.5, float("inf"),
                                                                float("nan"), True]))
windows = st.sampled_from([1, 2, 5, 60, 1.5, 90])
operation = st.one_of(
    st.tuples(st.just("check_and_record"), keys, st.sampled_from([False, True, 0, 1, None, "x"])),
    st.tuples(st.just("check_and_record"), keys),
    st.tuples(st.just("check_and_record"), keys),
    st.tuples(st.sampled_from(["get_count", "is_suspended", "reinstate", "reset"]), keys),
    st.tuples(st.just("advance"), st.sampled_from([0.0, 0.5, 1.0, 1.5, 2.0, 59.75, 60.0, 61.0,
                                                   -0.5, -3.0, -60.0, 1e6])),
    st.tuples(st.just("set"), st.sampled_from(["soft_limit", "hard_limit"]), limit_values),
    st.tuples(st.just("set"), st.just("window_seconds"), windows),
    st.tuples(st.just("callback"), st.sampled_from([None, 0, "record", "raise", "reinstate",
                                                    "relimit", "stop"])),
)


class Side:
    def __init__(self, lim, clock):
        self.lim, self.clock, self.calls = lim, clock, []

    def callback(self, kind):
        def record(key):
            self.calls.append(key)
            if kind == "raise":
                raise ValueError(f"no {key}")
            if kind == "reinstate":
                self.lim.reinstate(key)
            if kind == "relimit":
                self.lim.hard_limit, self.lim.soft_limit = 7, 6
            if kind == "stop":
                raise Stop()
        return record if isinstance(kind, str) else kind

    def apply(self, op):
        name, *args = op
        try:
            if name == "advance":
                self.clock.now += args[0]
            elif name == "set":
                setattr(self.lim, *args)
            elif name == "callback":
                self.lim.suspend_callback = self.callback(args[0])
            else:
                return ("ok", getattr(self.lim, name)(*args))
        except (Exception, Stop) as e:
            return ("raised", type(e), str(e))
        return None


@pytest.fixture(scope="module")
def shared_client(redis_server):
    with redis_server.client() as client:
        yield client


@seed(13)
@given(config=st.tuples(st.integers(0, 4), st.integers(4, 10), windows),
       ops=st.lists(operation, min_size=20, max_size=60))
def test_sequences_match_rate_limiter(shared_client, config, ops):
    clock, saved = Clock(), limiter.time
    limiter.time = clock
    memory = Side(RateLimiter(*config), clock)
    shared = Side(RedisRateLimiter(shared_client, *config, prefix=uuid.uuid4().hex,
                                   clock=lambda: clock.now), clock)
    lines = {"orvex.limiter": [], "orvex.redis_limiter": []}
    handler = logging.Handler()
    handler.emit = lambda r: lines[r.name].append((r.levelname, r.getMessage()))
    loggers = [logging.getLogger(name) for name in lines]
    for log in loggers:
        log.addHandler(handler)
        log.setLevel(logging.DEBUG)
    try:
        for op in ops:
            if op[0] == "advance":
                memory.apply(op)
                continue
            assert memory.apply(op) == shared.apply(op), op
            assert lines["orvex.limiter"] == lines["orvex.redis_limiter"], op
            assert memory.calls == shared.calls, op
        state = [(k, memory.lim.get_count(k), memory.lim.is_suspended(k)) for k in KEYS]
        assert state == [(k, shared.lim.get_count(k), shared.lim.is_suspended(k)) for k in KEYS]
        assert sorted(shared.lim.suspended_keys()) == sorted(memory.lim._suspended)
    finally:
        limiter.time = saved
        for log in loggers:
            log.removeHandler(handler)
            log.setLevel(logging.NOTSET)


# --- processes and faults --------------------------------------------------------

WORKER = textwrap.dedent("""
    import json, sys
    import redis
    from orvex.redis_limiter import RedisRateLimiter
    client = redis.Redis.from_url(sys.argv[1], socket_timeout=10)
    callbacks = []
    lim = RedisRateLimiter(client, 5, 10, suspend_callback=callbacks.append, prefix="race")
    client.rpush("ready", 1)
    assert client.blpop("go", timeout=20) is not None
    results = [lim.check_and_record("10.0.0.7") for _ in range(100)]
    print(json.dumps({"results": results, "callbacks": callbacks}))
""")


def test_processes_share_one_budget_and_one_suspension(redis_server, redis_client, tmp_path):
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, redis_server.url], cwd=tmp_path,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for _ in range(4)]
    try:
        for _ in workers:
            assert redis_client.blpop("ready", timeout=30) is not None
        redis_client.rpush("go", *[1] * len(workers))
        outputs = [w.communicate(timeout=60) for w in workers]
    finally:
        for w in workers:
            w.kill()
    assert all(w.returncode == 0 for w in workers), [err for _, err in outputs]
    reports = [json.loads(out) for out, _ in outputs]
    results = [tuple(r) for report in reports for r in report["results"]]
    admitted = [r for r in results if r[0]]
    assert len(results) == 400 and len(admitted) == 10
    assert sorted(m for _, m in admitted) == sorted(f"OK ({n}/10)" for n in range(1, 11))
    assert results.count(EXCEEDED) == 1 and results.count((False, "Suspended")) == 389
    assert sorted(len(report["callbacks"]) for report in reports) == [0, 0, 0, 1]
    [suspender] = [report for report in reports if report["callbacks"]]
    assert suspender["callbacks"] == ["10.0.0.7"] and EXCEEDED in map(tuple, suspender["results"])


@pytest.fixture
def own_server(tmp_path):
    server = RedisServer(require(), tmp_path).start()
    yield server
    server.stop()


def test_a_killed_server_fails_closed_and_a_restarted_one_is_used(own_server):
    client = own_server.client(socket_timeout=2, socket_connect_timeout=2)
    lim = RedisRateLimiter(client, 3, 5)
    assert [lim.check_and_record("k") for _ in range(3)] == [(True, f"OK ({n}/5)")
                                                            for n in (1, 2, 3)]
    own_server.kill()
    for method, args in [("check_and_record", ("k",)), ("get_count", ("k",)),
                         ("is_suspended", ("k",)), ("reinstate", ("k",))]:
        with pytest.raises(redis.ConnectionError):
            getattr(lim, method)(*args)
    assert lim.check_and_record("k", True) == (True, "Rate limit bypassed")  # needs no server
    own_server.start()
    # A new server: empty, and without the script, which is loaded again.
    assert lim.check_and_record("k") == (True, "OK (1/5)") and lim.get_count("k") == 1
    client.close()


def test_a_stalled_server_gives_the_clients_timeout(own_server):
    client = own_server.client(socket_timeout=0.3, retry_on_timeout=False)
    lim = RedisRateLimiter(client, 3, 5)
    lim.check_and_record("k")
    os.kill(own_server.process.pid, signal.SIGSTOP)
    try:
        with pytest.raises(redis.TimeoutError):
            lim.check_and_record("k")
    finally:
        os.kill(own_server.process.pid, signal.SIGCONT)
    # The stalled call ran whole once the server went on, or not at all.
    assert lim.get_count("k") in (1, 2) and not lim.is_suspended("k")
    client.close()


# --- asyncio -------------------------------------------------------------------------

def test_async_limiter_races_to_one_suspension(redis_server, redis_client, logs):
    calls = []

    async def callback(key):
        await asyncio.sleep(0)
        calls.append(key)

    async def main():
        # A pool of its own per task: the calls really overlap on the server.
        clients = [redis.asyncio.Redis.from_url(redis_server.url, socket_timeout=10)
                   for _ in range(8)]
        try:
            limiters = [AsyncRedisRateLimiter(c, 2, 4, suspend_callback=callback)
                        for c in clients]
            results = await asyncio.gather(*(lim.check_and_record("k")
                                             for lim in limiters for _ in range(5)))
            lim = limiters[0]
            state = (await lim.get_count("k"), await lim.is_suspended("k"),
                     [k async for k in lim.suspended_keys()])
            await lim.reinstate("k")
            await lim.reset("k")
            return results, state, await lim.check_and_record("k")
        finally:
            for c in clients:
                await c.aclose()

    results, state, after = asyncio.run(main())
    assert sorted(m for ok, m in results if ok) == [f"OK ({n}/4)" for n in range(1, 5)]
    assert results.count((False, "Rate limit exceeded (4/4). Suspended.")) == 1
    assert results.count((False, "Suspended")) == 35
    assert calls == ["k"] and state == (4, True, ["k"]) and after == (True, "OK (1/4)")
    assert [line for line in logs() if line[0] != "WARNING" or "HARD" in line[1]] == [
        ("WARNING", "HARD LIMIT: k exceeded 4 events/window \u2014 suspended"),
        ("INFO", "Reinstated: k")]


def test_import_without_the_client_names_the_extra(tmp_path):
    code = ("import sys; sys.modules['redis'] = None; import orvex\n"
            "try:\n    import orvex.redis_limiter\n"
            "except ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert 'pip install "orvex[redis]"' in out.stdout, out.stderr

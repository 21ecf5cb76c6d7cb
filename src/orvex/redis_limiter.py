"""Rate limiting shared by every process and host that uses one Redis server.

``RedisRateLimiter`` (over ``redis.Redis``) and ``AsyncRedisRateLimiter``
(over ``redis.asyncio.Redis``) make the decisions of ``orvex.limiter``'s
``RateLimiter``, with the same results, log records and callback rules, but
keep each key's history and suspension in Redis. Every ``check_and_record``
is one atomic script on the server, so processes racing on one key share one
budget, and exactly one of them suspends it.

Needs the ``redis`` extra: ``pip install "orvex[redis]"``.
"""

import functools
import hashlib
import inspect
import logging
import math
import numbers
from pathlib import Path
from typing import (Any, AsyncIterator, Callable, Iterator, List, Optional, Sequence, Set, Tuple,
                    Union, cast)
from urllib.parse import quote_from_bytes, unquote_to_bytes

try:
    from redis.exceptions import NoScriptError
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        'orvex.redis_limiter needs the redis client: pip install "orvex[redis]"') from error

__all__ = ["AsyncRedisRateLimiter", "RedisRateLimiter"]

logger = logging.getLogger(__name__)

# --- texts: the results and log lines are those of orvex.limiter -----------

BYPASSED = (True, "Rate limit bypassed")
SUSPENDED = (False, "Suspended")
SUBCLASS_NOTE = (". Subclasses of built-in types are rejected; "
                 "convert the argument to the exact type first.")


def _exceeded(count: int, hard_limit: object) -> Tuple[bool, str]:
    return (False, f"Rate limit exceeded ({count}/{hard_limit}). Suspended.")


def _admitted(count: int, hard_limit: object) -> Tuple[bool, str]:
    return (True, f"OK ({count + 1}/{hard_limit})")


def _hard_line(key: str, hard_limit: object) -> str:
    return f"HARD LIMIT: {key} exceeded {hard_limit} events/window \u2014 suspended"


def _soft_line(key: str, count: int, soft_limit: object) -> str:
    return f"SOFT LIMIT: {key} at {count}/{soft_limit} events/window"


def _callback_line(error: BaseException) -> str:
    return f"Suspend callback failed: {error}"


def _reinstated_line(key: str) -> str:
    return f"Reinstated: {key}"


# --- the script --------------------------------------------------------------

_SCRIPT = (Path(__file__).with_name("redis_limiter.lua")).read_bytes()
_SCRIPT_SHA = hashlib.sha1(_SCRIPT).hexdigest()

# The script's answers to "check".
_ALREADY_SUSPENDED, _RECORDED, _NOW_SUSPENDED = 0, 1, 2

# The count that never reaches a limit (NaN or infinity): more members than a
# history can hold, and still exact as a double in the script.
_NEVER = 2**53
# Longest time to live the server accepts with room to add its own clock.
_MAX_TTL_MS = 2**62


# --- arguments ---------------------------------------------------------------

def _type_name(value: object) -> str:
    tp = type(value)
    if tp.__flags__ & (1 << 9) or tp.__module__ == "builtins":  # heap types: the bare name
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def _incorrect_type(param: str, expected: type, value: object) -> TypeError:
    note = SUBCLASS_NOTE if isinstance(value, expected) else ""
    return TypeError(f"Argument '{param}' has incorrect type "
                     f"(expected {expected.__name__}, got {_type_name(value)}){note}")


def _exact_key(key: object) -> str:
    if type(key) is not str:
        raise _incorrect_type("key", str, key)
    return key


def _to_int(param: str, value: object) -> int:
    """A limit as RateLimiter's constructor takes it: an int, or a number made one."""
    if type(value) is int:
        return value
    tp = type(value)
    if any(hasattr(tp, slot) for slot in ("__index__", "__int__", "__float__")) \
            or isinstance(value, complex):
        return int(cast(Any, value))  # int() raises for what it can't convert
    raise TypeError(f"Argument '{param}' has incorrect type (expected int, got {_type_name(value)})")


def _real(name: str, value: object) -> Union[int, float]:
    """A limit read for one call. RateLimiter compares whatever it holds; the
    script compares numbers, so anything else is refused before the call."""
    if type(value) is int or type(value) is float:  # the usual case, without the ABC check
        return value
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {_type_name(value)}")
    return int(value) if isinstance(value, numbers.Integral) else float(value)


def _threshold(name: str, limit: object) -> int:
    """The least count that is >= limit, as the script compares counts."""
    value = _real(name, limit)
    if isinstance(value, int):
        return min(max(value, 0), _NEVER)
    if math.isnan(value) or value == math.inf:
        return _NEVER
    return 0 if value == -math.inf else min(max(math.ceil(value), 0), _NEVER)


def _window(value: object) -> Union[int, float]:
    window = _real("window_seconds", value)
    if not window >= 1 or window == math.inf:
        raise ValueError("window_seconds must be >= 1")
    return window


def _check_prefix(prefix: object) -> str:
    if type(prefix) is not str:
        raise _incorrect_type("prefix", str, prefix)
    # A brace in the prefix would move or empty the hash tag that keeps a
    # key's structures in one cluster slot.
    if "{" in prefix or "}" in prefix:
        raise ValueError("prefix must not contain '{' or '}'")
    return prefix


# --- key names ----------------------------------------------------------------

# A key is written as its UTF-8 bytes (lone surrogates included), percent-
# encoded except for letters, digits and "-._~": "10.0.0.7" stays readable, and
# no key can produce ":", "{", "}", "*" or a newline, so none can collide with
# another or leave its hash tag. The empty key is "%", which no encoding yields,
# so that its hash tag is not empty (an empty tag hashes the whole name).
_HISTORY, _SUSPENDED = "history", "suspended"


@functools.lru_cache(maxsize=4096)  # busy keys come back; quoting costs a few microseconds
def _encode(key: str) -> str:
    return quote_from_bytes(key.encode("utf-8", "surrogatepass"), safe="") or "%"


def _decode(text: str) -> Optional[str]:
    """The key that _encode wrote as text, or None for a name it never writes."""
    try:
        key = "" if text == "%" else unquote_to_bytes(text).decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return None
    return key if _encode(key) == text else None


def _glob_escape(text: str) -> str:
    return "".join("\\" + c if c in "*?[]\\" else c for c in text)


# Docstrings shared by the two classes (the in-memory limiter's, where it has one).
_CHECK_DOC = """Check if an event is allowed and record it.

        Args:
            key: Identifier for the rate-limited entity (e.g., device address).
            skip_limit: If True, bypass rate limiting (for trusted entities).

        Returns:
            Tuple of (allowed: bool, message: str).
        """
_SCAN_DOC = """The keys suspended under this prefix, each once, found with SCAN.

        Keys suspended or reinstated while the scan runs may or may not appear.
        """


def _doc(text: str) -> Callable[[Any], Any]:
    def give(function: Any) -> Any:
        function.__doc__ = text
        return function

    return give


Clock = Callable[[], float]
SuspendCallback = Callable[[str], object]


class _Limiter:
    """What the two limiters share: configuration, key names and script arguments."""

    def __init__(self, client: Any, soft_limit: int = 5, hard_limit: int = 10,
                 window_seconds: int = 60, suspend_callback: Optional[SuspendCallback] = None,
                 *, prefix: str = "orvex:limiter", clock: Optional[Clock] = None) -> None:
        soft_limit = _to_int("soft_limit", soft_limit)
        hard_limit = _to_int("hard_limit", hard_limit)
        window_seconds = _to_int("window_seconds", window_seconds)
        if soft_limit > hard_limit:
            raise ValueError("soft_limit must be <= hard_limit")
        # A window below a second (0.5 truncates to 0) forgets each event as
        # soon as it is recorded: a limiter that never limits.
        if window_seconds < 1:
            raise ValueError("window_seconds must be >= 1")
        prefix = _check_prefix(prefix)
        if clock is not None and not callable(clock):
            raise TypeError(f"clock must be callable or None, not {_type_name(clock)}")
        self.soft_limit = soft_limit
        self.hard_limit = hard_limit
        self.window_seconds = window_seconds
        self.suspend_callback = suspend_callback
        self._client = client
        self._prefix = prefix
        self._clock = clock

    @property
    def client(self) -> Any:
        return self._client

    @property
    def prefix(self) -> str:
        return self._prefix

    def _names(self, key: str) -> List[str]:
        tag = f"{self._prefix}:{{{_encode(key)}}}:"
        return [tag + _HISTORY, tag + _SUSPENDED]

    def _now(self) -> str:
        if self._clock is None:
            return ""  # the script reads the server's clock
        now = float(self._clock())
        if not math.isfinite(now):
            raise ValueError("clock must return a finite time")
        return repr(now)

    def _check_args(self) -> List[Union[str, int]]:
        window = _window(self.window_seconds)
        threshold = _threshold("hard_limit", self.hard_limit)
        _real("soft_limit", self.soft_limit)  # refused before anything is recorded
        ttl = min(math.ceil(window * 1000), _MAX_TTL_MS)
        return ["check", self._now(), repr(window), threshold, ttl]

    def _count_args(self) -> List[Union[str, int]]:
        window = _window(self.window_seconds)
        return ["count", self._now(), repr(window)]

    def _scan_pattern(self) -> str:
        return f"{_glob_escape(self._prefix)}:{{*}}:{_SUSPENDED}"

    def _suspended_key(self, name: Union[bytes, str]) -> Optional[str]:
        if isinstance(name, bytes):
            name = name.decode("utf-8", "replace")
        head, tail = f"{self._prefix}:{{", f"}}:{_SUSPENDED}"
        if not (name.startswith(head) and name.endswith(tail)):
            return None
        return _decode(name[len(head):len(name) - len(tail)])

    def _verdict(self, key: str, reply: Sequence[int]) -> Tuple[Optional[Tuple[bool, str]], int]:
        """The answer to a check and the count it saw; no answer yet for the
        one call that suspended the key, which logs it and runs the callback."""
        status, count = int(reply[0]), int(reply[1])
        if status == _ALREADY_SUSPENDED:
            return SUSPENDED, count
        if status == _RECORDED:
            if count >= self.soft_limit:
                logger.warning(_soft_line(key, count, self.soft_limit))
            return _admitted(count, self.hard_limit), count
        logger.warning(_hard_line(key, self.hard_limit))
        return None, count

    def _first_sight(self, name: Union[bytes, str], seen: Set[str]) -> Optional[str]:
        """The suspended key a scanned name belongs to, unless already seen."""
        key = self._suspended_key(name)
        if key is None or key in seen:
            return None
        seen.add(key)
        return key


class RedisRateLimiter(_Limiter):
    """Sliding-window rate limiter whose state lives in Redis.

    The decisions, results, log records and callback rules are those of
    ``orvex.limiter.RateLimiter``; the state is shared by every limiter on the
    same server and prefix.

    Args:
        client: A ``redis.Redis`` (or ``redis.RedisCluster``) client. Its errors
            reach the caller unchanged: the limiter fails closed.
        soft_limit: Events per window before warning. Default: 5.
        hard_limit: Events per window before suspension. Default: 10.
        window_seconds: Time window in seconds, at least 1. Default: 60.
        suspend_callback: Optional function called with (key: str) when
            the hard limit is exceeded, in the one process that suspends the key.
        prefix: Start of every Redis key name the limiter uses.
        clock: Optional function returning the time in seconds; by default
            the server's clock, so that every host shares one window.
    """

    def _run(self, key: str, args: List[Union[str, int]]) -> Any:
        names = self._names(key)
        try:
            return self._client.evalsha(_SCRIPT_SHA, 2, *names, *args)
        except NoScriptError:  # a new or restarted server: EVAL loads the script
            return self._client.eval(_SCRIPT, 2, *names, *args)

    @_doc(_CHECK_DOC)
    def check_and_record(self, key: str, skip_limit: bool = False) -> Tuple[bool, str]:
        skip = bool(skip_limit)
        _exact_key(key)
        if skip:
            return BYPASSED
        answer, count = self._verdict(key, self._run(key, self._check_args()))
        if answer is not None:
            return answer
        if self.suspend_callback:
            try:
                self.suspend_callback(key)
            except Exception as error:
                logger.error(_callback_line(error))
        # Read after the callback, which may have changed it.
        return _exceeded(count, self.hard_limit)

    def get_count(self, key: str) -> int:
        """Get current event count for a key within the window."""
        _exact_key(key)
        return int(self._run(key, self._count_args()))

    def is_suspended(self, key: str) -> bool:
        """Check if a key is suspended."""
        _exact_key(key)
        return bool(self._client.exists(self._names(key)[1]))

    def reinstate(self, key: str) -> None:
        """Reinstate a suspended key and clear its history."""
        _exact_key(key)
        self._client.delete(*self._names(key))  # one command: both or neither
        logger.info(_reinstated_line(key))

    def reset(self, key: str) -> None:
        """Reset the event counter for a key without changing suspension status."""
        _exact_key(key)
        self._client.delete(self._names(key)[0])

    @_doc(_SCAN_DOC)
    def suspended_keys(self) -> Iterator[str]:
        seen: Set[str] = set()
        for name in self._client.scan_iter(match=self._scan_pattern(), count=1000):
            key = self._first_sight(name, seen)
            if key is not None:
                yield key


class AsyncRedisRateLimiter(_Limiter):
    """``RedisRateLimiter`` for asyncio, over a ``redis.asyncio.Redis`` client.

    Every method is a coroutine; ``suspended_keys`` is an async iterator. The
    suspend callback may be a plain function or a coroutine function.
    """

    async def _run(self, key: str, args: List[Union[str, int]]) -> Any:
        names = self._names(key)
        try:
            return await self._client.evalsha(_SCRIPT_SHA, 2, *names, *args)
        except NoScriptError:  # a new or restarted server: EVAL loads the script
            return await self._client.eval(_SCRIPT, 2, *names, *args)

    @_doc(_CHECK_DOC)
    async def check_and_record(self, key: str, skip_limit: bool = False) -> Tuple[bool, str]:
        skip = bool(skip_limit)
        _exact_key(key)
        if skip:
            return BYPASSED
        answer, count = self._verdict(key, await self._run(key, self._check_args()))
        if answer is not None:
            return answer
        if self.suspend_callback:
            try:
                returned = self.suspend_callback(key)
                if inspect.isawaitable(returned):
                    await returned
            except Exception as error:
                logger.error(_callback_line(error))
        # Read after the callback, which may have changed it.
        return _exceeded(count, self.hard_limit)

    async def get_count(self, key: str) -> int:
        """Get current event count for a key within the window."""
        _exact_key(key)
        return int(await self._run(key, self._count_args()))

    async def is_suspended(self, key: str) -> bool:
        """Check if a key is suspended."""
        _exact_key(key)
        return bool(await self._client.exists(self._names(key)[1]))

    async def reinstate(self, key: str) -> None:
        """Reinstate a suspended key and clear its history."""
        _exact_key(key)
        await self._client.delete(*self._names(key))  # one command: both or neither
        logger.info(_reinstated_line(key))

    async def reset(self, key: str) -> None:
        """Reset the event counter for a key without changing suspension status."""
        _exact_key(key)
        await self._client.delete(self._names(key)[0])

    @_doc(_SCAN_DOC)
    async def suspended_keys(self) -> AsyncIterator[str]:
        seen: Set[str] = set()
        async for name in self._client.scan_iter(match=self._scan_pattern(), count=1000):
            key = self._first_sight(name, seen)
            if key is not None:
                yield key

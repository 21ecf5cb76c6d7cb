"""The shared limiter on a real server: sequential check_and_record from one
client over loopback TCP, calls per second and latency percentiles, beside the
Redis moving-window limiter of the `limits` package (installed into the bench
environment only: pip install limits).

Starts a private redis-server (Debian's package) on a free port of 127.0.0.1,
with nothing saved to disk, and stops it at the end. Both limiters use the
same redis client library and server, and run in alternating rounds over the
same 1,000 keys with limits far above what the run reaches, so that every call
is an admitted, recorded event.
"""

import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

KEYS = [f"10.0.{i // 256}.{i % 256}" for i in range(1000)]
CALLS_PER_ROUND = 5000
LIMIT = 10**9


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(binary, directory):
    import redis

    port = free_port()
    process = subprocess.Popen(
        [binary, "--bind", "127.0.0.1", "--port", str(port), "--save", "", "--appendonly", "no",
         "--dir", directory, "--logfile", os.path.join(directory, "redis.log")],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            with redis.Redis(host="127.0.0.1", port=port, socket_timeout=1) as client:
                client.ping()
            return process, port
        except redis.ConnectionError:
            if process.poll() is not None or time.monotonic() > deadline:
                process.kill()
                raise RuntimeError("redis-server did not start") from None
            time.sleep(0.02)


def timed(call):
    """(seconds for the round, per-call latencies in seconds)."""
    latencies = []
    clock = time.perf_counter
    start = clock()
    for i in range(CALLS_PER_ROUND):
        before = clock()
        call(KEYS[i % len(KEYS)])
        latencies.append(clock() - before)
    return clock() - start, latencies


def candidates(port):
    import redis

    from orvex.redis_limiter import RedisRateLimiter

    client = redis.Redis(host="127.0.0.1", port=port)
    ours = RedisRateLimiter(client, LIMIT, LIMIT, 60)
    own_clock = RedisRateLimiter(client, LIMIT, LIMIT, 60, prefix="own-clock", clock=time.time)
    rows = {"orvex RedisRateLimiter (server clock)": ours.check_and_record,
            "orvex RedisRateLimiter (clock=time.time)": own_clock.check_and_record}
    try:
        from limits import RateLimitItemPerMinute
        from limits.storage import RedisStorage
        from limits.strategies import MovingWindowRateLimiter
    except ImportError:
        print("(limits is not installed: pip install limits, to compare with it)")
    else:
        storage = RedisStorage(f"redis://127.0.0.1:{port}")
        theirs = MovingWindowRateLimiter(storage)
        item = RateLimitItemPerMinute(LIMIT)
        rows["limits MovingWindowRateLimiter.hit"] = lambda key: theirs.hit(item, key)
    return rows


def versions():
    import redis

    parts = [f"redis-py {redis.__version__}"]
    try:
        import hiredis
        parts.append(f"hiredis {hiredis.__version__}")
    except ImportError:
        parts.append("no hiredis")
    try:
        import limits
        parts.append(f"limits {limits.__version__}")
    except ImportError:
        pass
    return ", ".join(parts)


def report(rounds):
    binary = shutil.which("redis-server")
    try:
        import redis
    except ImportError:
        binary = None
    if binary is None:
        print("redis section skipped: needs redis-server and the redis client "
              "(apt-get install redis-server; pip install redis limits)")
        return
    with tempfile.TemporaryDirectory(prefix="orvex-bench-redis-") as directory:
        process, port = start_server(binary, directory)
        try:
            with redis.Redis(host="127.0.0.1", port=port) as client:
                server = client.info("server")["redis_version"]
            rows = candidates(port)
            for call in rows.values():  # connect and load the scripts
                for key in KEYS:
                    call(key)
            samples = {name: [] for name in rows}
            for round_number in range(rounds):
                # Alternate the order too, so that no side always runs first.
                names = list(rows) if round_number % 2 == 0 else list(rows)[::-1]
                for name in names:
                    samples[name].append(timed(rows[name]))
        finally:
            process.terminate()
            process.wait(10)
    print(f"redis-server {server} on 127.0.0.1 (TCP), {versions()}; sequential calls from one "
          f"client, {rounds} rounds of {CALLS_PER_ROUND} over {len(KEYS)} keys\n")
    print(f"| {'limiter':44} | {'calls/s':>9} | {'p50':>9} | {'p99':>9} |")
    print(f"|{'-' * 46}|{'-' * 11}|{'-' * 11}|{'-' * 11}|")
    for name, runs in samples.items():
        rate = statistics.median(CALLS_PER_ROUND / seconds for seconds, _ in runs)
        latencies = sorted(t for _, lat in runs for t in lat)
        p50 = latencies[len(latencies) // 2]
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        print(f"| {name:44} | {rate:9,.0f} | {p50 * 1e6:6.1f} us | {p99 * 1e6:6.1f} us |")

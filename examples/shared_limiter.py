"""Two worker processes, one budget: a device that fails in both is suspended once, for both.

Each worker runs its own RedisRateLimiter on the same Redis server, as the
workers of one service (or of several hosts) would. The device's attempts are
counted together, exactly one worker sees the hard limit and runs the
suspension callback, and from then on both refuse the device until an
operator reinstates it. Needs the redis extra (pip install "orvex[redis]") and
a running server, which this example does not start:

    python examples/shared_limiter.py redis://localhost:6379/0
"""

import argparse
import logging
import multiprocessing
import sys
from typing import Any, List, Tuple

import redis

from orvex.redis_limiter import RedisRateLimiter

DEVICE = "10.0.0.7"
PREFIX = "orvex-example:limiter"
ATTEMPTS_PER_WORKER = 5
SOFT_LIMIT, HARD_LIMIT = 3, 5


def say(line: str) -> None:
    # One write per line: the two workers share the terminal or pipe, and
    # print() may write a text and its newline separately.
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def make_limiter(url: str, worker: int) -> RedisRateLimiter:
    def locked_out(key: str) -> None:
        say(f"worker {worker}: suspend callback: {key} locked out, operator notified")

    client = redis.Redis.from_url(url, socket_timeout=5)
    return RedisRateLimiter(client, SOFT_LIMIT, HARD_LIMIT, suspend_callback=locked_out,
                            prefix=PREFIX)


def worker(url: str, number: int, rounds: Any, results: Any) -> None:
    logging.basicConfig(level=logging.INFO, stream=sys.stdout,
                        format=f"worker {number}: [%(levelname)s %(name)s] %(message)s")
    limiter = make_limiter(url, number)
    outcomes: List[Tuple[bool, str]] = []
    for _ in range(ATTEMPTS_PER_WORKER):
        rounds.wait(30)  # the two workers race attempt by attempt
        # A failed unlock attempt of the device would be handled here.
        allowed, message = limiter.check_and_record(DEVICE)
        say(f'worker {number}: attempt from {DEVICE}: "{message}"')
        outcomes.append((allowed, message))
    results.put((number, outcomes))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("url", help="the Redis server, e.g. redis://localhost:6379/0")
    url = parser.parse_args().url
    logging.basicConfig(level=logging.INFO, format="[%(levelname)s %(name)s] %(message)s",
                        stream=sys.stdout)
    operator = make_limiter(url, 0)
    operator.reinstate(DEVICE)  # a clean start, whatever an earlier run left behind

    context = multiprocessing.get_context("spawn")
    rounds, results = context.Barrier(2), context.Queue()
    workers = [context.Process(target=worker, args=(url, n, rounds, results)) for n in (1, 2)]
    for process in workers:
        process.start()
    reports = dict(results.get(timeout=30) for _ in workers)
    for process in workers:
        process.join(30)

    admitted = sum(allowed for outcomes in reports.values() for allowed, _ in outcomes)
    suspenders = [n for n, outcomes in sorted(reports.items())
                  if any(message.startswith("Rate limit exceeded") for _, message in outcomes)]
    print(f"admitted {admitted} of {2 * ATTEMPTS_PER_WORKER} attempts across 2 workers "
          f"(hard limit {HARD_LIMIT}); suspended by worker {', '.join(map(str, suspenders))}")
    print(f"suspended keys: {sorted(operator.suspended_keys())}")
    operator.reinstate(DEVICE)
    print(f"after reinstatement: {operator.check_and_record(DEVICE)[1]}")
    operator.reset(DEVICE)


if __name__ == "__main__":
    main()

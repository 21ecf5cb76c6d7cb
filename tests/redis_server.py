"""A private redis-server for the tests: on a Unix socket in a directory of its
own, nothing saved to disk, started and stopped by the test run."""
import os
import shutil
import subprocess
import time

import pytest

MISSING = ("needs Debian's redis-server package and the redis client "
           "(apt-get install redis-server; pip install redis)")


def require():
    """The redis-server binary; skip without it, or fail under CI, which must
    have installed it."""
    binary = shutil.which("redis-server")
    try:
        import redis  # noqa: F401
    except ImportError:
        binary = None
    if binary is None:
        if os.environ.get("CI") == "true":
            pytest.fail("CI has no redis-server or redis client: " + MISSING)
        pytest.skip(MISSING)
    return binary


class RedisServer:
    def __init__(self, binary, directory):
        self.binary, self.directory = binary, str(directory)
        self.socket = os.path.join(self.directory, "redis.sock")
        self.url = "unix://" + self.socket
        self.process = None

    def start(self, timeout=10.0):
        import redis

        self.process = subprocess.Popen(
            [self.binary, "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
             "--save", "", "--appendonly", "no", "--dir", self.directory,
             "--logfile", os.path.join(self.directory, "redis.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # The server is not ours to instrument: keep a sanitizer run's
            # preloaded runtimes out of it.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server exited with {self.process.returncode}")
            try:
                with redis.Redis(unix_socket_path=self.socket, socket_timeout=1) as client:
                    client.ping()
                return self
            except (redis.ConnectionError, redis.TimeoutError):
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("redis-server did not answer") from None
                time.sleep(0.02)

    def kill(self):
        """Gone at once, as in a crash."""
        self.process.kill()
        self.process.wait(10)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()

    def client(self, **options):
        import redis

        return redis.Redis.from_url(self.url, **{"socket_timeout": 10, **options})

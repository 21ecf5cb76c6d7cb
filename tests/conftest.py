import logging

import pytest

KEY = bytes(range(32))


@pytest.fixture
def vault():
    from orvex.vault import AESVault

    return AESVault()


# The private functions that a build made with ORVEX_TEST_HOOKS=ON binds in
# the modules (CMakeLists.txt); a release build has none of them.
TEST_HOOKS = {"_native_sample", "_native_sha256", "_native_calls"}


def hook_or_skip(module, name):
    """module.<name>, a private test hook; skips the calling test in a build
    without hooks."""
    hook = getattr(module, name, None)
    if hook is None:
        pytest.skip(f"{module.__name__}.{name}: built without ORVEX_TEST_HOOKS=ON")
    return hook



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


@pytest.fixture
def vault_log(caplog):
    """The records logged on "orvex.vault" during the test, from DEBUG up."""
    caplog.set_level(logging.DEBUG, logger="orvex.vault")
    return lambda: [r for r in caplog.records if r.name == "orvex.vault"]


# Property tests: ORVEX_HYPOTHESIS_PROFILE picks how hard they search. "ci"
# (the default) keeps the normal run short; "heavy" is for the sanitizer run
# and for hunting by hand. No example database: runs leave no files behind.
try:
    import os

    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without hypothesis
    pass
else:
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
    settings.register_profile("ci", max_examples=60, deadline=None, database=None,
                              suppress_health_check=_quiet)
    settings.register_profile("heavy", max_examples=600, deadline=None, database=None,
                              suppress_health_check=_quiet)
    settings.load_profile(os.environ.get("ORVEX_HYPOTHESIS_PROFILE", "ci"))

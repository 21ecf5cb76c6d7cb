import logging

import pytest

KEY = bytes(range(32))


@pytest.fixture
def vault():
    from orvex.vault import AESVault

    return AESVault()


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
# (the default) keeps the normal run short and draws the same examples every
# time, so that a red or green run can be repeated; "heavy" is for the
# sanitizer run and for hunting by hand, with fresh random examples each run
# (a failure prints the blob that replays it). Every strategy bounds its sizes,
# so an example takes milliseconds in either. No example database: runs leave
# no files behind.
try:
    import os

    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without hypothesis
    pass
else:
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
    settings.register_profile("ci", max_examples=60, deadline=None, database=None,
                              derandomize=True, suppress_health_check=_quiet)
    settings.register_profile("heavy", max_examples=600, deadline=None, database=None,
                              print_blob=True, suppress_health_check=_quiet)
    settings.load_profile(os.environ.get("ORVEX_HYPOTHESIS_PROFILE", "ci"))

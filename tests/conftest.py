import logging

import pytest

KEY = bytes(range(32))


@pytest.fixture
def vault():
    from orvex.vault import AESVault

    return AESVault()


@pytest.fixture
def vault_log(caplog):
    """The records logged on "orvex.vault" during the test, from DEBUG up."""
    caplog.set_level(logging.DEBUG, logger="orvex.vault")
    return lambda: [r for r in caplog.records if r.name == "orvex.vault"]

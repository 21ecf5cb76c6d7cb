from pathlib import Path

import orvex


def test_installed_package_carries_its_type_stubs():
    # Type checkers read these only from the installed package, next to the
    # extension modules; a build that drops them leaves users with untyped code.
    installed = Path(orvex.__file__).parent
    for name in ("fuzzy.pyi", "limiter.pyi", "vault.pyi", "py.typed"):
        assert (installed / name).is_file(), name


def test_version_is_the_installed_distributions():
    # The version is written once, in orvex/__init__.py; the build reads it
    # from there into the distribution's metadata.
    from importlib.metadata import version

    assert version("orvex") == orvex.__version__


def test_installed_package_carries_the_shared_limiters_script():
    # orvex.redis_limiter reads its Lua script from beside itself at import.
    installed = Path(orvex.__file__).parent
    assert (installed / "redis_limiter.lua").is_file()

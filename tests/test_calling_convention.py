"""How orvex's native functions bind arguments and behave as Python functions,
seen through AESVault, whose methods are built on the shared runtime."""

import copy
import ctypes
import inspect
import logging
import pickle
import pydoc
import re
import sys
import types
import typing
from collections import OrderedDict

import numpy as np
import pytest

import orvex.vault as vault_module
from orvex.vault import AESVault
from conftest import TEST_HOOKS

KEY = bytes(range(32))
E, D = AESVault.encrypt, AESVault.decrypt


def _count(name, bound, n, given):
    plural = "" if n == 1 else "s"
    return f"{name}() takes {bound} {n} positional argument{plural} ({given} given)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: AESVault().encrypt(KEY), _count("encrypt", "exactly", 3, 2)),
        (lambda: E(), _count("encrypt", "exactly", 3, 0)),
        (lambda: E(None, KEY, b"", 4), _count("encrypt", "exactly", 3, 4)),
        (lambda: AESVault().decrypt(KEY, {}, 1), _count("decrypt", "exactly", 3, 4)),
        # With keywords, "given" is the position of the first missing parameter.
        (lambda: E(None, payload=b""), _count("encrypt", "exactly", 3, 1)),
        (lambda: E(key=KEY, payload=b""), _count("encrypt", "exactly", 3, 0)),
        (lambda: AESVault().decrypt(record={}), _count("decrypt", "exactly", 3, 1)),
        (lambda: AESVault().decrypt(KEY, {}, extra=1),
         "decrypt() got an unexpected keyword argument 'extra'"),
        (lambda: E(None, KEY, key=KEY), "encrypt() got multiple values for keyword argument 'key'"),
        (lambda: AESVault().encrypt(KEY, self=1),
         "encrypt() got multiple values for keyword argument 'self'"),
        # Keyword names are checked before the positional count.
        (lambda: E(None, KEY, b"", 4, payload=b""),
         "encrypt() got multiple values for keyword argument 'payload'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "defaults, call, message",
    [
        ((b"",), lambda: E(), _count("encrypt", "at least", 2, 0)),
        ((b"",), lambda: E(None, KEY, b"", 1), _count("encrypt", "at most", 3, 4)),
        ((KEY, b""), lambda: E(), _count("encrypt", "at least", 1, 0)),
        ((b"",), lambda: E(payload=b""), _count("encrypt", "at least", 2, 0)),
        # Defaults pass the same type checks as arguments.
        (("key", b""), lambda: E(None),
         "Argument 'key' has incorrect type (expected bytes, got str)"),
    ],
)
def test_binding_with_defaults(monkeypatch, defaults, call, message):
    monkeypatch.setattr(E, "__defaults__", defaults)
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_defaults_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(E, "__defaults__", (KEY, b"abc"))
    assert str(inspect.signature(E)).startswith("(self, key: 'bytes' = ")
    assert AESVault().decrypt(KEY, AESVault().encrypt()) == b"abc"
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        E.__defaults__ = [b""]


def _pyobject_call(func, args, kwargs):
    proto = ctypes.PYFUNCTYPE(*[ctypes.py_object] * 4)
    return proto(("PyObject_Call", ctypes.pythonapi))(func, args, kwargs)


def _vectorcall_method(name, args, kwnames):
    """self.name(*args) through the vectorcall protocol, as a C caller makes it;
    the last len(kwnames) arguments are passed under those keyword names."""
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                              ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object)
    argv = (ctypes.py_object * len(args))(*args)
    call = proto(("PyObject_VectorcallMethod", ctypes.pythonapi))
    return call(name, argv, len(args) - len(kwnames), kwnames)


def test_keywords_must_be_strings():
    with pytest.raises(TypeError) as info:
        _vectorcall_method("encrypt", (AESVault(), KEY, b""), (1,))
    assert str(info.value) == "encrypt() keywords must be strings"
    # A keyword dict with a non-string key never reaches the function: the
    # interpreter refuses it while unpacking, in its own words.
    with pytest.raises(TypeError, match="keywords must be strings$"):
        _pyobject_call(E, (None, KEY), {1: b""})
    record = AESVault().encrypt(KEY, b"x")
    assert _vectorcall_method("decrypt", (AESVault(), KEY, record), ("record",)) == b"x"


class KeyBytes(bytes):
    pass


@pytest.mark.parametrize(
    "method, args, expected, got",
    [
        ("encrypt", ("key", b""), "bytes", "str"),
        ("encrypt", (bytearray(KEY), b""), "bytes", "bytearray"),
        ("encrypt", (None, b""), "bytes", "NoneType"),
        ("encrypt", (32, object()), "bytes", "int"),  # the key is checked before the payload
        ("decrypt", (memoryview(KEY), {}), "bytes", "memoryview"),
        ("decrypt", ("key", []), "bytes", "str"),  # key before record
        ("decrypt", (KEY, []), "dict", "list"),
        ("decrypt", (KEY, None), "dict", "NoneType"),
    ],
)
def test_exact_type_messages(monkeypatch, method, args, expected, got):
    monkeypatch.setattr(vault_module, "AES", None)  # the body must not run
    with pytest.raises(TypeError) as info:
        getattr(AESVault(), method)(*args)
    param = "key" if expected == "bytes" else "record"
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected {expected}, got {got})")


@pytest.mark.parametrize(
    "args, head",
    [
        ((KeyBytes(KEY), {}), "Argument 'key' has incorrect type (expected bytes, got KeyBytes). "),
        ((KEY, OrderedDict()),
         "Argument 'record' has incorrect type (expected dict, got collections.OrderedDict). "),
    ],
)
def test_subclasses_of_exact_types_are_refused_with_a_note(args, head):
    with pytest.raises(TypeError) as info:
        AESVault().decrypt(*args)
    message = str(info.value)
    assert message.startswith(head)
    assert re.fullmatch(r"[A-Z][^.]+\.?", message[len(head):])  # one sentence


def test_function_attributes():
    for f, name in ((E, "encrypt"), (D, "decrypt")):
        assert (f.__name__, f.__qualname__) == (name, "AESVault." + name)
        assert f.__module__ == "orvex.vault"
    assert E.__annotations__ == {
        "key": "bytes", "payload": "Union[np.ndarray, bytes]", "return": "dict"}
    assert list(D.__annotations__.items()) == [
        ("key", "bytes"), ("record", "dict"), ("return", "Union[np.ndarray, bytes]")]
    assert E.__defaults__ is None and D.__dict__ == {} and "AESVault.encrypt" in repr(E)
    # The string annotations resolve in the module's namespace.
    assert E.__globals__ is vars(vault_module)
    assert typing.get_type_hints(D) == {
        "key": bytes, "record": dict, "return": typing.Union[np.ndarray, bytes]}
    # Docstrings keep their source layout: a leading newline, the source
    # indent on every line, and a last line holding the indent only.
    for obj, indent in ((vault_module, ""), (AESVault, 4), (E, 8), (D, 8)):
        lines = obj.__doc__.split("\n")
        indent = " " * (indent or 0)
        assert lines[0] == "" and lines[-1] == indent and lines[2] == ""
        assert all(line == "" or line.startswith(indent) and line[len(indent)] != " "
                   for line in lines[1:4])
    assert E.__doc__.split("\n")[1] == " " * 8 + "Encrypt a payload using AES-256-GCM."
    assert D.__doc__.split("\n")[-2] == (
        " " * 12 + "ValueError: If decryption fails (wrong key or tampered data).")


def test_function_attributes_are_settable(monkeypatch):
    monkeypatch.setattr(E, "__doc__", "replaced")
    monkeypatch.setattr(E, "marker", 1, raising=False)
    assert E.__doc__ == "replaced" and E.__dict__ == {"marker": 1}
    monkeypatch.setattr(D, "__annotations__", None)
    assert D.__annotations__ == {}
    assert str(inspect.signature(D)) == "(self, key, record)"
    with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
        D.__annotations__ = [("key", "bytes")]
    with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
        E.__qualname__ = None


def test_signatures_and_help():
    assert str(inspect.signature(E)) == (
        "(self, key: 'bytes', payload: 'Union[np.ndarray, bytes]') -> 'dict'")
    assert str(inspect.signature(AESVault().decrypt)) == \
        "(key: 'bytes', record: 'dict') -> 'Union[np.ndarray, bytes]'"
    assert str(inspect.signature(AESVault)) == "()"
    text = pydoc.render_doc(AESVault, renderer=pydoc.plaintext)
    shown = "encrypt(self, key: 'bytes', payload: 'Union[np.ndarray, bytes]') -> 'dict'"
    if sys.version_info >= (3, 14):  # pydoc shows string annotations unquoted, as for def
        shown = shown.replace("'", "")
    assert shown in text
    assert "Decrypt a vault record." in text


def test_methods_bind_like_python_functions():
    vault = AESVault()
    assert AESVault.__dict__["encrypt"] is E and vault.__class__.encrypt is E
    bound = vault.encrypt
    assert isinstance(bound, types.MethodType) and bound.__self__ is vault and bound.__func__ is E
    assert E.__get__(None, AESVault) is E
    # self is never checked: any first argument works through the class.
    assert D("anything", KEY, E(42, KEY, b"x")) == b"x"
    assert vault.decrypt(record=vault.encrypt(payload=b"y", key=KEY), key=KEY) == b"y"


def test_pickling_and_copying_are_by_reference():
    for f in (E, D):
        assert pickle.loads(pickle.dumps(f)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f
    bound = pickle.loads(pickle.dumps(AESVault().encrypt))
    assert bound.__func__ is E and type(bound.__self__) is AESVault


def test_class_and_module_namespaces():
    assert AESVault.__bases__ == (object,)
    assert (AESVault.__module__, AESVault.__qualname__) == ("orvex.vault", "AESVault")
    assert list(vars(AESVault))[:4] == ["__module__", "__doc__", "encrypt", "decrypt"]
    vault = AESVault()
    vault.note = 1
    assert vars(vault) == {"note": 1}
    with pytest.raises(TypeError):
        AESVault(KEY)
    names = [n for n in vars(vault_module) if not n.startswith("__") and n not in TEST_HOOKS]
    assert names == ["logging", "np", "Optional", "Union", "AES", "logger", "AESVault"]
    from Crypto.Cipher import AES

    assert vault_module.np is np and vault_module.AES is AES and vault_module.Union is typing.Union
    assert vault_module.logger is logging.getLogger("orvex.vault")


def test_subclass_overrides_a_method():
    class Reversing(AESVault):
        def encrypt(self, key, payload):
            return super().encrypt(key, payload[::-1])

    vault = Reversing()
    assert vault.decrypt(KEY, vault.encrypt(KEY, b"abc")) == b"cba"


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    from Crypto.Cipher import AES

    calls = []

    def new(*args, **kwargs):
        calls.append((args, kwargs))
        return AES.new(*args, **kwargs)

    monkeypatch.setattr(vault_module, "AES", types.SimpleNamespace(new=new, MODE_GCM=AES.MODE_GCM))
    record = AESVault().encrypt(KEY, b"p")
    assert AESVault().decrypt(KEY, record) == b"p"
    nonce = bytes.fromhex(record["nonce"])
    assert calls == [((KEY, AES.MODE_GCM), {}), ((KEY, AES.MODE_GCM), {"nonce": nonce})]

    # Under a replaced np, a real ndarray is no longer an array payload.
    monkeypatch.setattr(vault_module, "np", types.SimpleNamespace(ndarray=KeyBytes))
    with pytest.raises(TypeError, match=r"^Expected np.ndarray or bytes, got <class 'numpy.nd"):
        AESVault().encrypt(KEY, np.zeros(2))

    logged = []
    recorder = types.SimpleNamespace(error=lambda *a, **k: logged.append((a, k)))
    monkeypatch.setattr(vault_module, "logger", recorder)
    with pytest.raises(ValueError):
        AESVault().decrypt(KEY, {})
    assert logged == [(("Decryption failed (tampering or wrong key): 'ciphertext'",), {})]

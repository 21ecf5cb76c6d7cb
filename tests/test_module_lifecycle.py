"""Module objects made and cleared outside a plain import: each has its own
state, and a function whose module was cleared refuses calls instead of
reading freed state (what a finalizer at interpreter shutdown can run into)."""

import ctypes
import importlib.util
import inspect

import numpy as np
import pytest

CALLS = {
    "orvex.vault": lambda m: m.AESVault().encrypt(bytes(16), b"x"),
    "orvex.limiter": lambda m: m.RateLimiter().check_and_record("k"),
    "orvex.fuzzy": lambda m: m.FuzzyExtractor(4, 2).lock_secret(np.ones(8), b"s"),
}


class ModuleDef(ctypes.Structure):
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)  # holds the GIL
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p),
        ("m_traverse", ctypes.c_void_p), ("m_clear", clear), ("m_free", ctypes.c_void_p),
    ]


def fresh_instance(name):
    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def clear(module):
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(ModuleDef)
    get_def.argtypes = [ctypes.py_object]
    assert get_def(module).contents.m_clear(module) == 0


@pytest.mark.parametrize("name", CALLS)
def test_a_second_module_instance_works_on_its_own(name):
    module = fresh_instance(name)
    CALLS[name](module)
    clear(module)
    CALLS[name](importlib.import_module(name))  # the imported instance is untouched


@pytest.mark.parametrize("name", CALLS)
def test_functions_of_a_cleared_module_refuse_calls(name):
    module = fresh_instance(name)
    cls = next(v for k, v in vars(module).items() if k[0].isupper() and isinstance(v, type))
    methods = [v for v in vars(cls).values() if callable(v)]
    clear(module)
    clear(module)  # clearing twice is harmless
    with pytest.raises(RuntimeError, match=r"called after its module was cleared"):
        CALLS[name](module)
    for method in methods:
        assert method.__qualname__.startswith(cls.__name__)
        repr(method), inspect.signature(method)


def test_every_attribute_of_a_cleared_function_answers_or_raises():
    # What the collector does to a function caught in a cycle before it is
    # freed, while a finalizer may still hold it.
    module = fresh_instance("orvex.vault")
    functions = list(vars(module.AESVault).values())[2:4]
    tp_clear = ctypes.pythonapi.PyType_GetSlot
    tp_clear.restype = ModuleDef.clear
    tp_clear.argtypes = [ctypes.py_object, ctypes.c_int]
    for f in functions:
        assert tp_clear(type(f), 51)(f) == 0  # Py_tp_clear
        with pytest.raises(RuntimeError, match=r"^AESVault\.\w+\.__globals__ read after its module"):
            f.__globals__
        with pytest.raises(RuntimeError, match=r"called after its module was cleared"):
            f(module.AESVault(), bytes(16), b"x")
        for name in dir(f):
            try:
                getattr(f, name)
            except Exception:
                pass
        assert (f.__defaults__, f.__doc__, f.__annotations__) == (None, None, {})
        repr(f), inspect.signature(f), f.__reduce__(), f.__get__(object())

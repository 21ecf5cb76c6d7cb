"""Large payloads are sealed and opened in a buffer the vault keeps per
thread, through PyCryptodome's own GCM methods: the records are the ones the
literal calls make, no megabyte-sized intermediate object is made, anything
replaced goes the literal way, and a buffer something else still holds is
never reused."""
import gc
import logging
import sys
import time
import tracemalloc
import types

import numpy as np
import pytest
from Crypto.Cipher import AES
from Crypto.Cipher._mode_gcm import GcmMode

import orvex.vault as vault_module
import reference
from conftest import hook_or_skip, run_threads
from orvex.vault import AESVault

KEY = bytes(range(32))
IN_PLACE_FROM = 64 << 10
MIB = 1 << 20


LARGE_ARRAYS = {
    "float32, 1 MiB": lambda: np.arange(MIB // 4, dtype=np.float32),
    "one byte short": lambda: np.arange(IN_PLACE_FROM - 1, dtype=np.uint8),
    "at the edge": lambda: np.arange(IN_PLACE_FROM, dtype=np.uint8),
    "one byte past": lambda: np.arange(IN_PLACE_FROM + 1, dtype=np.uint8),
    "big-endian 2d": lambda: np.arange(40_000, dtype=">i4").reshape(200, 200),
    "datetime64": lambda: np.arange(20_000).astype("M8[s]"),
    "unicode": lambda: np.array(["\u00e9t\u00e9", "x"] * 10_000),
    "void V12": lambda: np.frombuffer(bytes(range(240)) * 500, "V12"),
    "Fortran order": lambda: np.asfortranarray(np.arange(90_000.0).reshape(300, 300)),
    "strided": lambda: np.arange(100_000)[::3],
    "broadcast view": lambda: np.broadcast_to(np.arange(1000.0), (100, 1000)),
    "read-only": lambda: np.frombuffer(bytes(range(256)) * 1000, np.uint8),
    "ndarray subclass": lambda: np.arange(20_000.0).view(type("Tagged", (np.ndarray,), {})),
    "over the kept size": lambda: np.ones((5 * MIB) // 8),
}


def literal_record_matches(record, plaintext, key=KEY):
    """The record is what AES-GCM gives for this plaintext under its nonce."""
    cipher = AES.new(key, AES.MODE_GCM, nonce=bytes.fromhex(record["nonce"]))
    ciphertext, tag = cipher.encrypt_and_digest(plaintext)
    return record["ciphertext"] == ciphertext.hex() and record["tag"] == tag.hex()


def same_array(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("name", LARGE_ARRAYS)
def test_large_arrays_give_the_literal_records(vault, name):
    array = LARGE_ARRAYS[name]()
    for _ in range(2):  # the second time in the buffer the first one left
        record = vault.encrypt(KEY, array)
        assert literal_record_matches(record, array.tobytes())
        assert (record["shape"], record["dtype"]) == (list(array.shape), str(array.dtype))
        assert same_array(vault.decrypt(KEY, record), np.asarray(array))
    assert hook_or_skip(vault_module, "_in_place_verdict")() == "agrees"


@pytest.mark.parametrize("size", [IN_PLACE_FROM - 1, IN_PLACE_FROM, 3 * IN_PLACE_FROM + 7, MIB])
def test_large_bytes_and_their_subclasses(vault, size):
    payload = np.random.default_rng(size).bytes(size)
    for value in (payload, type("Tagged", (bytes,), {})(payload)):
        record = vault.encrypt(KEY, value)
        assert literal_record_matches(record, payload)
        opened = vault.decrypt(KEY, record)
        assert type(opened) is bytes and opened == payload


# --- what the literal calls would have made, and didn't ---------------------

def traced_peak(call):
    """The peak of memory allocated through Python while `call` runs, after
    a first run has made (and left) the thread's buffer."""
    call()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        call()
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def numpy_proxy():
    proxy = types.ModuleType("numpy_proxy")
    proxy.__getattr__ = lambda name: getattr(np, name)
    return proxy


def test_no_megabyte_sized_object_but_the_results(vault):
    array = np.arange(MIB // 4, dtype=np.float32)
    record = vault.encrypt(KEY, array)
    # The record's 2 MiB of hex, and the opened plaintext: nothing else.
    assert traced_peak(lambda: vault.encrypt(KEY, array)) < 2.25 * MIB
    assert traced_peak(lambda: vault.decrypt(KEY, record)) < 1.25 * MIB


def test_a_replaced_np_gets_tobytes_called(vault, monkeypatch):
    array = np.arange(MIB // 4, dtype=np.float32)
    monkeypatch.setattr(vault_module, "np", numpy_proxy())
    # tobytes()'s megabyte beside the hex; the genuine cipher still seals it
    # into the buffer.
    assert traced_peak(lambda: vault.encrypt(KEY, array)) > 2.75 * MIB
    record = vault.encrypt(KEY, array)
    assert literal_record_matches(record, array.tobytes())
    assert same_array(vault.decrypt(KEY, record), array)


@pytest.mark.parametrize("replace", ["AES", "AES.new"])
def test_a_replaced_cipher_gets_the_literal_calls(vault, monkeypatch, replace):
    array = np.arange(MIB // 4, dtype=np.float32)
    record = vault.encrypt(KEY, array)
    if replace == "AES":
        monkeypatch.setattr(vault_module, "AES", types.SimpleNamespace(
            new=AES.new, MODE_GCM=AES.MODE_GCM))
    else:
        real_new = AES.new
        monkeypatch.setattr(AES, "new", lambda *args, **kwargs: real_new(*args, **kwargs))
    # The plaintext's bytes, the cipher's output and the hex: 4 MiB at once;
    # the ciphertext's bytes and the plaintext's.
    assert traced_peak(lambda: vault.encrypt(KEY, array)) > 3.5 * MIB
    assert traced_peak(lambda: vault.decrypt(KEY, record)) > 1.75 * MIB
    assert literal_record_matches(vault.encrypt(KEY, array), array.tobytes())
    assert same_array(vault.decrypt(KEY, record), array)


def spy_on(monkeypatch, name, calls):
    """GcmMode.<name> replaced by a wrapper that notes the type of its first
    argument and its output, then does what the method does."""
    real = getattr(GcmMode, name)

    def spy(self, data, *args, output=None):
        calls.append((type(data), output))
        return real(self, data, *args, output=output)

    monkeypatch.setattr(GcmMode, name, spy)


@pytest.mark.parametrize("method", ["encrypt_and_digest", "encrypt", "decrypt_and_verify",
                                    "decrypt"])
def test_replaced_cipher_methods_are_called_as_the_code_calls_them(vault, monkeypatch, method):
    array = np.arange(MIB // 4, dtype=np.float32)
    record = vault.encrypt(KEY, array)
    calls = []
    spy_on(monkeypatch, method, calls)
    sealed = vault.encrypt(KEY, array)
    opened = vault.decrypt(KEY, record)
    assert calls and all(c == (bytes, None) for c in calls)
    assert literal_record_matches(sealed, array.tobytes()) and same_array(opened, array)


def test_a_method_found_on_the_cipher_itself_is_the_one_called(vault, monkeypatch):
    """A cipher whose own dict holds a method name: looking it up finds that
    one, not the class's, so nothing may be called around it."""
    real_init, calls = GcmMode.__init__, []

    def init(self, *args, **kwargs):
        real_init(self, *args, **kwargs)
        real = self.digest
        self.digest = lambda: calls.append("digest") or real()

    monkeypatch.setattr(GcmMode, "__init__", init)
    array = np.arange(MIB // 4, dtype=np.float32)
    record = vault.encrypt(KEY, array)
    assert calls == ["digest"] and literal_record_matches(record, array.tobytes())


def test_failures_in_place_are_the_literal_failures(vault, vault_log):
    payload = np.random.default_rng(3).bytes(MIB + 3)
    record = vault.encrypt(KEY, payload)
    text = record["ciphertext"]
    flipped = text[:1000] + ("0" if text[1000] != "0" else "1") + text[1001:]
    variants = [
        dict(record, ciphertext=flipped),
        dict(record, tag=record["tag"][:-2]),
        dict(record, ciphertext=text.upper()),
        dict(record, ciphertext=text[:64] + " " + text[64:]),
        dict(record, ciphertext=text[:-1]),
        dict(record, ciphertext=text[:5000] + "\u00e9" + text[5001:]),
    ]
    for key in (KEY, bytes(32), bytes(20)):
        for edited in variants:
            before = len(vault_log())
            got = reference.outcome(vault.decrypt, key, edited)
            assert got == reference.outcome(reference.decrypt, key, edited)
            assert len(vault_log()) - before == (got[0] == "raised")


# --- buffers across threads, nested calls and outside holders ---------------

def test_threads_seal_and_open_in_buffers_of_their_own():
    vault = AESVault()

    def work(i, deadline):
        rng = np.random.default_rng(i)
        while time.monotonic() < deadline:
            n = int(rng.integers(IN_PLACE_FROM // 4, (5 * MIB) // 4))
            array = rng.integers(0, 2**31, n, dtype=np.int32)
            record = vault.encrypt(KEY, array)
            assert literal_record_matches(record, array.tobytes())
            assert same_array(vault.decrypt(KEY, record), array)

    assert not run_threads(work, 3, 1)


def test_a_call_nested_in_a_collection_takes_its_own_buffer(vault):
    """A collection while the cipher runs may run code that seals on the same
    thread; both records must come out whole."""
    outer = np.arange(MIB // 4, dtype=np.float32)
    inner = np.arange(MIB // 8, dtype=np.int64)[::-1].copy()
    nested = []

    def during_collection(phase, info):
        if phase == "start" and not nested:
            nested.append(vault.encrypt(KEY, inner))

    threshold = gc.get_threshold()
    gc.callbacks.append(during_collection)
    gc.set_threshold(1)
    try:
        record = vault.encrypt(KEY, outer)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(during_collection)
    assert nested, "no collection ran during the call"
    assert literal_record_matches(record, outer.tobytes())
    assert literal_record_matches(nested[0], inner.tobytes())


def grab_output(method, held):
    """A profile function that keeps a NumPy view of the `output` argument
    of GcmMode.<method>, as code reading the call's frame from outside could."""
    code = getattr(GcmMode, method).__code__

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code and not held:
            output = frame.f_locals.get("output")
            if output is not None:
                held.append(np.frombuffer(output, dtype=np.uint8))

    return profile


def test_a_buffer_held_elsewhere_is_theirs(vault):
    first = np.arange(MIB // 4, dtype=np.float32)
    held = []
    sys.setprofile(grab_output("encrypt_and_digest", held))
    try:
        record = vault.encrypt(KEY, first)
    finally:
        sys.setprofile(None)
    assert held, "the profile function saw no output"
    assert literal_record_matches(record, first.tobytes())
    # The next call seals in another buffer, and writing to the held one is
    # no harm to it.
    second = np.arange(MIB // 4, dtype=np.float32) * 3
    next_record = vault.encrypt(KEY, second)
    assert held[0].tobytes() == bytes.fromhex(record["ciphertext"])
    held[0][:] = 0xAB
    assert literal_record_matches(next_record, second.tobytes())
    assert same_array(vault.decrypt(KEY, next_record), second)


def test_plaintext_is_handed_out_apart_from_the_buffer(vault):
    """The plaintext is copied out of the thread's buffer: what decrypt
    returns, nobody else can change, and a buffer held elsewhere is left to
    its holder."""
    payload, other = (np.random.default_rng(seed).bytes(MIB) for seed in (4, 5))
    record, other_record = vault.encrypt(KEY, payload), vault.encrypt(KEY, other)
    held = []
    sys.setprofile(grab_output("decrypt_and_verify", held))
    try:
        opened = vault.decrypt(KEY, record)
    finally:
        sys.setprofile(None)
    assert held, "the profile function saw no output"
    held[0][:] = 0  # the memory the cipher wrote, still writable through the view
    assert opened == payload
    assert vault.decrypt(KEY, other_record) == other
    assert not held[0].any()  # not taken again for the next call


def test_the_view_the_cipher_writes_through(vault):
    """A plaintext is opened in the bytes its hex was read into, through a
    writable view of them. Whoever keeps that view gets bytes that are not
    the ones handed out, and the view's kind can't be made to point anywhere
    from Python."""
    payload = np.random.default_rng(6).bytes(MIB)
    record = vault.encrypt(KEY, payload)
    held = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is GcmMode.decrypt_and_verify.__code__ and not held:
            held.append(frame.f_locals.get("output"))

    sys.setprofile(profile)
    try:
        opened = vault.decrypt(KEY, record)
    finally:
        sys.setprofile(None)
    view = held[0]
    assert isinstance(view, memoryview) and not view.readonly and view.tobytes() == payload
    view[:4] = b"\0\0\0\0"
    assert opened == payload and view.obj is not None
    with pytest.raises(BufferError):
        memoryview(type(view.obj)())
    # Opened again with no one holding the view: its own bytes, as before.
    again = vault.decrypt(KEY, record)
    assert again == payload and again is not opened and opened == payload


def test_failed_openings_leave_nothing_behind(vault, monkeypatch):
    monkeypatch.setattr(logging.getLogger("orvex.vault"), "disabled", True)
    record = vault.encrypt(KEY, bytes(256 << 10))
    tampered = dict(record, tag=("0" if record["tag"][0] != "0" else "1") + record["tag"][1:])

    def fail_many():
        for _ in range(30):
            with pytest.raises(ValueError, match="MAC check failed"):
                vault.decrypt(KEY, tampered)
        gc.collect()

    fail_many()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        fail_many()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 128 << 10  # far below one plaintext a call

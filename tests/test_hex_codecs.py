"""Every hex codec this processor has (the table, SSSE3, AVX2, AVX-512) held
against bytes.hex and bytes.fromhex, at every length around the vector widths
and with a stray character at every place the loops split the text."""
import string

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvex.vault as vault
from conftest import hook_or_skip

CODECS = ["portable", "ssse3", "avx2", "avx512vbmi"]
# Every length up to three 64-byte registers and a tail, then lengths around
# larger multiples of every width.
LENGTHS = list(range(0, 200)) + [n + d for n in (256, 1024, 4096) for d in (-33, -1, 0, 1, 31)]
HEX_DIGITS = set(string.hexdigits.encode())
# Characters next to the digit ranges, whitespace that bytes.fromhex skips,
# and bytes with the high bit set, among them digits with it added.
STRAYS = b"/:@G`g \t\n\x00\x7f\x80\xb0\xc1\xe6\xff"


def usable(codec):
    encode = hook_or_skip(vault, "_native_hex")
    try:
        encode(b"", codec)
    except ValueError:
        return False
    return True


@pytest.fixture(params=CODECS)
def codec(request):
    if not usable(request.param):
        pytest.skip(f"no {request.param} on this processor")
    return request.param


def test_the_portable_codec_is_always_there():
    assert usable("portable")
    with pytest.raises(ValueError, match="no hex codec 'sse9'"):
        vault._native_hex(b"", "sse9")


def test_encodes_as_bytes_hex(codec):
    rng = np.random.default_rng(1)
    for n in LENGTHS:
        data = rng.bytes(n)
        assert vault._native_hex(data, codec) == data.hex(), n
    every_byte = bytes(range(256)) * 3
    assert vault._native_hex(every_byte, codec) == every_byte.hex()


def test_decodes_digit_pairs_of_either_case(codec):
    rng = np.random.default_rng(2)
    for n in LENGTHS:
        data = rng.bytes(n)
        text = data.hex()
        assert vault._native_unhex(text.encode(), codec) == data, n
        assert vault._native_unhex(text.upper().encode(), codec) == data, n
        mixed = "".join(c.upper() if i % 3 else c for i, c in enumerate(text))
        assert vault._native_unhex(mixed.encode(), codec) == data, n


@pytest.mark.parametrize("n", [1, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200])
def test_refuses_a_stray_character_wherever_it_stands(codec, n):
    text = bytearray(bytes(range(n)).hex().encode())
    for where in sorted({0, 1, 2 * n - 1} | set(range(0, 2 * n, 7))):
        for stray in STRAYS:
            edited = bytes(text[:where] + bytes([stray]) + text[where + 1:])
            assert vault._native_unhex(edited, codec) is None, (where, stray)


def test_refuses_odd_lengths():
    with pytest.raises(ValueError, match="two digits a byte"):
        hook_or_skip(vault, "_native_unhex")(b"abc", "portable")


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=700), st.data())
def test_codecs_agree_with_python(data, draws):
    codec = draws.draw(st.sampled_from([c for c in CODECS if usable(c)]), "codec")
    text = data.hex().encode()
    # Sometimes a character replaced, by a digit or by anything else.
    if text and draws.draw(st.booleans(), "edit"):
        where = draws.draw(st.integers(0, len(text) - 1), "where")
        byte = draws.draw(st.integers(0, 255), "byte")
        text = text[:where] + bytes([byte]) + text[where + 1:]
    expected = bytes.fromhex(text.decode("latin-1")) if set(text) <= HEX_DIGITS else None
    assert vault._native_unhex(text, codec) == expected
    assert vault._native_hex(data, codec) == data.hex()

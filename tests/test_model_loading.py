"""Load failures reach Python as ValueError with the loader's message (the
checks themselves are tested in tests/cpp/test_model.cc)."""

import struct

import pytest

import tamsu
from conftest import SIMPLE_ARCS, SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model


def test_missing_symbol_table(tmp_path):
    path = compile_model(tmp_path, "m", SIMPLE_ARCS, SIMPLE_ISYMS,
                         SIMPLE_OSYMS, keep_osyms=False)
    with pytest.raises(ValueError, match="^FST is missing output symbol "
                                         "table$"):
        tamsu.Model(path)


@pytest.mark.parametrize("name, detail", [
    (None, "Can't open file: the path contains a NUL character"),
    ("absent.fst", "Can't open file: "),
    (".", ""),  # a folder opens but cannot be read
    ("text.fst", "Magic number not matched"),
])
def test_unreadable_files(simple_model_path, tmp_path, capfd, name, detail):
    (tmp_path / "text.fst").write_text("just some text\n")
    with pytest.raises(ValueError) as info:  # None: a real file, then NUL
        tamsu.Model(str(tmp_path / name) if name else
                    simple_model_path + "\0.bak")
    assert str(info.value).startswith("failed to read FST: ")
    assert detail in str(info.value)
    # OpenFst's own log lines must not leak onto standard error.
    assert capfd.readouterr().err == ""


def test_the_message_survives_bytes_that_are_not_utf8(tmp_path):
    path = tmp_path / "model.fst"
    tamsu.train([("zq", "Z K")], path, progress=False)
    data = bytearray(path.read_bytes())
    # The grapheme "q" becomes a byte that is not UTF-8, its label 99: the
    # reader's message quotes that byte.
    at = data.index(b"\x01\x00\x00\x00q") + 4
    data[at] = 0xFF
    struct.pack_into("<q", data, at + 1, 99)
    path.write_bytes(data)
    with pytest.raises(ValueError) as error:
        tamsu.Model(str(path))
    assert error.match("^failed to read FST: ")
    assert "\ufffd" in str(error.value) and str(path) in str(error.value)

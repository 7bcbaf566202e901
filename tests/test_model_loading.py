"""Load failures reach Python as ValueError with the loader's message (the
checks themselves are tested in tests/cpp/test_model.cc)."""

import pytest

import tamsu
from conftest import SIMPLE_ARCS, SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model


@pytest.mark.parametrize("keep, message", [
    ((False, True), "FST is missing input symbol table"),
    ((True, False), "FST is missing output symbol table"),
])
def test_missing_symbol_tables(tmp_path, keep, message):
    path = compile_model(tmp_path, "m", SIMPLE_ARCS, SIMPLE_ISYMS,
                         SIMPLE_OSYMS, keep_isyms=keep[0], keep_osyms=keep[1])
    with pytest.raises(ValueError, match=f"^{message}$"):
        tamsu.Model(path)


@pytest.mark.parametrize("name, detail", [
    ("model.fst\0.bak", "Can't open file: the path contains a NUL character"),
    ("absent.fst", "Can't open file: "),
    (".", ""),  # a folder opens but cannot be read
    ("text.fst", "Magic number not matched"),
])
def test_unreadable_files(simple_model_path, tmp_path, capfd, name, detail):
    (tmp_path / "text.fst").write_text("just some text\n")
    path = str(tmp_path / name) if name != "model.fst\0.bak" else \
        simple_model_path + "\0.bak"
    with pytest.raises(ValueError) as info:
        tamsu.Model(path)
    assert str(info.value).startswith("failed to read FST: ")
    assert detail in str(info.value)
    # OpenFst's own log lines must not leak onto standard error.
    assert capfd.readouterr().err == ""

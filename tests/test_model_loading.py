"""Loading model files: valid ones, and damaged ones that must fail cleanly."""

import os
import subprocess
import sys

import pytest

import fstbytes
import tamsu
from conftest import SIMPLE_ARCS, SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model


def damaged(tmp_path, data):
    path = tmp_path / "damaged.fst"
    path.write_bytes(data)
    return str(path)


def load_error(path):
    with pytest.raises(ValueError) as info:
        tamsu.Model(path)
    return str(info.value)


def test_loads_and_answers_lookups(simple_model_path):
    model = tamsu.Model(simple_model_path)
    assert model.find_isym(3) == "a"
    assert model.find_osym("K|S") == 7


@pytest.mark.parametrize("keep, message", [
    ((False, False), "FST is missing input symbol table"),
    ((False, True), "FST is missing input symbol table"),
    ((True, False), "FST is missing output symbol table"),
])
def test_missing_symbol_tables(tmp_path, keep, message):
    path = compile_model(tmp_path, "m", SIMPLE_ARCS, SIMPLE_ISYMS,
                         SIMPLE_OSYMS, keep_isyms=keep[0], keep_osyms=keep[1])
    assert load_error(path) == message


def test_path_with_nul_names_no_other_file(simple_model_path):
    # As a C string this would name the (valid) model itself.
    message = load_error(simple_model_path + "\0.bak")
    assert message == ("failed to read FST: Can't open file: the path "
                       "contains a NUL character")


@pytest.mark.parametrize("name", ["nope.fst", "", "."])
def test_missing_or_unreadable_file(tmp_path, name):
    # "." is a directory: it opens but cannot be read.
    message = load_error(str(tmp_path / name) if name else name)
    assert message.startswith("failed to read FST: ")


def _edit_symbol(data, old, new):
    old_bytes = len(old).to_bytes(4, "little") + old.encode()
    new_bytes = len(new).to_bytes(4, "little") + new.encode()
    assert data.count(old_bytes) >= 1
    return data.replace(old_bytes, new_bytes, 1)


def _set_symbol_label(data, text, label):
    needle = len(text).to_bytes(4, "little") + text.encode()
    pos = data.index(needle) + len(needle)
    return fstbytes.poke(data, pos, "<q", label)


def _last_arc_offset(data):
    # The last state of the simple model is its only state, with 8 arcs.
    return len(data) - 16


DAMAGES = {
    "absurd state count": (
        lambda d: fstbytes.poke(d, fstbytes.header_offsets(d)["num_states"],
                                "<q", 1 << 40),
        "1099511627776 states"),
    "negative state count": (
        lambda d: fstbytes.poke(d, fstbytes.header_offsets(d)["num_states"],
                                "<q", -7),
        "-7 states"),
    "absurd arc count": (
        lambda d: fstbytes.poke(d, fstbytes.body_offset(d) + 4, "<q", 1 << 61),
        "arcs, more than the file can hold"),
    "truncated body": (lambda d: d[:-20], "state 0 claims 8 arcs"),
    "arc to a missing state": (
        lambda d: fstbytes.poke(d, _last_arc_offset(d) + 12, "<i", 5),
        "leads to state 5, which does not exist"),
    "negative next state": (
        lambda d: fstbytes.poke(d, _last_arc_offset(d) + 12, "<i", -3),
        "leads to state -3"),
    "start state out of range": (
        lambda d: fstbytes.poke(d, fstbytes.header_offsets(d)["start"], "<q",
                                4),
        "start state 4 does not exist"),
    "symbol label gap": (lambda d: _set_symbol_label(d, "c|h", 9),
                         "has label 9, expected 7"),
    "repeated symbol text": (lambda d: _edit_symbol(d, "b", "a"),
                             '"a" appears more than once'),
    "huge string length": (
        lambda d: d.replace(b"\x03\x00\x00\x00c|h", b"\xff\xff\xff\x7fc|h", 1),
        "beyond the end of the file"),
    "not an FST": (lambda d: b"just some text\n", "Magic number not matched"),
    "empty file": (lambda d: b"", "failed to read FST: "),
    "const FST type": (
        lambda d: d.replace(b"\x06\x00\x00\x00vector", b"\x06\x00\x00\x00constx",
                            1),
        "FST not of type vector"),
}


@pytest.mark.parametrize("damage", DAMAGES, ids=list(DAMAGES))
def test_damaged_files_fail_cleanly(tmp_path, simple_model_path, capfd,
                                    damage):
    edit, expected = DAMAGES[damage]
    with open(simple_model_path, "rb") as f:
        data = f.read()
    message = load_error(damaged(tmp_path, edit(data)))
    assert message.startswith("failed to read FST: ")
    assert expected in message
    # OpenFst's own log lines must not leak onto standard error.
    assert capfd.readouterr().err == ""


def test_label_gap_written_by_fstcompile(tmp_path):
    isyms = ["<eps>\t0", "|\t1", "a\t3"]
    osyms = ["<eps>\t0", "|\t1", "A\t2"]
    for name, lines in (("i", isyms), ("o", osyms)):
        (tmp_path / f"{name}.syms").write_text("\n".join(lines) + "\n")
    (tmp_path / "m.txt").write_text("0 0 a A\n0\n")
    subprocess.run(["fstcompile", f"--isymbols={tmp_path / 'i.syms'}",
                    f"--osymbols={tmp_path / 'o.syms'}", "--keep_isymbols",
                    "--keep_osymbols", str(tmp_path / "m.txt"),
                    str(tmp_path / "m.fst")], check=True)
    message = load_error(str(tmp_path / "m.fst"))
    assert message.startswith("failed to read FST: ")
    assert "has label 3, expected 2" in message


def test_damaged_file_in_a_subprocess_never_crashes(tmp_path, simple_model_path):
    # A crash (segfault, abort, exit from OpenFst) would show as a non-zero
    # exit status of the whole interpreter.
    with open(simple_model_path, "rb") as f:
        data = f.read()
    paths = []
    for i, (edit, _) in enumerate(DAMAGES.values()):
        path = tmp_path / f"d{i}.fst"
        path.write_bytes(edit(data))
        paths.append(str(path))
    script = (
        "import sys, tamsu\n"
        "for p in sys.argv[1:]:\n"
        "    try:\n"
        "        tamsu.Model(p).phoneticize('abc')\n"
        "    except ValueError:\n"
        "        pass\n"
        "print('survived')\n")
    result = subprocess.run([sys.executable, "-c", script, *paths],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "survived\n"
    assert result.stderr == ""


def test_arcs_sorted_stably_by_input_label(tmp_path):
    # Arcs with equal input labels keep their file order, whatever their
    # output labels or weights: the first "a" arc wins a tie.
    arcs = """
        0 1 b B 0.0
        0 1 a B 1.0
        0 1 a A 1.0
        1 0.0
    """
    path = compile_model(tmp_path, "tie", arcs, SIMPLE_ISYMS, SIMPLE_OSYMS)
    model = tamsu.Model(path)
    paths = model.phoneticize_paths("a", nbest=2)
    assert [p.olabels for p in paths] == [[4], [3]]


@pytest.mark.parametrize("delim", ["", "-", "::", "é"])
def test_delim_variants_load(simple_model_path, delim):
    by_position = tamsu.Model(simple_model_path, delim)
    by_keyword = tamsu.Model(path=simple_model_path, delim=delim)
    for word in ["abc", "a-b", "ch"]:
        assert (by_position.phoneticize_sampling(word, nbest=3)
                == by_keyword.phoneticize_sampling(word, nbest=3))


def test_two_loads_decode_identically(simple_model_path):
    first = tamsu.Model(simple_model_path)
    second = tamsu.Model(simple_model_path)
    for word in ["abc", "cab", "chab", "bb"]:
        a = first.phoneticize_paths(word, nbest=4)
        b = second.phoneticize_paths(word, nbest=4)
        assert [(p.path_weight, p.uniques) for p in a] == \
               [(p.path_weight, p.uniques) for p in b]

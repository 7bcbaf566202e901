"""write_fsts: the word acceptor and the lattice as OpenFst binary files."""

import os
import subprocess

import pytest

import fstbytes
import tamsu


@pytest.fixture()
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def fstprint(path):
    return subprocess.run(["fstprint", str(path)], check=True,
                          capture_output=True, text=True).stdout


def test_dumps_are_written_and_change_nothing(simple_model, in_tmp):
    plain = simple_model.phoneticize_paths("chab", nbest=3)
    dumped = simple_model.phoneticize_paths("chab", nbest=3, write_fsts=True)
    assert [(p.path_weight, p.uniques) for p in dumped] == \
        [(p.path_weight, p.uniques) for p in plain]
    assert sorted(os.listdir(in_tmp)) == ["chab.fst", "chab.lat.fst"]

    # The acceptor: both tables are the model's input table, printed with
    # their texts; a chain plus the c|h shortcut after the c arc.
    assert fstprint(in_tmp / "chab.fst").splitlines() == [
        "0\t1\tc\tc", "0\t2\tc|h\tc|h", "1\t2\th\th", "2\t3\ta\ta",
        "3\t4\tb\tb", "4"]
    lattice = fstprint(in_tmp / "chab.lat.fst")
    assert "c|h\tCH" in lattice


@pytest.mark.parametrize("name", ["chab.fst", "chab.lat.fst"])
def test_header_counts_every_arc(simple_model, in_tmp, name):
    simple_model.phoneticize_paths("chab", write_fsts=True)
    data = (in_tmp / name).read_bytes()
    assert fstbytes.read_field(data, "flags") == 3
    states = fstbytes.states(data)
    assert fstbytes.read_field(data, "num_arcs") == \
        sum(len(arcs) for _, arcs in states)
    assert fstbytes.read_field(data, "num_arcs") > 0
    properties = fstbytes.read_field(data, "properties")
    assert properties & 0b11 == 0b11  # expanded, mutable


def test_second_call_overwrites(simple_model, in_tmp):
    (in_tmp / "ab.fst").write_bytes(b"x" * 100000)
    simple_model.phoneticize_paths("ab", write_fsts=True)
    assert fstprint(in_tmp / "ab.fst").splitlines()[0] == "0\t1\ta\ta"


def test_nbest_zero_still_dumps(simple_model, in_tmp):
    assert simple_model.phoneticize_paths("ab", nbest=0, write_fsts=True) == []
    assert sorted(os.listdir(in_tmp)) == ["ab.fst", "ab.lat.fst"]


def test_empty_lattice_dump(tmp_path, in_tmp):
    from conftest import compile_model
    path = compile_model(tmp_path, "m", "0 1 a A 1\n1\n",
                         ["<eps>", "|", "_", "a"], ["<eps>", "|", "_", "A"])
    model = tamsu.Model(path)
    assert model.phoneticize_paths("aa", write_fsts=True) == []
    data = (in_tmp / "aa.lat.fst").read_bytes()
    assert fstbytes.read_field(data, "start") == -1
    assert fstbytes.read_field(data, "num_states") == 0
    assert fstbytes.read_field(data, "num_arcs") == 0
    assert fstbytes.read_field(data, "flags") == 3


def test_unknown_word_writes_nothing(simple_model, in_tmp, capfd):
    assert simple_model.phoneticize_paths("zz", write_fsts=True) == []
    assert os.listdir(in_tmp) == []
    capfd.readouterr()


@pytest.mark.parametrize("word, unknown", [("a\0b", 1), ("ab/a/b", 2)])
def test_unwritable_names_are_ignored(simple_model, in_tmp, capfd, word,
                                      unknown):
    paths = simple_model.phoneticize_paths(word, write_fsts=True)
    assert paths[0].uniques == simple_model.phoneticize_paths(
        word.replace("\0", "").replace("/", ""))[0].uniques
    # "a\0b" would name "a" as a C string: nothing may be written for it;
    # "ab/a" is no directory.
    assert os.listdir(in_tmp) == []
    # Only the diagnostics for the unknown characters reach fd 2.
    err = capfd.readouterr().err
    assert err.count("Mapping to null...\n") == unknown
    assert "ERROR" not in err


def test_other_methods_never_dump(simple_model, in_tmp):
    simple_model.phoneticize("ab")
    simple_model.phoneticize_sampling("ab", nbest=2)
    assert os.listdir(in_tmp) == []

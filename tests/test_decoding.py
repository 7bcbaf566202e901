"""Decoding from Python: the three methods, the options reaching the
pipeline (tested itself in tests/cpp), diagnostics and dump files."""

import io
import math
import os
import sys

import pytest

import tamsu
from conftest import compile_model

# "x" spells R T twice (R then T, or the cluster R|T) and S once.
DUP_ISYMS = ["<eps>", "|", "_", "x"]
DUP_OSYMS = ["<eps>", "|", "_", "P", "Q", "R", "S", "T", "R|T"]
DUP_ARCS = """
    0 1 x R 1.0
    1 2 <eps> T 0.0
    0 2 x R|T 2.0
    0 2 x S 3.0
    2 0.0
"""


@pytest.fixture(scope="module")
def dup_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dup")
    return tamsu.Model(compile_model(directory, "dup", DUP_ARCS, DUP_ISYMS,
                                     DUP_OSYMS))


# nbest 2: [R, T] weighs 1.0 (accumulated 1 - log1p(e^-1)), [S] 3.0; pmass
# takes the total T = 1 - log1p(e^-2) off.
_T = 1.0 - math.log1p(math.exp(-2.0))


@pytest.mark.parametrize("options, expected", [
    ({}, [1.0, 3.0]),
    ({"accumulate": True}, [1.0 - math.log1p(math.exp(-1.0)), 3.0]),
    ({"beam": 1}, [1.0]),
    ({"threshold": 3.0}, [1.0, 3.0]),
    ({"threshold": 2.0}, [1.0]),
    ({"pmass": 0.5}, [1.0 - _T]),
    ({"pmass": 98.99}, [1.0 - _T]),  # Model's off values: 99 and above
    ({"pmass": 99.0}, [1.0, 3.0]),
    ({"nbest": 0}, []),
])
def test_options_reach_the_pipeline(dup_model, options, expected):
    options = {"nbest": 2, **options}
    paths = dup_model.phoneticize_paths("x", **options)
    assert [p.path_weight for p in paths] == pytest.approx(expected, abs=1e-5)
    options.pop("accumulate", None)
    assert len(dup_model.phoneticize_sampling("x", **options)) == len(expected)


@pytest.mark.parametrize("word", ["", "xx", "q"])
def test_words_without_a_path_give_nothing(dup_model, capfd, word):
    assert [dup_model.phoneticize(word),
            dup_model.phoneticize_paths(word, nbest=3),
            dup_model.phoneticize_sampling(word, nbest=3)] == [[], [], []]
    assert capfd.readouterr().err.count("Mapping to null") == 3 * (word == "q")


@pytest.mark.parametrize("word, delim, expected", [
    ("a-b-c", "-", ["A", "B", "K"]),
    ("c-h", "-", ["CH"]),
    ("aéb", "é", ["A", "B"]),
])
def test_delim_comes_from_the_model(simple_model_path, word, delim, expected):
    for model in (tamsu.Model(simple_model_path, delim),
                  tamsu.Model(path=simple_model_path, delim=delim)):
        assert model.phoneticize(word) == expected


def test_unknown_pieces_go_to_descriptor_2(simple_model, capfd, monkeypatch):
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert simple_model.phoneticize("axc") == simple_model.phoneticize("ac")
    assert sys.stderr.getvalue() == ""
    assert capfd.readouterr() == ("", "Symbol: 'x' not found in input symbols "
                                      "table.\nMapping to null...\n")


def test_write_fsts_dumps_into_the_working_folder(simple_model, tmp_path,
                                                  monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    plain = simple_model.phoneticize_paths("chab", nbest=3)
    simple_model.phoneticize("ab")
    simple_model.phoneticize_sampling("ab", nbest=2)
    simple_model.phoneticize_paths("a\0b", write_fsts=True)  # names no file
    assert os.listdir(tmp_path) == []
    dumped = simple_model.phoneticize_paths("chab", nbest=3, write_fsts=True)
    assert [p.uniques for p in dumped] == [p.uniques for p in plain]
    assert sorted(os.listdir(tmp_path)) == ["chab.fst", "chab.lat.fst"]
    assert capfd.readouterr().err.count("Mapping to null") == 1

"""Decoding from Python, on small models whose answers are worked out by
hand. Weights are tropical costs: a path's weight is the sum of its arcs'."""

import math

import numpy
import pytest

import tamsu
from conftest import compile_model

# "abc" in the simple model: a -> A 1.0 | B 2.0, b -> B 0.5 | _ 3.0,
# c -> K 0.5 | K|S 1.5 (S is a symbol: K|S expands to K S), final 0.25.
A, B, K, S, CH = 3, 4, 5, 6, 8

# The example of duplicate pronunciations: "x" spells R T twice (once as
# R then T, once as the cluster R|T) and S once.
DUP_ISYMS = ["<eps>", "|", "_", "x", "y"]
DUP_OSYMS = ["<eps>", "|", "_", "P", "Q", "R", "S", "T", "R|T", "Q|_"]
DUP_ARCS = """
    0 1 x R 1.0
    1 2 <eps> T 0.0
    0 2 x R|T 2.0
    0 2 x S 3.0
    0 3 y Q|_ 0.5
    3 0.0
    2 0.0
"""

# Epsilon arcs inside and outside the 2^-10 band around 0.
EPS_ARCS = """
    0 1 x P 0.5
    1 2 <eps> <eps> 0.0005
    2 3 y Q 0.5
    3 4 <eps> <eps> 0.002
    4 5 <eps> <eps> -0.0009
    5 6 <eps> <eps> -0.0011
    6 1.5
"""


@pytest.fixture(scope="module")
def dup_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dup")
    return tamsu.Model(compile_model(directory, "dup", DUP_ARCS, DUP_ISYMS,
                                     DUP_OSYMS))


@pytest.fixture(scope="module")
def eps_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("eps")
    return tamsu.Model(compile_model(directory, "eps", EPS_ARCS, DUP_ISYMS,
                                     DUP_OSYMS))


def summary(paths):
    return [(round(p.path_weight, 4), p.uniques) for p in paths]


def test_best_pronunciation(simple_model):
    assert simple_model.phoneticize("abc") == ["A", "B", "K"]
    assert simple_model.phoneticize("ch") == ["CH"]


def test_n_best_order_weights_and_arcs(simple_model):
    paths = simple_model.phoneticize_paths("abc", nbest=4)
    weights = [p.path_weight for p in paths]
    assert weights == sorted(weights)
    assert summary(paths)[0] == (2.25, [A, B, K])
    # Two pronunciations tie at 3.25; their order is the search's.
    assert sorted(u for _, u in summary(paths)[1:3]) == \
        [[A, B, K, S], [B, B, K]]
    assert summary(paths)[3] == (4.25, [B, B, K, S])
    best = paths[0]
    # The final weight 0.25 closes the path as an epsilon arc.
    assert best.ilabels == [3, 4, 5, 0]
    assert best.olabels == [A, B, K, 0]
    assert best.path_weights == [1.0, 0.5, 0.5, 0.25]


def test_clusters_on_both_sides(simple_model):
    paths = simple_model.phoneticize_paths("ch", nbest=3)
    assert summary(paths) == [(0.375, [CH]), (1.0, [K]), (2.0, [K, S])]
    assert paths[0].ilabels == [7, 0]  # the input cluster c|h
    assert paths[2].olabels == [7, 2, 0]  # K|S, then _ for h


def test_skip_symbol_and_vetoed_cluster_parts(simple_model, dup_model):
    assert simple_model.phoneticize_sampling("h") == [[]]
    assert simple_model.phoneticize("h") == []
    # Q|_ expands to Q alone: label 2 never appears in uniques.
    assert dup_model.phoneticize_paths("y")[0].uniques == [4]
    assert dup_model.phoneticize("y") == ["Q"]


@pytest.mark.parametrize("accumulate, nbest, expected", [
    (False, 2, [(1.0, [5, 7]), (3.0, [6])]),
    (True, 2, [(round(1.0 - math.log1p(math.exp(-1.0)), 4), [5, 7]),
               (3.0, [6])]),
    (True, 1, [(1.0, [5, 7])]),  # the walk stops after the first path
])
def test_distinct_paths_and_accumulation(dup_model, accumulate, nbest,
                                         expected):
    paths = dup_model.phoneticize_paths("x", nbest=nbest,
                                        accumulate=accumulate)
    assert summary(paths) == expected
    # The record keeps the lists of the best path with its phonemes.
    assert paths[0].ilabels == [3, 0]
    assert paths[0].olabels == [5, 7]
    assert paths[0].path_weights == [1.0, 0.0]


# Normalised weights of "x" with nbest 2: 1 - T and 3 - T where
# T = 1 - log1p(e^-2).
_T = 1.0 - math.log1p(math.exp(-2.0))


@pytest.mark.parametrize("options, expected", [
    ({"pmass": 0.5}, [1.0 - _T]),
    ({"pmass": 0.1}, [1.0 - _T, 3.0 - _T]),
    ({"pmass": 0.01, "threshold": 1.0}, [1.0 - _T]),
    ({"threshold": 2.0}, [1.0]),
    ({"threshold": 0.5}, []),
    ({"beam": 0}, [1.0]),
    ({"beam": 1}, [1.0]),
    ({"beam": 2}, [1.0, 3.0]),
    ({"threshold": 99.0, "pmass": 99.0}, [1.0, 3.0]),
    ({"nbest": 0}, []),
])
def test_selection(dup_model, options, expected):
    options = {"nbest": 2, **options}
    paths = dup_model.phoneticize_paths("x", **options)
    assert [p.path_weight for p in paths] == \
        pytest.approx(expected, abs=1e-5)


def test_pmass_single_path_has_weight_zero(simple_model):
    paths = simple_model.phoneticize_paths("ch", nbest=1, pmass=0.5)
    assert [p.path_weight for p in paths] == [0.0]


# "z" has four pronunciations whose paths come, best first, as P 1.0, Q
# four times (1.1 to 1.25), R four times (1.3 to 1.33), then S 1.4, so that
# accumulation lowers Q and R below P.
MASS_ARCS = """
    0 1 z P 1.0
    0 1 z Q 1.1
    0 1 z Q 1.15
    0 1 z Q 1.2
    0 1 z Q 1.25
    0 1 z R 1.3
    0 1 z R 1.31
    0 1 z R 1.32
    0 1 z R 1.33
    0 1 z S 1.4
    1 0.0
"""


def _log_sum(*weights):
    return -math.log(sum(math.exp(-w) for w in weights))


def test_threshold_skipped_record_still_moves_the_mass(tmp_path):
    path = compile_model(tmp_path, "mass", MASS_ARCS,
                         ["<eps>", "|", "_", "z"], DUP_OSYMS)
    model = tamsu.Model(path)
    raw = [1.0, _log_sum(1.1, 1.15, 1.2, 1.25), _log_sum(1.3, 1.31, 1.32, 1.33),
           1.4]
    total = _log_sum(*raw)
    normalised = [w - total for w in raw]  # about 2.07, 0.86, 1.00, 2.47
    paths = model.phoneticize_paths("z", nbest=4, accumulate=True,
                                    threshold=1.5, pmass=0.7)
    # P is left out by the threshold, but its share counts: after Q the
    # covered mass is -log 0.55 = 0.60 < 0.7, so the selection stops there.
    # Were P not counted it would be 0.86 and R would follow.
    assert [p.path_weight for p in paths] == \
        pytest.approx([normalised[1]], abs=1e-4)
    assert [p.uniques for p in paths] == [[4]]
    # Unnormalised weights are 1.0, -0.21, -0.07 and 1.4.
    without_mass = model.phoneticize_paths("z", nbest=4, accumulate=True,
                                           threshold=0.5)
    assert [p.uniques for p in without_mass] == [[4], [5]]


def test_epsilon_band(eps_model):
    (path,) = eps_model.phoneticize_paths("xy")
    # 0.0005 and -0.0009 lie within 2^-10 of zero and vanish, also from the
    # total; 0.002, -0.0011 and the final weight 1.5 stay, as 0:0 arcs.
    assert path.ilabels == [3, 4, 0, 0, 0]
    assert path.olabels == [3, 4, 0, 0, 0]
    kept = numpy.array([0.5, 0.5, 0.002, -0.0011, 1.5], dtype=numpy.float32)
    assert path.path_weights == kept.tolist()
    total = numpy.float32(0)
    for weight in kept:
        total = numpy.float32(weight + total)
    assert path.path_weight == float(total)
    assert path.uniques == [3, 4]


def test_same_pronunciations_everywhere(simple_model):
    for word in ["abc", "cab", "chab", "bh", "h"]:
        sampling = simple_model.phoneticize_sampling(word, nbest=3)
        assert simple_model.phoneticize(word) == sampling[0]
        paths = simple_model.phoneticize_paths(word, nbest=3)
        assert [[simple_model.find_osym(label) for label in p.uniques]
                for p in paths] == sampling


def test_unknown_pieces_are_reported_on_fd_2(simple_model, capfd):
    assert simple_model.phoneticize("axc") == simple_model.phoneticize("ac")
    captured = capfd.readouterr()
    assert captured.err == ("Symbol: 'x' not found in input symbols table.\n"
                            "Mapping to null...\n")
    assert captured.out == ""


def test_diagnostic_bypasses_sys_stderr(simple_model, capfd, monkeypatch):
    import io
    import sys
    fake = io.StringIO()
    monkeypatch.setattr(sys, "stderr", fake)
    simple_model.phoneticize("q")
    assert fake.getvalue() == ""
    assert "Symbol: 'q' not found" in capfd.readouterr().err


@pytest.mark.parametrize("word, diagnostics", [
    ("", 0), ("zz", 2), ("é", 1), ("\U0001F600", 1),
])
def test_words_without_known_pieces(simple_model, capfd, word, diagnostics):
    assert simple_model.phoneticize(word) == []
    assert simple_model.phoneticize_paths(word, nbest=2) == []
    assert simple_model.phoneticize_sampling(word) == []
    assert capfd.readouterr().err.count("Mapping to null...\n") == \
        3 * diagnostics


@pytest.mark.parametrize("word, delim, expected, unknown", [
    ("a-b-c", "-", ["A", "B", "K"], []),
    ("c-h", "-", ["CH"], []),  # clusters join pieces across delimiters
    ("-ab-", "-", [], ["", "ab", ""]),
    ("a--b", "-", ["A", "B"], [""]),
    ("a--b", "--", [], ["a--b"]),  # a two-character delim never matches
    ("aéb", "é", ["A", "B"], []),
])
def test_delimited_words(simple_model_path, capfd, word, delim, expected,
                         unknown):
    model = tamsu.Model(simple_model_path, delim)
    assert model.phoneticize(word) == expected
    err = capfd.readouterr().err
    assert err == "".join(f"Symbol: '{piece}' not found in input symbols "
                          "table.\nMapping to null...\n" for piece in unknown)


def test_no_path_through_the_model(dup_model):
    # After "x" the model is in a final state with no arcs.
    assert dup_model.phoneticize_paths("xx", nbest=3) == []
    assert dup_model.phoneticize("xx") == []


def test_more_requested_than_exist(dup_model):
    # Only two distinct pronunciations: the search widens to its cap and
    # returns what it found.
    assert len(dup_model.phoneticize_paths("x", nbest=5)) == 2


@pytest.mark.parametrize("nbest", [2 ** 31, 2 ** 32 + 1, 2 ** 63, 2 ** 64 - 1])
def test_huge_nbest_never_wraps(dup_model, nbest):
    assert summary(dup_model.phoneticize_paths("x", nbest=nbest)) == \
        [(1.0, [5, 7]), (3.0, [6])]


def test_numpy_scalars_as_options(dup_model):
    paths = dup_model.phoneticize_paths("x", nbest=numpy.uint8(2),
                                        threshold=numpy.float32(2.0),
                                        accumulate=numpy.bool_(False))
    assert summary(paths) == [(1.0, [5, 7])]


def test_model_is_not_changed_by_decoding(simple_model_path):
    model = tamsu.Model(simple_model_path)
    first = summary(model.phoneticize_paths("chab", nbest=5))
    for word in ["abc", "hhh", "cccc", "", "zz"] * 20:
        model.phoneticize_paths(word, nbest=3, accumulate=True)
    assert summary(model.phoneticize_paths("chab", nbest=5)) == first

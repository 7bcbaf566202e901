"""tamsu.G2P and the tamsu command with several models: an ensemble."""

import math
import subprocess
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

import tamsu
from tamsu.ensemble import Ensemble, combine_posteriors

from conftest import compile_model
from train_data import LEXICON, write_lexicon

# Words the lexicon lacks, on which the three members disagree.
NEW_WORDS = ["caton", "fax", "photic", "pinto", "catnip", "tonic"]


@pytest.fixture(scope="module")
def trio(tmp_path_factory):
    """One and two graphemes per chunk left to right, one right to left."""
    directory = tmp_path_factory.mktemp("ensemble")
    paths = []
    for name, graphemes, reverse in (("l1", 1, False), ("l2", 2, False),
                                     ("r1", 1, True)):
        path = str(directory / f"{name}.fst")
        tamsu.train(LEXICON, path, order=4, max_graphemes=graphemes,
                    reverse=reverse, progress=False)
        paths.append(path)
    return paths


def test_best_answer_is_the_summed_joint_probabilities(trio):
    g2p = tamsu.G2P(trio, dictionary=None)
    reference = Ensemble(trio, depth=1)
    words = [w for w, _ in LEXICON] + NEW_WORDS
    answers = [g2p(word) for word in words]
    assert [a[0].phonemes for a in answers] == \
        [reference.pronounce(w)[0][0] for w in words]
    assert [a[0].phonemes for a in answers[:len(LEXICON)]] == \
        [tuple(p.split()) for _, p in LEXICON]
    # Shares of the members' agreement: some new word splits them.
    assert any(a[0].probability < 0.99 for a in answers)
    for (best,) in answers:
        assert (best.source, best.rank) == ("model", 1)
        assert best.weight == pytest.approx(-math.log(best.probability))


def test_nbest_answers_are_distinct_shares(trio):
    g2p = tamsu.G2P(trio, dictionary=None, nbest=3)
    for word in NEW_WORDS:
        answers = g2p(word)
        assert len(answers) == 3
        assert len({a.phonemes for a in answers}) == 3
        assert [a.rank for a in answers] == [1, 2, 3]
        probabilities = [a.probability for a in answers]
        assert probabilities == sorted(probabilities, reverse=True)
        assert sum(probabilities) <= 1.0 + 1e-9
    kept = tamsu.G2P(trio, dictionary=None, nbest=3, probability_mass=0.01)
    assert all(len(kept(w)) == 1 for w in NEW_WORDS)


def test_threads_and_worker_processes_agree(trio):
    g2p = tamsu.G2P(trio, dictionary=None, nbest=2)
    words = NEW_WORDS * 3
    expected = [g2p(w) for w in words]
    assert list(g2p.map(words, jobs=2, chunk_size=4)) == expected
    with ThreadPoolExecutor(2) as pool:
        assert list(pool.map(g2p, words)) == expected


def test_reversed_model_is_refused_alone_but_not_among_its_kind(trio):
    with pytest.raises(ValueError, match="right to left"):
        tamsu.G2P(trio[2], dictionary=None)
    with pytest.raises(ValueError, match="right to left"):
        tamsu.G2P([trio[2]], dictionary=None)
    backwards = tamsu.G2P([trio[2], trio[2]], dictionary=None)
    for word, phonemes in LEXICON:
        assert str(backwards(word)[0]) == phonemes


@pytest.mark.parametrize("model, error", [
    ([], ValueError), (b"model.fst", TypeError), (["a.fst", 3], TypeError)])
def test_malformed_model_lists_are_refused(model, error):
    with pytest.raises(error):
        tamsu.G2P(model, dictionary=None)


def test_models_without_a_common_grapheme_are_refused(tmp_path, trio):
    other = compile_model(tmp_path, "w", "0 0 w W 1.0\n0 0.5",
                          ["<eps>", "|", "_", "w"], ["<eps>", "|", "_", "W"])
    with pytest.raises(ValueError, match="share no graphemes"):
        tamsu.G2P([trio[0], other], dictionary=None)


def test_graphemes_a_member_lacks_are_removed(tmp_path, trio, capfd):
    with_z = str(tmp_path / "z.fst")
    tamsu.train(LEXICON + [("zap", "Z AE P")], with_z, order=3,
                progress=False)
    g2p = tamsu.G2P([with_z, trio[0]], dictionary=None)
    assert "z" not in g2p.alphabet.graphemes
    with pytest.warns(tamsu.UnknownCharacterWarning, match="'z'"):
        assert [p.phonemes for p in g2p("zap")] == \
            [p.phonemes for p in g2p("ap")]
    assert capfd.readouterr().err == ""


def test_long_words_keep_their_joint_ranking():
    # exp(-1000) is 0.0 in floating point: unscaled, all three would tie.
    ranked = combine_posteriors([[(("A",), 1000.0)], [(("B",), 1000.2)],
                                 [(("B",), 1000.3)]], normalise=False)
    assert [p for p, _ in ranked] == [("B",), ("A",)]


def run(*args):
    return subprocess.run([sys.executable, "-m", "tamsu", *args],
                          capture_output=True, text=True, timeout=300)


def test_command_line_repeats_model_for_an_ensemble(trio, tmp_path):
    models = [arg for path in trio for arg in ("-m", path)]
    result = run("apply", *models, "--nbest", "2", *NEW_WORDS)
    g2p = tamsu.G2P(trio, dictionary=None, nbest=2)
    assert result.stdout.splitlines() == [
        f"{p.word}\t{p.rank}\t{p.weight:.4f}\t{p}"
        for w in NEW_WORDS for p in g2p(w)]
    lexicon = write_lexicon(tmp_path / "test.dict")
    result = run("evaluate", lexicon, *models, "-j", "2")
    assert "WER: 0.00%" in result.stdout, result.stderr
    for command in (["apply", "cat"], ["evaluate", lexicon]):
        result = run(*command, "-m", trio[2])
        assert result.returncode == 1
        assert "right to left" in result.stderr

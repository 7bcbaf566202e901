"""tamsu.G2P and the tamsu command with several models: an ensemble."""

import math
import unicodedata

import pytest

import tamsu
from tamsu.ensemble import Ensemble

from conftest import compile_model
from test_cli import run
from test_front_end import JAMO, letter_model
from train_data import LEXICON

# Words the lexicon lacks, on which the three members disagree.
NEW_WORDS = ["caton", "fax", "photic", "pinto", "catnip", "tonic"]


@pytest.fixture(scope="module")
def trio(tmp_path_factory):
    """One and two graphemes per chunk left to right, one right to left."""
    directory = tmp_path_factory.mktemp("ensemble")
    paths = [str(directory / f"{name}.fst") for name in ("l1", "l2", "r1")]
    for path, graphemes, reverse in zip(paths, (1, 2, 1), (0, 0, 1)):
        tamsu.train(LEXICON, path, order=4, max_graphemes=graphemes,
                    reverse=bool(reverse), progress=False)
    return paths


def test_best_answer_is_the_summed_joint_probabilities(trio):
    words = [w for w, _ in LEXICON] + NEW_WORDS
    answers = [tamsu.G2P(trio, None)(word)[0] for word in words]
    reference = Ensemble(trio, depth=1)
    assert [a.phonemes for a in answers] == \
        [reference.pronounce(w)[0][0] for w in words]
    assert any(a.probability < 0.99 for a in answers)  # members disagree
    for a in answers:
        assert a.weight == pytest.approx(-math.log(a.probability))
    backwards = tamsu.G2P([trio[2], trio[2]], None)
    assert [str(backwards(w)[0]) for w, _ in LEXICON] == \
        [p for _, p in LEXICON]


def test_nbest_answers_are_distinct_shares(trio):
    g2p = tamsu.G2P(trio, None, nbest=3)
    for word in NEW_WORDS:
        answers = g2p(word)
        assert len({a.phonemes for a in answers}) == len(answers) == 3
        assert sum(a.probability for a in answers) <= 1.0 + 1e-9
    kept = tamsu.G2P(trio, None, nbest=3, probability_mass=0.01)
    assert all(len(kept(w)) == 1 for w in NEW_WORDS)
    words = NEW_WORDS * 3  # worker processes agree
    expected = [g2p(w) for w in words]
    assert list(g2p.map(words, jobs=2, chunk_size=4)) == expected


@pytest.mark.parametrize("members, message", [
    ("r", "right to left"), (["r"], "right to left"), ([], "two or more"),
    (["l", "w"], "share no graphemes")])
def test_refused_models(trio, tmp_path, members, message):
    paths = {"l": trio[0], "r": trio[2], "w": compile_model(
        tmp_path, "w", "0 0 w W 1.0\n0 0.5", ["<eps>", "|", "_", "w"],
        ["<eps>", "|", "_", "W"])}
    model = paths[members] if isinstance(members, str) else [
        paths[m] for m in members]
    with pytest.raises(ValueError, match=message):
        tamsu.G2P(model, None)


def test_graphemes_a_member_lacks_are_removed(tmp_path, trio, capfd):
    with_z = str(tmp_path / "z.fst")
    tamsu.train(LEXICON + [("zap", "Z AE P")], with_z, order=3,
                progress=False)
    g2p = tamsu.G2P([with_z, trio[0]], None)
    with pytest.warns(tamsu.UnknownCharacterWarning, match="'z'"):
        assert [p.phonemes for p in g2p("zap")] == \
            [p.phonemes for p in g2p("ap")]
    assert capfd.readouterr().err == ""


def test_nfd_models_read_composed_words_unnormalised(tmp_path, capfd):
    # Graphemes are jamo; the models record NFD.
    models = [letter_model(tmp_path, name, JAMO + ["<tamsu:nfd>"])
              for name in ("a", "b")]
    word = "책임"
    spelled = " ".join(unicodedata.normalize("NFD", word))
    assert str(tamsu.G2P(models, None, normalise=False)(word)[0]) == spelled
    test = tmp_path / "test.dict"
    test.write_text(f"{word}\t{spelled}\n{word}€\t{spelled}\n",
                    encoding="utf-8")
    for model in (models, models[0]):
        report = tamsu.evaluate(model, test)
        assert (report.word_errors, report.with_unknown) == (0, 1)
        assert capfd.readouterr().err == ""  # the model's messages too


def test_command_line_repeats_model_for_an_ensemble(trio):
    # The table's format, with the weights ranked, is the front end's.
    models = [arg for path in trio for arg in ("-m", path)]
    g2p = tamsu.G2P(trio, None, nbest=2)
    assert run("apply", *models, "--nbest", "2", *NEW_WORDS).stdout == "".join(
        f"{p.word}\t{p.rank}\t{p.weight:.4f}\t{p}\n"
        for w in NEW_WORDS for p in g2p(w))

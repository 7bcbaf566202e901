"""A neural model and its bundle with an n-gram model, trained by `tamsu
train-neural` on a tiny cipher, through G2P, apply and evaluate."""

import dataclasses
import json
import pickle

import pytest

from tamsu import G2P, cli, dask_support, neural
from tamsu._batch import BatchDecoder
from tamsu.combination import (MODES, BeamRescoringDecoder,
                               RescoringDecoder, read_bundle)
from tamsu.search import SearchOptions

from train_data import WORDS, spell


@pytest.fixture()
def models(cipher):
    return cipher.folder


def test_bundle_records_its_tuning(models, capsys):
    data = json.loads((models / "cipher.tnn.bundle").read_text())
    assert (data["ngram"], data["neural"]) == ("cipher.fst", "cipher.tnn")
    assert data["mode"] in MODES and 0 <= data["weight"] <= 1
    assert data["dev_wer"]["neural"] == 0.0
    assert data["weights"].keys() == {"rescore", "rescore-beam"}
    (models / "new").write_text("")  # the umask's permissions
    assert (models / "cipher.tnn.bundle").stat().st_mode == (
        models / "new").stat().st_mode
    beam = models / "beam.bundle"  # the neural beam rescored
    beam.write_text(json.dumps(dict(data, mode="rescore-beam")))
    changed = models / "changed.bundle"
    changed.write_text(json.dumps(dict(data, ngram_sha256="0" * 64)))
    with pytest.raises(ValueError, match="is not the ngram model the bundle "
                                         "was tuned with"):
        G2P(changed)


@pytest.mark.parametrize("name", ["cipher.tnn", "cipher.tnn.bundle",
                                  "beam.bundle"])
def test_front_end_decodes_neural_models(models, name, tmp_path):
    dictionary = tmp_path / "extra.dict"
    dictionary.write_text("bad\tX Y\n")
    g2p = G2P(models / name, dictionary, nbest=3)
    word = WORDS[5]
    best = g2p(word.upper())  # normalised for the lower-case graphemes
    assert best[0].phonemes == tuple(spell(word).split())
    assert [p.rank for p in best] == list(range(1, len(best) + 1))
    assert 0.5 < best[0].probability <= 1
    assert sum(p.probability for p in best) == pytest.approx(1)
    assert g2p("bad")[0].phonemes == ("X", "Y")


def test_a_bundle_ships_to_dask_workers_as_bytes(models):
    g2p = G2P(models / "cipher.tnn.bundle")
    shipped = pickle.loads(pickle.dumps(
        dask_support._Shipped(g2p, ship_model=True)))
    dask_support._cache.clear()
    worker = shipped.front_end()
    assert worker.model_path != g2p.model_path
    assert list(worker.map(WORDS)) == list(g2p.map(WORDS))


@pytest.mark.parametrize("kind, weight, unused", [
    (RescoringDecoder, 0.0, "_neural"), (BeamRescoringDecoder, 1.0, "_ngram")])
def test_rescoring_skips_the_model_its_weight_ignores(models, kind, weight,
                                                      unused):
    bundle = dataclasses.replace(
        read_bundle(str(models / "cipher.tnn.bundle")), weight=weight)
    decoder = kind(bundle, "", SearchOptions(nbest=3))
    answers = decoder.decode(WORDS[:10])
    setattr(decoder, unused, None)  # any use of it fails
    assert decoder.decode(WORDS[:10]) == answers


def test_ngram_weighs_given_pronunciations(models):
    ngram = BatchDecoder(str(models / "cipher.fst"))
    found = ngram.decode(WORDS[:8], nbest=3)
    lists = [[p for p, _ in paths] + [("KS", "ZZ")] for paths, _ in found]
    weights = ngram.path_weights(WORDS[:8], lists, threads=2)
    assert weights == [[pytest.approx(w, abs=1e-4) for _, w in paths] + [None]
                       for paths, _ in found]


def test_apply_and_evaluate_take_a_bundle(models, capsys):
    words = WORDS[:20]
    assert cli.main(["apply", "-m", str(models / "cipher.tnn.bundle"),
                     "--jobs", "2", "--format", "lexicon", *words]) == 0
    assert capsys.readouterr().out == "".join(f"{w}\t{spell(w)}\n"
                                              for w in words)
    assert cli.main(["evaluate", str(models / "cipher.dict"), "-m",
                     str(models / "cipher.tnn")]) == 0
    assert "WER: 0.00%" in capsys.readouterr().out


def test_training_without_torch_says_what_to_install(models, monkeypatch,
                                                     capsys, tmp_path):
    # The training process finds this torch first.
    (tmp_path / "torch").mkdir()
    (tmp_path / "torch" / "__init__.py").write_text("raise ImportError\n")
    monkeypatch.syspath_prepend(tmp_path)
    assert cli.main(["train-neural", str(models / "cipher.dict"), "-o",
                     str(tmp_path / "x.tnn"), "--epochs", "1"]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"tamsu: error: {neural.TORCH_HINT}")

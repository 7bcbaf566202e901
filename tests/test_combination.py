"""Neural models and bundles with an n-gram model through G2P, apply and
evaluate: made by hand (the `flat` bundles: the combination's rules, no
PyTorch), and trained by `tamsu train-neural` on a tiny cipher (the
`cipher` models: what training and tuning make)."""

import dataclasses
import json
import math
import os
import pickle

import pytest

from tamsu import G2P, cli, dask_support, decoders, neural
from tamsu._batch import BatchDecoder
from tamsu._neural import NeuralModel
from tamsu.bundle import MODES, read_bundle, tune_bundle
from tamsu.decoders import (BeamRescoringDecoder, RescoringDecoder,
                            SearchOptions, finish_list)
from tamsu.lexicon import words_digest

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


_FLAT = "f" * 64  # a digest's form (hashes are checked after the manifest)


def _deep(depth):
    return "[" * depth + "]" * depth


@pytest.mark.parametrize("change, reason", [
    (dict(ngram="/etc/passwd"), "must be relative"),
    (dict(ngram="../cipher.fst"), "outside the bundle's folder"),
    (dict(ngram="outside.fst"), "outside the bundle's folder"),  # a link
    (dict(neural="zero.tnn"), "outside the bundle's folder"),  # to /dev/zero
    (dict(neural="fifo.tnn"), "not a regular file"),
    (dict(ngram=None), "must name a file"),
    (dict(depth=1000000000), "depth must be a whole number from 1 to 1000"),
    (dict(depth=1.5), "depth must be a whole number"),
    (dict(depth="10"), "depth must be a whole number"),
    (dict(depth=True), "depth must be a whole number"),
    (dict(weight="0.5"), "weight must be a number"),
    (dict(weight=True), "weight must be a number"),
    (dict(weight=10 ** 400), "weight must be a number"),
    (dict(weight=1e400), "weight must be a number"),
    (dict(mode="loud"), "mode must be one of"),
    (dict(version=True), "unsupported bundle version"),
    (dict(ngram_sha256="XYZ"), "64 lower-case hex digits"),
    (dict(neural=["flat.tnn", "./flat.tnn"]), "one digest per neural model"),
    (dict(neural=["flat.tnn", "./flat.tnn"], neural_sha256=[_FLAT] * 2),
     "neural names a model twice"),
    (dict(neural=[]), "neural must name 1 to 16 models"),
    (dict(weights={"rescore": 2}), "rescore must be a number from 0 to 1"),
    (dict(dev_wer=[]), "dev_wer must be an object"),
    (dict(extra=_deep(3000)), "nested too deeply"),
])
def test_hostile_bundles_are_refused(flat, tmp_path, change, reason):
    data = json.loads((flat / "rescore.bundle").read_text())
    folder = tmp_path / "bundle"
    folder.mkdir()
    for name in ("cipher.fst", "flat.tnn"):
        (folder / name).write_bytes((flat / name).read_bytes())
    (tmp_path / "outside.fst").write_bytes((flat / "cipher.fst").read_bytes())
    (folder / "outside.fst").symlink_to(tmp_path / "outside.fst")
    (folder / "zero.tnn").symlink_to("/dev/zero")
    os.mkfifo(folder / "fifo.tnn")
    data.update(change)
    text = json.dumps(data)
    if "extra" in change:  # raw JSON, not a string
        text = text.replace(json.dumps(change["extra"]), change["extra"])
    path = folder / "hostile.bundle"
    path.write_text(text)
    with pytest.raises(ValueError, match=f"{path}: bad bundle: .*{reason}"):
        G2P(path)


def test_an_ensemble_combines_ngram_models_only(flat):
    with pytest.raises(ValueError, match="rescore.bundle is a neural \\+ "
                                         "n-gram bundle model: an ensemble"):
        G2P([flat / "rescore.bundle", flat / "cipher.fst"])


@pytest.mark.parametrize("name", ["cipher.fst", "flat.tnn", "rescore.bundle",
                                  "beam.bundle"])
def test_threshold_and_beam_mean_one_thing_for_every_kind(flat, name):
    word = WORDS[5]
    answers = G2P(flat / name, None, nbest=4)(word)
    assert [p.weight for p in answers] == sorted(p.weight for p in answers)
    best = answers[0].weight
    assert G2P(flat / name, None, threshold=best - 1e-6)(word) == []
    kept = G2P(flat / name, None, nbest=4, threshold=best)(word)
    assert [p.phonemes for p in kept] == [p.phonemes for p in answers
                                          if p.weight <= best]
    assert G2P(flat / name, None, nbest=4, beam=1)(word) == answers[:1]


@pytest.mark.parametrize("names", [
    ["cipher.fst"], ["cipher.fst", "cipher.fst"], ["flat.tnn"],
    ["rescore.bundle"], ["beam.bundle"], ["neural.bundle"],
    ["ensemble.bundle"], ["dictionary"]])
def test_one_confidence_for_every_kind_whatever_nbest(flat, names):
    model = [flat / name for name in names if name != "dictionary"]
    dictionary = None
    if names == ["dictionary"]:
        model, dictionary = [flat / "cipher.fst"], flat / "cipher.dict"
    word = WORDS[5]
    seen = {}
    for nbest in (1, 2, 5, 7):
        answers = G2P(model, dictionary, nbest=nbest, confidence=True)(word)
        for p in answers:  # an answer's confidence: the same for every nbest
            assert seen.setdefault(p.phonemes, p.confidence) == \
                pytest.approx(p.confidence)
        if nbest == 5:  # shares of the five best
            assert answers and math.fsum(sorted(p.confidence for p in answers)[-5:]) == \
                pytest.approx(1.0)
    # Only when asked for: the n-gram search is then several times longer.
    assert {p.confidence for p in G2P(model, dictionary, nbest=5)(word)} \
        == {None}
    if names == ["cipher.fst"]:  # the model's own scores, five deep
        found = NgramPaths(flat / "cipher.fst", word)
        assert seen[found[0][0]] == pytest.approx(
            math.exp(-found[0][1]) / math.fsum(math.exp(-w)
                                               for _, w in found[:5]))


def NgramPaths(path, word):
    paths, _ = BatchDecoder(str(path)).decode([word], 5)[0]
    return paths


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


@pytest.mark.parametrize("name", ["rescore.bundle", "ensemble.bundle"])
def test_a_bundle_ships_to_dask_workers_as_bytes(flat, name):
    g2p = G2P(flat / name)
    shipped = pickle.loads(pickle.dumps(
        dask_support._Shipped(g2p, ship_model=True)))
    dask_support._cache.clear()
    worker = shipped.front_end()
    assert worker.model_path != g2p.model_path
    assert list(worker.map(WORDS)) == list(g2p.map(WORDS))


@pytest.mark.parametrize("mode", ["rescore", "rescore-beam", "neural"])
def test_an_ensemble_ranks_by_its_members_mean_score(flat, tmp_path, mode):
    ensemble = read_bundle(flat / "ensemble.bundle")
    first, second = (NeuralModel(m) for m in ensemble.neural)
    words = WORDS[:6]
    both = RescoringDecoder(ensemble, "", SearchOptions())
    # The n-gram list, and the first model's beam, scored by both.
    for found in (both.candidates(words), both.beam_candidates(words)):
        lists = [[c.phonemes for c in cs] for cs in found]
        assert lists[0]
        assert [[c.neural for c in cs] for cs in found] == [
            [pytest.approx((a + b) / 2) for a, b in zip(*scores)]
            for scores in zip(first.score_batch(words, lists),
                              second.score_batch(words, lists))]
    for name in ("cipher.fst", "flat.tnn", "flat2.tnn"):
        (tmp_path / name).write_bytes((flat / name).read_bytes())
    path = tmp_path / "ensemble.bundle"
    path.write_text(json.dumps(dict(json.loads(
        (flat / "ensemble.bundle").read_text()), mode=mode)))
    weight = {"rescore": 0.5, "rescore-beam": 0.5, "neural": 1.0}[mode]
    kind = RescoringDecoder if mode == "rescore" else BeamRescoringDecoder
    expected = kind(dataclasses.replace(ensemble, weight=weight), "",
                    SearchOptions(nbest=2)).decode(words)
    assert [[p.phonemes for p in G2P(path, None, nbest=2)(w)]
            for w in words] == [[s.phonemes for s in found]
                                for found in expected]


@pytest.mark.parametrize("name", ["rescore.bundle", "ensemble.bundle"])
@pytest.mark.parametrize("options, keep", [
    (SearchOptions(), 1), (SearchOptions(nbest=3, threshold=9.0), 3),
    (SearchOptions(nbest=3, probability_mass=0.9), 0),
    (SearchOptions(confidence=True), 0)])
def test_the_bound_changes_no_answer(flat, monkeypatch, name, options, keep):
    bundle = read_bundle(flat / name)
    words = WORDS[:40]
    expected = RescoringDecoder(bundle, "", options,
                                exhaustive=True).decode(words)
    asked, original = [], decoders.rescore

    def rescore(*args):
        asked.append(args[5])  # keep: 0 scores every candidate
        return original(*args)
    monkeypatch.setattr(decoders, "rescore", rescore)
    found = RescoringDecoder(bundle, "", options).decode(words, threads=2)
    assert [[(s.phonemes, s.weight) for s in a] for a in found] == [
        [(s.phonemes, s.weight) for s in a] for a in expected]
    # A probability mass or a confidence needs the shares of every one.
    assert set(asked) == {keep}


@pytest.mark.parametrize("kind, weight, unused", [
    (RescoringDecoder, 0.0, "_members"),
    (BeamRescoringDecoder, 1.0, "_ngram")])
def test_rescoring_skips_the_model_its_weight_ignores(flat, kind, weight,
                                                      unused):
    bundle = dataclasses.replace(read_bundle(flat / "rescore.bundle"),
                                 weight=weight)
    decoder = kind(bundle, "", SearchOptions(nbest=3))
    answers = decoder.decode(WORDS[:10])
    setattr(decoder, unused, None)  # any use of it fails
    assert decoder.decode(WORDS[:10]) == answers


def test_ngram_weighs_given_pronunciations(flat):
    ngram = BatchDecoder(flat / "cipher.fst")
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


def test_training_without_torch_says_what_to_install(flat, monkeypatch,
                                                     capsys, tmp_path):
    # The training process finds this torch first.
    (tmp_path / "torch").mkdir()
    (tmp_path / "torch" / "__init__.py").write_text("raise ImportError\n")
    monkeypatch.syspath_prepend(tmp_path)
    assert cli.main(["train-neural", str(flat / "cipher.dict"), "-o",
                     str(tmp_path / "x.tnn"), "--epochs", "1"]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"tamsu: error: {neural.TORCH_HINT}")


def test_an_empty_or_unscored_pronunciation_is_never_an_answer():
    found = finish_list([((), 0.0), (("A",), -1.0), (("B",), math.nan),
                         (("C",), math.inf)], SearchOptions(nbest=4))
    assert [s.phonemes for s in found] == [("A",)]


def test_tuning_refuses_an_ngram_model_trained_on_other_words(flat, tmp_path):
    dev = [("ace", [("AA", "K", "EH")])]
    with pytest.raises(ValueError, match="cipher.fst was not trained on the "
                                         "neural model's training words"):
        tune_bundle(flat / "cipher.fst", flat / "flat.tnn", dev,
                    tmp_path / "x.bundle", trained_on=words_digest(["ace"]))
    assert not (tmp_path / "x.bundle").exists()

"""tamsu.training.train and the tamsu._train extension."""

import os

import pytest

from tamsu import Model, _train
from tamsu.lexicon import LexiconError
from tamsu.training import train

from train_data import LEXICON, write_lexicon


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    directory = tmp_path_factory.mktemp("trained")
    path = str(directory / "model.fst")
    report = train(write_lexicon(directory / "lexicon.dict"), path, order=4,
                   progress=False)
    return path, report


@pytest.mark.parametrize("word, phonemes", LEXICON)
def test_model_reproduces_training_pronunciations(trained, word, phonemes):
    model = Model(trained[0])
    assert " ".join(model.phoneticize(word)) == phonemes


def test_report_describes_the_run(trained):
    path, report = trained
    assert report.entries == report.aligned == len(LEXICON)
    assert report.unaligned == [] and report.malformed == []
    assert len(report.ngrams) == 4 and report.ngrams[0] > 0
    assert report.file_size == os.path.getsize(path)
    assert report.states > 1 and report.arcs > report.states


def test_pairs_in_code_train_like_a_file(tmp_path, trained):
    path = str(tmp_path / "pairs.fst")
    report = train([(w, p.split()) for w, p in LEXICON], path, order=4,
                   progress=False)
    assert report.aligned == len(LEXICON)
    with open(path, "rb") as a, open(trained[0], "rb") as b:
        assert a.read() == b.read()


def test_unalignable_entries_are_skipped_and_reported(tmp_path):
    pairs = LEXICON + [("w", "D AH B AH L Y UW")]
    report = train(pairs, str(tmp_path / "m.fst"), order=3, progress=False,
                   max_unaligned=0.1)
    assert [e.word for e in report.unaligned] == ["w"]
    assert report.aligned == len(LEXICON)


@pytest.mark.parametrize("pairs, message", [
    ([("a|b", "A")], "reserved"),
    ([("ab", "A _")], "reserved phoneme"),
    ([("ab", "")], "no phonemes"),
    ([], "empty"),
])
def test_unusable_pairs_raise(tmp_path, pairs, message):
    with pytest.raises(LexiconError, match=message):
        train(pairs, str(tmp_path / "m.fst"), progress=False)
    assert not (tmp_path / "m.fst").exists()


@pytest.mark.parametrize("options, message", [
    (dict(order=0), "order"),
    (dict(order=33), "order"),
    (dict(max_graphemes=9), "max_graphemes"),
    (dict(max_phonemes=0), "max_phonemes"),
    (dict(max_deleted=3), "max_deleted"),
    (dict(iterations=0), "iterations"),
    (dict(threads=65), "threads"),
    (dict(prune_threshold=-1.0), "threshold"),
    (dict(max_ngrams=-5), "max_ngrams"),
])
def test_bad_options_raise_value_error(tmp_path, options, message):
    with pytest.raises(ValueError, match=message):
        train(LEXICON, str(tmp_path / "m.fst"), progress=False, **options)


def test_unwritable_output_raises_os_error(tmp_path):
    with pytest.raises(OSError, match="cannot write the model"):
        train(LEXICON, str(tmp_path / "missing" / "m.fst"), progress=False)
    assert list(tmp_path.iterdir()) == []


def test_progress_reports_every_stage(tmp_path):
    seen = []
    _train.train_model([(list(w), p.split()) for w, p in LEXICON],
                       str(tmp_path / "m.fst"), order=3,
                       progress=lambda *event: seen.append(event))
    stages = list(dict.fromkeys(stage for stage, _, _ in seen))
    assert stages == ["aligning", "counting", "estimating", "writing"]
    for stage, done, total in seen:
        assert 0 <= done <= total


def test_exception_in_progress_cancels_and_propagates(tmp_path):
    class Stop(Exception):
        pass

    def progress(stage, done, total):
        raise Stop(stage)

    with pytest.raises(Stop):
        _train.train_model([(list(w), p.split()) for w, p in LEXICON],
                           str(tmp_path / "m.fst"), progress=progress)
    assert not (tmp_path / "m.fst").exists()


@pytest.mark.parametrize("entries, error", [
    ([("ab", "A B")], TypeError),            # graphemes must be a sequence of str
    ([(["a"], ["A"], ["x"])], TypeError),     # not a pair
    ([([1], ["A"])], TypeError),
    (5, TypeError),
])
def test_extension_rejects_malformed_entries(tmp_path, entries, error):
    with pytest.raises(error):
        _train.train_model(entries, str(tmp_path / "m.fst"))


def test_pruning_shrinks_the_model(tmp_path):
    full = train(LEXICON, str(tmp_path / "full.fst"), order=5, progress=False)
    small = train(LEXICON, str(tmp_path / "small.fst"), order=5,
                  max_ngrams=60, progress=False)
    assert sum(small.ngrams) <= 60 < sum(full.ngrams)
    assert small.file_size < full.file_size
    assert Model(str(tmp_path / "small.fst")).phoneticize("cat")


def test_delim_splits_graphemes(tmp_path):
    pairs = [("s-h-o-p", "SH AA P"), ("s-h-i-p", "SH IH P"),
             ("t-o-p", "T AA P"), ("s-i-p", "S IH P"), ("h-o-p", "HH AA P")]
    path = str(tmp_path / "delim.fst")
    train(pairs, path, delim="-", order=3, max_graphemes=2, progress=False)
    model = Model(path, "-")
    assert model.phoneticize("s-h-o-p") == ["SH", "AA", "P"]
    assert model.find_isym("s|h") is not None


@pytest.mark.parametrize("options, clusters", [
    ({}, ["p|h", "k|n"]),          # the default: up to two graphemes
    (dict(max_graphemes=1), []),
])
def test_max_graphemes_bounds_the_grapheme_clusters(tmp_path, options,
                                                     clusters):
    path = str(tmp_path / "m.fst")
    train(LEXICON, path, order=4, progress=False, **options)
    model = Model(path)
    symbols = []
    while model.find_isym(len(symbols)) is not None:
        symbols.append(model.find_isym(len(symbols)))
    found = {s for s in symbols[3:] if "|" in s}
    assert set(clusters) <= found and bool(found) == bool(clusters)
    assert model.phoneticize("knot") == ["N", "AA", "T"]

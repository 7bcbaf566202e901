"""tamsu.training.train and the tamsu._train extension."""

import os

import pytest

from tamsu import Model, _train
from tamsu.lexicon import LexiconError
from tamsu.normalise import input_symbols
from tamsu.training import train

from train_data import LEXICON, write_lexicon


def test_model_and_report_of_a_file(tmp_path):
    path = str(tmp_path / "model.fst")
    report = train(write_lexicon(tmp_path / "lexicon.dict"), path, order=4,
                   progress=False)
    model = Model(path)
    assert [" ".join(model.phoneticize(w)) for w, _ in LEXICON] == \
        [p for _, p in LEXICON]
    assert report.entries == report.aligned == len(LEXICON)
    assert report.unaligned == [] and report.malformed == []
    assert len(report.ngrams) == 4 and report.ngrams[0] > 0
    assert report.file_size == os.path.getsize(path)
    # Pairs given in code train the same model.
    pairs = str(tmp_path / "pairs.fst")
    train([(w, p.split()) for w, p in LEXICON], pairs, order=4, progress=False)
    with open(pairs, "rb") as a, open(path, "rb") as b:
        assert a.read() == b.read()


@pytest.mark.parametrize("pairs, options, error, message", [
    ([("a|b", "A")], {}, LexiconError, "reserved"),
    ([("ab", "")], {}, LexiconError, "no phonemes"),
    ([], {}, LexiconError, "empty"),
    (LEXICON, dict(order=0), ValueError, "order"),
    (LEXICON, dict(max_deleted=3), ValueError, "max_deleted"),
    (LEXICON, dict(prune_threshold=-1.0), ValueError, "threshold"),
    (LEXICON, dict(graphemes="nfkc"), ValueError, "graphemes"),
    (LEXICON, dict(order=True), TypeError, "order"),
    (LEXICON, dict(ordr=3), TypeError, "ordr"),
])
def test_bad_input_raises_and_writes_nothing(tmp_path, pairs, options, error,
                                            message):
    with pytest.raises(error, match=message):
        train(pairs, str(tmp_path / "m.fst"), progress=False, **options)
    assert list(tmp_path.iterdir()) == []


def test_progress_reports_every_stage_and_can_cancel(tmp_path):
    entries = [(list(w), p.split()) for w, p in LEXICON]
    seen = []
    _train.train_model(entries, str(tmp_path / "m.fst"), order=3,
                       progress=lambda *event: seen.append(event))
    assert list(dict.fromkeys(stage for stage, _, _ in seen)) == \
        ["aligning", "counting", "estimating", "writing"]
    assert all(0 <= done <= total for _, done, total in seen)
    os.remove(tmp_path / "m.fst")
    with pytest.raises(ZeroDivisionError):  # the callback's own error
        _train.train_model(entries, str(tmp_path / "m.fst"),
                           progress=lambda *event: 1 / 0)
    # Graphemes must be a sequence of str; entries must be pairs.
    for bad in ([("ab", "A B")], [(["a"], ["A"], ["x"])]):
        with pytest.raises(TypeError):
            _train.train_model(bad, str(tmp_path / "m.fst"))
    assert list(tmp_path.iterdir()) == []


def test_pruning_shrinks_the_model(tmp_path):
    full = train(LEXICON, str(tmp_path / "full.fst"), order=5, progress=False)
    small = train(LEXICON, str(tmp_path / "small.fst"), order=5,
                  max_ngrams=60, progress=False)
    assert sum(small.ngrams) <= 60 < sum(full.ngrams)
    assert small.file_size < full.file_size
    assert Model(str(tmp_path / "small.fst")).phoneticize("cat")


@pytest.mark.parametrize("pairs, delim, options, word, cluster", [
    (LEXICON, "", {}, "knot", "p|h"),
    (LEXICON, "", dict(max_graphemes=1), "knot", None),
    ([("s-h-o-p", "SH AA P"), ("s-h-i-p", "SH IH P"), ("t-o-p", "T AA P"),
      ("s-i-p", "S IH P"), ("h-o-p", "HH AA P")], "-", {}, "s-h-o-p", "s|h"),
])
def test_graphemes_and_clusters(tmp_path, pairs, delim, options, word,
                                cluster):
    path = str(tmp_path / "m.fst")
    train(pairs, path, delim=delim, order=3, progress=False, **options)
    model = Model(path, delim)
    assert model.phoneticize(word) == dict(pairs)[word].split()
    clusters = [s for s in input_symbols(model)[3:] if "|" in s]
    assert (cluster in clusters) if cluster else clusters == []


# Integers too large for their C++ fields are refused, never wrapped around.
@pytest.mark.parametrize("option, value, allowed", [
    ("order", 2**32 + 7, "1 and 32"),
    ("max_graphemes", 2**32 + 1, "1 and 8"),
    ("iterations", 2**32 + 1, "1 and 4294967295"),
    ("max_ngrams", 2**64 + 1, "0 and 18446744073709551615"),
    ("max_ngrams", -1, "0 and 18446744073709551615"),
])
def test_train_refuses_out_of_range_options(tmp_path, option, value, allowed):
    message = f"{option} must be between {allowed}"
    with pytest.raises(ValueError, match=message):
        train([("cat", "K AE T")], tmp_path / "m.fst", **{option: value})
    # The binding refuses what its fields cannot hold.
    with pytest.raises(OverflowError, match=f"{option} must be between 0 "):
        _train.train_model([], str(tmp_path / "m.fst"), **{option: value})

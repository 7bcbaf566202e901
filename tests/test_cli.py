"""The tamsu command, run as `python -m tamsu` in a subprocess."""

import argparse
import math
import re
import shutil
import subprocess
import sys

import pytest

from tamsu import Model, bundle, cli, neural
from tamsu.cli import options
from tamsu.bundle import Bundle
from tamsu.graphemes import grapheme_form, is_reversed
from tamsu.lexicon import trained_words, words_digest
from tamsu.training import TrainOptions, recorded_options, train

from train_data import LEXICON, write_lexicon


def run(*args):
    return subprocess.run([sys.executable, "-m", "tamsu", *args],
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cli") / "model.fst")
    # Two-grapheme chunks give the tiny lexicon's words several paths.
    train(LEXICON, path, order=4, max_graphemes=2, progress=False)
    return path


@pytest.mark.parametrize("args", [
    [],
    ["apply", "--nbest", "0", "cat"],
    ["apply", "-f", "words.txt", "cat"],
    ["train", "lexicon.dict", "-o", "m.fst", "--max-malformed", "2"],
    ["apply", "--probability-mass", "0", "cat"],
    ["apply", "--format", "csv", "cat"],
    ["apply", "--no-dictionary", "--dictionary", "d.dict", "cat"],
    ["apply", "--threshold", "nan", "cat"],
    ["apply", "--beam", "18446744073709551616", "cat"],
    ["train", "in", "-o", "out", "--max-ngrams", "18446744073709551617"],
])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert "usage:" in result.stderr


@pytest.mark.parametrize("args, message", [
    (["-m", "{bad}", "--jobs", "2", "cat"], "tamsu: error: failed to read FST"),
    (["-m", "{model}", "-f", "{tmp}/none.txt"], "cannot read"),
])
def test_apply_failures_exit_1(model, tmp_path, args, message):
    (tmp_path / "bad.fst").write_bytes(b"not a model")
    args = [a.format(bad=tmp_path / "bad.fst", model=model, tmp=tmp_path)
            for a in args]
    result = run("apply", *args)
    assert (result.returncode, result.stdout) == (1, "")
    assert message in result.stderr


def test_train_reports_and_records_its_options(tmp_path):
    lines = [f"{w}  {p}" for w, p in LEXICON] + ["bat\tB AE1 T",
                                                  "w\tD AH B AH L Y UW"]
    lines.insert(3, "lonely")
    lexicon = tmp_path / "l.dict"
    lexicon.write_text("\n".join(lines) + "\n")
    output = str(tmp_path / "m.fst")
    result = run("train", str(lexicon), "-o", output, "--order", "3",
                 "--max-malformed", "0.1", "--max-unaligned", "0.1",
                 "--strip-stress", "--graphemes", "nfd", "--reverse")
    assert result.returncode == 0, result.stderr
    for note in (f"tamsu: read {lexicon}: ", "stress marks stripped",
                 f"{lexicon}:4: no phonemes", "NFD graphemes",
                 f"cannot align {lexicon}:{len(lines)}: w D AH B AH L Y UW"):
        assert note in result.stderr
    model = Model(output)
    assert grapheme_form(model) == "nfd" and is_reversed(model)


def test_evaluate_reports_error_rates(model, tmp_path):
    # Words are normalised as apply normalises them ("Tap," is "tap").
    test = write_lexicon(tmp_path / "test.dict", [
        ("cat", "K AE T"), ("fox", "F AA K"), ("Tap,", "T AE P")])
    errors = tmp_path / "errors.tsv"
    result = run("evaluate", test, "-m", model, "--errors", str(errors),
                 "--jobs", "2")
    assert result.stdout.startswith("model alone")
    assert "words: 3  word errors: 1  WER: 33.33%" in result.stdout
    assert "phonemes: 9  phoneme errors: 1  PER: 11.11%" in result.stdout
    assert errors.read_text() == ("word\thypothesis\treference\n"
                                  "fox\tF AA K S\tF AA K\n")
    assert run("apply", "-m", model, "--no-dictionary", "--format",
               "lexicon", "Tap,").stdout == "Tap,\tT AE P\n"


@pytest.mark.parametrize("parse, text, expected", [
    (options.whole(1, 4), "1", 1),
    (options.whole(1, 4), "5", "must be between 1 and 4: 5"),
    (options.whole(1), "0", "must be at least 1: 0"),
    (options.whole(1), "1.5", "invalid integer: '1.5'"),
    (options.real(0.0, 0.5), "0", 0.0),
    (options.real(0.0, 0.5), "nan", "invalid number: 'nan'"),
    (options.real(1.0), "0.5", "must be at least 1.0: 0.5"),
    (options.probability, "1", 1.0),
    (options.probability, "0", "must be above 0 and at most 1: 0.0"),
    (options.threshold, "-inf", -math.inf),
    (options.threshold, "nan", "invalid number: 'nan'"),
])
def test_number_options(parse, text, expected):
    if isinstance(expected, str):
        with pytest.raises(argparse.ArgumentTypeError, match=f"^{expected}$"):
            parse(text)
    else:
        assert parse(text) == expected


@pytest.mark.parametrize("command, label", [
    (["apply", "-m", "{model}", "cat"], " words"),
    (["evaluate", "{lexicon}", "-m", "{model}"], " words"),
    (["train", "{lexicon}", "-o", "{tmp}/m.fst", "--order", "2"], "aligning"),
])
def test_progress_bars_when_asked(model, tmp_path, capsys, monkeypatch,
                                  command, label):
    lexicon = write_lexicon(tmp_path / "l.dict", LEXICON)
    args = [a.format(model=model, lexicon=lexicon, tmp=tmp_path)
            for a in command]
    assert cli.main(args + ["--no-progress"]) == 0
    assert label not in capsys.readouterr().err
    assert cli.main(args + ["--progress"]) == 0
    err = capsys.readouterr().err
    assert label in err
    # Counts are whole numbers, each bar is seen to end.
    assert not re.search(r"\d\.\d\d/", err)
    for bar in {line.split(":")[0] for line in bars(err)}:
        assert re.search(r" (\d+)/\1 ", bars(err, bar)[-1]), bar
    monkeypatch.setitem(sys.modules, "tqdm", None)  # not installed
    assert cli.main(args + ["--progress"]) == 0
    assert capsys.readouterr().err.count(
        "tamsu: cannot show progress bars: tqdm is not installed") == 1


def bars(err, label=""):
    """The renderings of the progress bars labelled `label` (any) in
    `err`, in order."""
    return [line for line in re.split(r"[\r\n]", err)
            if re.match(rf"{re.escape(label)}[\w ]*: +\d+%\|", line)]


@pytest.mark.parametrize("budget, totals", [
    (None, {200}),
    (360, {200, 4}),  # four 90 s epochs fit
    (60, {200, 1, 2}),  # none fits: the epochs run so far
])
def test_train_neural_counts_the_epochs_its_budget_allows(
        tmp_path, capsys, monkeypatch, budget, totals):
    def train_neural(lexicon, output, *, progress, **options):
        for epoch in (1, 2):  # 90 s each
            progress(neural.EpochProgress(epoch, 200, 1.0, 10.0, 10.0,
                                          90.0 * epoch))
        return neural.NeuralTrainReport(
            output, 6, 1, "nfc", 100, 2, 2, 1, 0.0, "time budget", 1.0, 1.0,
            dev=[])
    monkeypatch.setattr(neural, "train_neural", train_neural)
    lexicon = write_lexicon(tmp_path / "l.dict", LEXICON)
    assert cli.main(["train-neural", lexicon, "-o", str(tmp_path / "n.tnn"),
                     "--progress"] + ["--time-budget", str(budget)] * (
                         budget is not None)) == 0
    shown = bars(capsys.readouterr().err, "epochs")
    assert {int(re.search(r"/(\d+) ", line)[1]) for line in shown} == totals


@pytest.fixture
def no_training(monkeypatch):
    def train_neural(*args, **kwargs):
        raise AssertionError("trained before every input was checked")
    monkeypatch.setattr(neural, "train_neural", train_neural)


@pytest.mark.parametrize("extra, message", [
    (["--ngram", "{tmp}/none.fst"],
     "--ngram: {tmp}/none.fst: No such file or directory"),
    (["--ngram", "{tmp}/x.bundle"], "x.bundle is a bundle, not an n-gram"),
    (["--ngram", "{model}", "--bundle", "{model}"],
     "the bundle {model} is the n-gram model {model}: refusing"),
    (["--ngram", "{model}", "--bundle", "{tmp}/no/x.bundle"],
     "cannot write the model to {tmp}/no/x.bundle: no directory"),
    (["--dev", "{tmp}/none.dict"], "none.dict"),
    (["--ngram", "{model}"],  # trained on the dev words too
     "--ngram {model} may have been trained on other words than the neural "
     "model, the dev words perhaps"),
    (["--ngram", "{tmp}/share.fst", "--dev-share", "0.2"],
     "--ngram {tmp}/share.fst was trained on other words"),
    (["--refit", "{tmp}/all.fst"], "--refit needs --ngram"),
    (["--partner", "{tmp}/r.tnn"], "--partner needs --ngram"),
    (["--ngram", "{tmp}/share.fst", "--partner", "{tmp}/n.tnn"],
     "the output, the bundle, --refit and the partner must be different"),
    (["--ngram", "{tmp}/share.fst", "--bundle", "{tmp}/n.tnn"],
     "the output, the bundle, --refit and the partner must be different"),
    (["--ngram", "{model}", "--refit", "{tmp}/all.fst"],
     "--refit: {model} records no training options"),
])
def test_train_neural_checks_every_input_first(model, tmp_path, capsys,
                                               no_training, extra, message):
    lexicon = write_lexicon(tmp_path / "l.dict", LEXICON)
    (tmp_path / "x.bundle").write_text("{}")
    train(lexicon, tmp_path / "share.fst", order=2, hold_out=0.05,
          progress=False)
    args = [a.format(model=model, tmp=tmp_path) for a in extra]
    assert cli.main(["train-neural", lexicon, "-o", str(tmp_path / "n.tnn"),
                     *args]) == 1
    assert message.format(model=model, tmp=tmp_path) in capsys.readouterr().err
    assert not (tmp_path / "n.tnn").exists()


@pytest.mark.parametrize("option, partner", [
    ([], "n.r2l.tnn"), (["--partner", "{tmp}/r.tnn"], "r.tnn"),
    (["--no-partner"], None)])
def test_refit_trains_the_models_again_on_every_word(flat, tmp_path,
                                                     monkeypatch, option,
                                                     partner):
    runs = []

    def train_neural(lexicon, output, **options):
        runs.append((lexicon, output, options))
        shutil.copyfile(flat / "flat.tnn", output)
        return neural.NeuralTrainReport(
            output, 6, 1, "nfc", 100, 5, 3 + len(runs) % 2, 1, 0.0,
            "patience", 1.0, 1.0, dev=[("cat", [("K", "AE", "T")])])

    tuned = []

    def tune_bundle(ngram, neural_model, dev, output):
        tuned.append(neural_model)
        return Bundle(ngram, (neural_model,), "rescore", 0.35, 10, dict.fromkeys(
            ("ngram", "neural", "rescore"), 10.0))
    monkeypatch.setattr(neural, "train_neural", train_neural)
    monkeypatch.setattr(bundle, "tune_bundle", tune_bundle)
    lexicon = write_lexicon(tmp_path / "l.dict", LEXICON)
    share, every = tmp_path / "share.fst", tmp_path / "all.fst"
    first = str(tmp_path / "n.tnn")
    train(lexicon, share, order=2, max_ngrams=40, hold_out=0.05, seed=7,
          progress=False)
    assert cli.main(["train-neural", lexicon, "-o", first, "--ngram",
                     str(share), "--refit", str(every), "--seed", "7",
                     *(o.format(tmp=tmp_path) for o in option)]) == 0
    members = (first, str(tmp_path / partner)) if partner else (first,)
    assert [output for _, output, _ in runs] == [*members, *members]
    assert tuned == [members if partner else first]
    # The partner reads the other way round with its own network, and
    # sets aside the same dev words (the seed) as the first model.
    assert [(o["reverse"], o["architecture"], o["seed"])
            for _, _, o in runs] == [
        (False, neural.LstmArchitecture(), 7),
        *([(True, neural.PARTNER, 7)] if partner else [])] * 2
    words = {word for word, _ in LEXICON}
    for refit_lexicon, _, refit in runs[len(members):]:
        assert {e.word for e in refit_lexicon.entries} == words
        assert (refit["dev_share"], refit["dev"]) == (0.0, None)
    # Each for as many epochs as its own best.
    assert [o["epochs"] for _, _, o in runs[len(members):]] == [
        4, 3][:len(members)]
    assert recorded_options(Model(str(every))) == recorded_options(
        Model(str(share))) == TrainOptions(order=2, max_ngrams=40)
    assert trained_words(Model(str(every))) == words_digest(words)
    written = bundle.read_bundle(tmp_path / "n.tnn.bundle")
    assert (written.ngram, written.neural, written.mode, written.weight) == (
        str(every), members, "rescore", 0.35)


def test_train_neural_reports_the_chosen_mode(model, tmp_path, capsys,
                                              monkeypatch):
    def train_neural(lexicon, output, **options):
        assert options["architecture"] == neural.LstmArchitecture()
        return neural.NeuralTrainReport(
            output, 6, 1, "nfc", 100, 3, 2, 1, 0.0, "epochs", 1.0, 1.0,
            dev=[("cat", [("K", "AE", "T")])])

    def tune_bundle(ngram, neural_model, dev, output):
        return Bundle(ngram, (neural_model,), "rescore-beam", 0.5, 10, {
            "ngram": 30.0, "neural": 20.0, "rescore": 25.0,
            "rescore-beam": 15.0})
    monkeypatch.setattr(neural, "train_neural", train_neural)
    monkeypatch.setattr(bundle, "tune_bundle", tune_bundle)
    lexicon = write_lexicon(tmp_path / "l.dict", LEXICON)
    ngram = str(tmp_path / "share.fst")  # the neural model's share
    assert cli.main(["train", lexicon, "-o", ngram, "--hold-out", "0.05",
                     "--order", "2"]) == 0
    assert cli.main(["train-neural", lexicon, "-o", str(tmp_path / "n.tnn"),
                     "--ngram", ngram, "--architecture", "lstm",
                     "--no-partner"]) == 0
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"bundle {tmp_path}/n.tnn.bundle: rescore-beam, weight 0.5; dev WER "
        f"n-gram 30.00%, neural 20.00%, the bundle (rescore-beam) 15.00%")

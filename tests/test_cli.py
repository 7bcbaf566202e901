"""The tamsu command, run as `python -m tamsu` in a subprocess."""

import subprocess
import sys

import pytest

from tamsu import Model
from tamsu.graphemes import grapheme_form, is_reversed
from tamsu.training import train

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
    assert errors.read_text() == "fox\tF AA K S\tF AA K\n"
    assert run("apply", "-m", model, "--no-dictionary", "--format",
               "lexicon", "Tap,").stdout == "Tap,\tT AE P\n"

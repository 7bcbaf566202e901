"""The tamsu command, run as `python -m tamsu` in a subprocess."""

import subprocess
import sys

import pytest

from tamsu.training import train

from train_data import LEXICON, write_lexicon


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "tamsu", *args],
                          input=stdin, capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cli") / "model.fst")
    # Two-grapheme chunks give the tiny lexicon's words several paths.
    train(LEXICON, path, order=4, max_graphemes=2, progress=False)
    return path


def rows(stdout):
    return [line.split("\t") for line in stdout.splitlines()]


@pytest.mark.parametrize("args", [
    [],
    ["apply", "--nbest", "0", "cat"],
    ["apply", "--threshold", "x", "cat"],
    ["apply", "-f", "words.txt", "cat"],
    ["train", "lexicon.dict", "-o", "m.fst", "--max-malformed", "2"],
    ["evaluate"],
])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert "usage:" in result.stderr


def test_apply_prints_word_rank_weight_phonemes(model):
    result = run("apply", "-m", model, "cat", "phone", "--nbest", "2")
    table = rows(result.stdout)
    assert [r[:2] for r in table] == [["cat", "1"], ["cat", "2"],
                                      ["phone", "1"], ["phone", "2"]]
    assert table[0][3] == "K AE T" and table[2][3] == "F OW N"
    assert float(table[0][2]) <= float(table[1][2])
    probabilities = run("apply", "-m", model, "cat", "--nbest", "3",
                        "--pmass", "9").stdout
    shares = [float(r[2]) for r in rows(probabilities)]
    assert shares and 0.0 < min(shares) and sum(shares) <= 1.0


def test_apply_reads_words_from_standard_input(model):
    result = run("apply", "-m", model, "--file", "-",
                 stdin="cat\n\nphone\tignored\n  tone  \n")
    assert [r[0] for r in rows(result.stdout)] == ["cat", "phone", "tone"]


def test_apply_jobs_keep_the_input_order(model):
    words = [w for w, _ in LEXICON] * 60 + ["tan", "fix", "pot"]
    serial = run("apply", "-m", model, "--nbest", "2", "--jobs", "1",
                 stdin="\n".join(words))
    parallel = run("apply", "-m", model, "--nbest", "2", "--jobs", "2",
                   stdin="\n".join(words))
    assert serial.returncode == parallel.returncode == 0, parallel.stderr
    assert parallel.stdout == serial.stdout
    assert [r[0] for r in rows(parallel.stdout) if r[1] == "1"] == words


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


def test_train_reports_then_apply_decodes(tmp_path):
    lines = [f"{w}  {p}" for w, p in LEXICON]
    lines.insert(3, "lonely")
    lines.append("w\tD AH B AH L Y UW")
    lexicon = tmp_path / "l.dict"
    lexicon.write_text("\n".join(lines) + "\n")
    output = str(tmp_path / "m.fst")
    result = run("train", str(lexicon), "-o", output, "--order", "3",
                 "--max-malformed", "0.1", "--max-unaligned", "0.1")
    assert result.returncode == 0, result.stderr
    assert f"{lexicon}:4: no phonemes" in result.stderr
    assert f"cannot align {lexicon}:{len(lines)}: w D AH B AH L Y UW" in \
        result.stderr
    assert rows(run("apply", "-m", output, "knot").stdout)[0][3] == "N AA T"


def test_evaluate_reports_error_rates(model, tmp_path):
    test = write_lexicon(tmp_path / "test.dict",
                         [("cat", "K AE T"), ("fox", "F AA K")])
    errors = tmp_path / "errors.tsv"
    result = run("evaluate", test, "-m", model, "--errors", str(errors),
                 "--jobs", "2")
    assert "words: 2  word errors: 1  WER: 50.00%" in result.stdout
    assert "phonemes: 6  phoneme errors: 1  PER: 16.67%" in result.stdout
    assert errors.read_text() == "fox\tF AA K S\tF AA K\n"

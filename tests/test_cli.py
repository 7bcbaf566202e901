"""The tamsu command, run as `python -m tamsu` in a subprocess."""

import os
import subprocess
import sys

import pytest

from tamsu import Model
from tamsu.training import train

from train_data import LEXICON, write_lexicon


def run(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "tamsu", *args],
                          input=stdin, capture_output=True, text=True,
                          cwd=cwd, timeout=300)


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
    ["frobnicate"],
    ["apply", "--nbest", "0", "cat"],
    ["apply", "--nbest", "two", "cat"],
    ["apply", "--jobs", "0", "cat"],
    ["apply", "--threshold", "x", "cat"],
    ["apply", "--bogus", "cat"],
    ["apply", "-f", "words.txt", "cat"],
    ["train", "lexicon.dict"],
    ["train", "lexicon.dict", "-o", "m.fst", "--order", "-1"],
    ["train", "lexicon.dict", "-o", "m.fst", "--max-malformed", "2"],
    ["evaluate"],
])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "usage:" in result.stderr


@pytest.mark.parametrize("command", ["apply", "train", "evaluate"])
def test_help_on_each_command(command):
    result = run(command, "--help")
    assert result.returncode == 0
    assert f"usage: tamsu {command}" in result.stdout


def test_apply_prints_word_rank_weight_phonemes(model):
    result = run("apply", "-m", model, "cat", "phone", "--nbest", "2")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    assert [r[:2] for r in table] == [["cat", "1"], ["cat", "2"],
                                      ["phone", "1"], ["phone", "2"]]
    assert table[0][3] == "K AE T" and table[2][3] == "F OW N"
    assert float(table[0][2]) <= float(table[1][2])


def test_apply_pmass_prints_probabilities(model):
    result = run("apply", "-m", model, "cat", "--nbest", "3", "--pmass", "9")
    assert result.returncode == 0, result.stderr
    probabilities = [float(r[2]) for r in rows(result.stdout)]
    assert all(0.0 < p <= 1.0 for p in probabilities)
    assert sum(probabilities) == pytest.approx(1.0, abs=1e-3) or \
        sum(probabilities) <= 1.0


@pytest.mark.parametrize("source", ["stdin", "file", "dash"])
def test_apply_reads_words_from_stdin_or_file(model, tmp_path, source):
    words = "cat\n\nphone\tignored\n  tone  \n"
    (tmp_path / "words.txt").write_text(words)
    if source == "stdin":
        result = run("apply", "-m", model, stdin=words)
    elif source == "file":
        result = run("apply", "-m", model, "-f", str(tmp_path / "words.txt"))
    else:
        result = run("apply", "-m", model, "--file", "-", stdin=words)
    assert result.returncode == 0, result.stderr
    assert [r[0] for r in rows(result.stdout)] == ["cat", "phone", "tone"]


def test_apply_jobs_keep_the_input_order(model):
    words = [w for w, _ in LEXICON] * 60 + ["tan", "fix", "pot"]
    serial = run("apply", "-m", model, "--nbest", "2", stdin="\n".join(words))
    parallel = run("apply", "-m", model, "--nbest", "2", "--jobs", "2",
                   stdin="\n".join(words))
    assert serial.returncode == parallel.returncode == 0, parallel.stderr
    assert parallel.stdout == serial.stdout
    assert [r[0] for r in rows(parallel.stdout) if r[1] == "1"] == words


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_apply_with_a_bad_model_fails_with_1(tmp_path, jobs):
    bad = tmp_path / "bad.fst"
    bad.write_bytes(b"not a model")
    result = run("apply", "-m", str(bad), "--jobs", jobs, "cat")
    assert result.returncode == 1
    assert result.stderr.startswith("tamsu: error: failed to read FST")
    assert result.stdout == ""


def test_apply_with_a_missing_word_file_fails_with_1(model, tmp_path):
    result = run("apply", "-m", model, "-f", str(tmp_path / "none.txt"))
    assert result.returncode == 1
    assert "cannot read" in result.stderr


def test_apply_uses_the_shipped_model_by_default():
    result = run("apply", "hello", "world")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    # Dictionary words list all their variants.
    assert [r[0] for r in table if r[1] == "1"] == ["hello", "world"]
    assert table[0][3] in ("HH AH L OW", "HH EH L OW")


def test_train_then_apply(tmp_path):
    lexicon = write_lexicon(tmp_path / "l.dict", separator="  ")
    output = tmp_path / "m.fst"
    result = run("train", lexicon, "-o", str(output), "--order", "3")
    assert result.returncode == 0, result.stderr
    assert "18 of 18 entries aligned" in result.stderr
    applied = run("apply", "-m", str(output), "knot")
    assert rows(applied.stdout)[0][3] == "N AA T"


@pytest.mark.parametrize("options, clustered", [
    ([], True),                        # default: up to two graphemes
    (["--max-graphemes", "1"], False),
])
def test_train_max_graphemes_reaches_the_model(tmp_path, options, clustered):
    lexicon = write_lexicon(tmp_path / "l.dict")
    output = tmp_path / "m.fst"
    result = run("train", lexicon, "-o", str(output), "--order", "3",
                 *options)
    assert result.returncode == 0, result.stderr
    assert (Model(str(output)).find_isym("p|h") is not None) == clustered


@pytest.mark.parametrize("content, message", [
    ("cat\ndog\nfox\n" * 4 + "cat\tK AE T\n", "lines are malformed"),
    ("", "no usable pronunciations"),
    (None, "No such file"),
])
def test_train_on_bad_input_fails_with_1(tmp_path, content, message):
    lexicon = tmp_path / "l.dict"
    if content is not None:
        lexicon.write_text(content)
    result = run("train", str(lexicon), "-o", str(tmp_path / "m.fst"))
    assert result.returncode == 1
    assert message in result.stderr
    assert result.stderr.startswith("tamsu: error: ")
    assert not (tmp_path / "m.fst").exists()


def test_train_reports_malformed_lines_and_skipped_entries(tmp_path):
    lines = [f"{w}\t{p}" for w, p in LEXICON]
    lines.insert(3, "lonely")
    lines.append("w\tD AH B AH L Y UW")
    lexicon = tmp_path / "l.dict"
    lexicon.write_text("\n".join(lines) + "\n")
    result = run("train", str(lexicon), "-o", str(tmp_path / "m.fst"),
                 "--max-malformed", "0.1", "--max-unaligned", "0.1")
    assert result.returncode == 0, result.stderr
    assert f"{lexicon}:4: no phonemes" in result.stderr
    assert f"cannot align {lexicon}:{len(lines)}: w D AH B AH L Y UW" in \
        result.stderr


def test_evaluate_reports_error_rates(model, tmp_path):
    test = write_lexicon(tmp_path / "test.dict",
                         [("cat", "K AE T"), ("fox", "F AA K")])
    errors = tmp_path / "errors.tsv"
    result = run("evaluate", test, "-m", model, "--errors", str(errors),
                 "--jobs", "2")
    assert result.returncode == 0, result.stderr
    assert "words: 2  word errors: 1  WER: 50.00%" in result.stdout
    assert "phonemes: 6  phoneme errors: 1  PER: 16.67%" in result.stdout
    assert errors.read_text() == "fox\tF AA K S\tF AA K\n"


def test_python_m_and_console_script_agree(model):
    script = os.path.join(os.path.dirname(sys.executable), "tamsu")
    if not os.path.exists(script):
        pytest.skip("console script not installed next to the interpreter")
    direct = subprocess.run([script, "apply", "-m", model, "cat"],
                            capture_output=True, text=True, timeout=60)
    assert direct.stdout == run("apply", "-m", model, "cat").stdout

"""The commands' files: encodings, outputs, standard output (subprocess)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from train_data import write_lexicon


def run(*args, stdin=b"", env=None, shell=""):
    command = [sys.executable, "-m", "tamsu", *args]
    if shell:  # run through sh with a redirection
        command = ["sh", "-c", '"$@" ' + shell, "sh", *command]
    return subprocess.run(command, input=stdin, capture_output=True,
                          env=dict(os.environ, **(env or {})))


def test_apply_reads_utf16_word_lists(tmp_path, simple_model_path):
    words = tmp_path / "words.txt"
    words.write_bytes("\ufeffab\ncáb\n".encode("utf-16-le"))
    expected = b"ab\tA B\nc\xc3\xa1b\tK A B\n"
    for args, stdin in (["-f", str(words)], b""), ([], words.read_bytes()):
        done = run("apply", "-m", simple_model_path, "--format", "lexicon",
                   *args, stdin=stdin, env={"PYTHONIOENCODING": "ascii"})
        assert (done.returncode, done.stdout, done.stderr) == (0, expected,
                                                               b"")
    closed = run("apply", "-m", simple_model_path, "ab", shell=">&-")
    assert (closed.returncode, closed.stderr) == (
        1, b"tamsu: error: standard output is closed\n")


@pytest.mark.parametrize("command, output, message", [
    ("apply -m {model} -f {lexicon} --oov {lexicon}", "lexicon",
     "--oov {lexicon} is the word list {lexicon}"),
    ("apply -m {model} ab --oov {model}", "model",
     "--oov {model} is the model {model}"),
    ("evaluate {lexicon} -m {model} --errors {lexicon}", "lexicon",
     "--errors {lexicon} is the test lexicon {lexicon}"),
])
def test_outputs_never_overwrite_inputs(tmp_path, simple_model_path, command,
                                        output, message):
    paths = {"model": str(tmp_path / "m.fst"),
             "lexicon": write_lexicon(tmp_path / "l.txt", [("ab", "A B")])}
    shutil.copy(simple_model_path, paths["model"])
    before = Path(paths[output]).read_bytes()
    done = run(*command.format(**paths).split())
    assert done.returncode == 1
    assert message.format(**paths) in done.stderr.decode()
    assert Path(paths[output]).read_bytes() == before

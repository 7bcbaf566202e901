"""`tamsu phonemize`: its formats, its input and its reports (run in a
subprocess)."""

import json
import subprocess
import sys

import pytest

from test_front_end import LOWER, letter_model


def run(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "tamsu", "phonemize", *args],
                          input=stdin, capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    return ["-m", letter_model(tmp_path_factory.mktemp("phonemize"), "m",
                               LOWER), "--language", "en"]


@pytest.mark.parametrize("options, expected", [
    ([], "O K / T W O / B E E S / ,\n"),
    (["--format", "words"], "Ok / two / bees / ,\n"),
    (["--format", "tsv"],
     "1\t0\t2\tOk\tO K\n1\t3\t4\t2\tT W O\n1\t5\t9\tbees\tB E E S\n"
     "1\t9\t10\t,\t\n"),
])
def test_formats(model, options, expected):
    result = run(*model, "--separator", " / ", *options, "Ok 2", "bees,")
    assert (result.stdout.decode(), result.returncode) == (expected, 0)


def test_json_has_every_token_of_every_line(model, tmp_path):
    text = tmp_path / "text.txt"
    text.write_bytes(b"Hi 1st!\n\n" + b"x" * (1 << 20) + b"y\n")
    result = run(*model, "--format", "json", "-f", str(text))
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert lines == [
        {"line": 1, "tokens": [
            {"token": "Hi", "start": 0, "end": 2, "kind": "word",
             "words": ["Hi"], "phonemes": ["H I"], "sources": ["model"]},
            {"token": "1st", "start": 3, "end": 6, "kind": "number",
             "words": ["first"], "phonemes": ["F I R S T"],
             "sources": ["model"]},
            {"token": "!", "start": 6, "end": 7, "kind": "punctuation"}]},
        {"line": 2, "tokens": []},
        {"line": 3, "skipped": "line longer than 1048576 bytes",
         "tokens": []}]
    assert result.stderr.decode() == \
        f"tamsu: {text}:3: skipped: line longer than 1048576 bytes\n"


def test_problems_are_named_with_their_line_and_offsets(model):
    result = run(*model, "-f", "-", stdin="a\nб c\n".encode())
    assert result.stdout.decode() == "A\nC\n"
    assert result.stderr.decode() == (
        "tamsu: <stdin>:2:0-1: 'б': removed characters the model does not "
        "know: 'б'\n")


def test_ipa_without_stress_with_the_shipped_model():
    # Without marks the reduced vowel stays: AH0 is ə.
    result = run("-m", "en_us-ngram", "--phones", "ipa", "--no-stress",
                 "Hello, 2.")
    assert result.stdout.decode() == "h ə l oʊ | , | t u | .\n"


def test_jobs_in_worker_processes_keep_the_order_and_reports(model, tmp_path):
    text = tmp_path / "text.txt"
    text.write_text("".join(f"line {n}: ab, б{n % 7}!\n" for n in range(600)),
                    encoding="utf-8")
    one, two = (run(*model, "--format", "tsv", "-f", str(text), "--jobs", j)
                for j in ("1", "2"))
    assert two.stdout == one.stdout and two.stderr == one.stderr
    assert one.stdout.decode().splitlines()[-1] == "600\t16\t17\t!\t"

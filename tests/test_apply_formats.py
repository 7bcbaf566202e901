"""`tamsu apply` as a lexicon builder (run in a subprocess)."""

import json
import math
import subprocess
import sys

import pytest

from test_front_end import LOWER, letter_model


def run(*args):
    return subprocess.run([sys.executable, "-m", "tamsu", *args],
                          capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    directory = tmp_path_factory.mktemp("apply")
    model = letter_model(directory, "m", LOWER)
    dictionary = directory / "d.dict"
    dictionary.write_text("the\tDH AH\nthe\tDH IY\n", encoding="utf-8")
    return ["-m", model, "--dictionary", str(dictionary)], directory


LEFT_OUT = "so they were left out (--keep-partial writes the rest)"


@pytest.mark.parametrize("args, expected", [
    (["--format", "tsv"], "The\t1\t0.6931\tDH AH\nab\t1\t2.5000\tA B\n"
                          "ab\t1\t2.5000\tA B\nx€y\t1\t2.5000\tX Y\n"),
    (["--format", "lexicon", "--all-variants"],
     "The\tDH AH\nThe\tDH IY\nab\tA B\n"),
    # Aligners' probabilities: a word's best pronunciation is 1.
    (["--format", "lexicon-prob", "--keep-partial", "--all-variants"],
     "The\t1\tDH AH\nThe\t1\tDH IY\nab\t1\tA B\nx€y\t1\tX Y\n"),
])
def test_formats_and_the_oov_report(setup, args, expected):
    options, directory = setup
    oov, out = directory / "oov.txt", directory / "out.txt"
    result = run("apply", *options, *args, "--oov", str(oov), "-o", str(out),
                 "The", "ab", "ab", "€", "x€y")
    assert (result.stdout, out.read_text(encoding="utf-8")) == (b"", expected)
    # Nothing is printed for "€"; both problems are counted, one line each.
    if "lexicon" in args:  # a lossy line is no entry
        assert result.stderr.decode() == "tamsu: 2 of 5 words had characters "\
            f"the model does not know, {LEFT_OUT}: € (listed in {oov})\n"
        assert oov.read_text(encoding="utf-8") == "".join(f"{w}\tunknown "
            "characters: €; left out (--keep-partial writes the rest)\n"
            for w in ("€", "x€y"))
        return
    assert result.stderr.decode().splitlines() == [
        "tamsu: 2 of 5 words had characters the model does not know, "
        f"removed before decoding: € (listed in {oov})",
        f"tamsu: 1 of 5 words had no pronunciation (listed in {oov})"]
    assert oov.read_text(encoding="utf-8") == (
        "€\tunknown characters removed: €\n€\tno pronunciation\n"
        "x€y\tunknown characters removed: €\n")


def test_word_lists_skip_comments_and_report_undecodable_lines(setup):
    options, directory = setup
    words = directory / "words.txt"
    words.write_bytes(b"\xef\xbb\xbfab\n# a comment\n\n  ba\tignored\n"
                      b"caf\xe9\n" + b"a" * 300 + b"\nc\x01ab\n")
    result = run("apply", *options, "--format", "lexicon", "-f", str(words))
    assert result.stdout == b"ab\tA B\nba\tB A\n"
    assert result.stderr.decode().splitlines() == [
        f"tamsu: {words}:5: skipped caf\\xe9: not valid UTF-8 text",
        f"tamsu: {words}:6: skipped {'a' * 40}...: longer than 256 "
        f"characters (300)",
        "tamsu: 1 of 5 words had characters the model does not know, "
        f"{LEFT_OUT}: \\x01"]
    # A pipe is read once (no second pass to count its words).
    piped = subprocess.run(
        ["bash", "-c", f"'{sys.executable}' -m tamsu apply {' '.join(options)}"
         " --format lexicon -f <(printf 'ab\\nba\\n')"],
        capture_output=True, timeout=120)
    assert piped.stdout == b"ab\tA B\nba\tB A\n", piped.stderr
    # Arguments that are not UTF-8 are skipped the same way, and so are
    # tabs and line breaks, which no line can carry; the report gives each
    # as it came, escaping only those.
    oov = directory / "oov.txt"
    argument = run("apply", *options, b"caf\xe9", "a\tb", "ab", "--oov", oov)
    assert argument.stdout == b"ab\t1\t2.5000\tA B\n"
    assert argument.stderr == (
        b"tamsu: argument 1: skipped caf\\xe9: not valid UTF-8 text\n"
        b"tamsu: argument 2: skipped a\\tb: holds a tab or line break\n")
    assert oov.read_bytes() == (b"caf\xe9\tskipped: not valid UTF-8 text\n"
                                b"a\\tb\tskipped: holds a tab or line break\n")


def test_bad_lines_beyond_the_first_chunks_are_named(setup):
    options, directory = setup
    words = directory / "many.txt"  # three chunks of 2,048 words per thread
    words.write_bytes(b"ab\n" * 5000 + b"caf\xe9\nb\0a\nba\n")
    result = run("apply", *options, "--jobs", "2", "--format", "lexicon",
                 "-f", str(words))
    assert result.stdout == b"ab\tA B\nba\tB A\n"  # each word once
    # The reader reports a NUL when it reads it, the writer a word it
    # cannot decode when that word's answer comes.
    assert sorted(result.stderr.decode().splitlines()) == [
        f"tamsu: {words}:5001: skipped caf\\xe9: not valid UTF-8 text",
        f"tamsu: {words}:5002: skipped: holds a NUL character"]


def test_switching_the_layers_off(setup):
    options, directory = setup
    both = run("apply", *options, "--format", "lexicon", "The", "A-b")
    assert both.stdout == b"The\tDH AH\nA-b\tA B\n"
    # "-" is silent in this model: its empty pronunciation is no answer.
    hyphen = letter_model(directory, "hyphen", LOWER + ["-"])
    plain = run("apply", "-m", hyphen, "--format", "lexicon", "--keep-partial",
                "--no-dictionary", "--no-normalise", "The", "A-b", "-")
    assert plain.stdout == b"The\tH E\nA-b\tB\n"
    assert b"removed before decoding: T A\n" in plain.stderr
    assert b"1 of 3 words had no pronunciation" in plain.stderr



# Two answers of the model for "ab": A B (weight 1) and A C (weight 3).
TWO_WAYS = """
    0 1 a A 1.0
    1 2 b B 0.0
    1 2 b C 2.0
    2 0
"""


@pytest.fixture(scope="module")
def two_ways(tmp_path_factory):
    from conftest import compile_model
    directory = tmp_path_factory.mktemp("two")
    model = compile_model(directory, "m", TWO_WAYS,
                          ["<eps>", "|", "_", "a", "b"],
                          ["<eps>", "|", "_", "A", "B", "C"])
    dictionary = directory / "d.dict"
    dictionary.write_text("ba\tDH AH\nba\tDH IY\n", encoding="utf-8")
    return ["-m", model, "--dictionary", str(dictionary)]


share = 1 / (1 + math.exp(-2))  # A B's share of the two paths


@pytest.mark.parametrize("args, expected", [
    (["--format", "lexicon-prob", "--nbest", "2"],
     f"ab\t1\tA B\nab\t{math.exp(-2):.6g}\tA C\nba\t1\tDH AH\n"
     f"ba\t1\tDH IY\n"),
    (["--format", "cmudict", "--nbest", "2"],
     "ab A B\nab(2) A C\nba DH AH\nba(2) DH IY\n"),
    # The confidence is the share of the model's 5 best, whatever --nbest.
    (["--format", "scores"],
     f"word\trank\tconfidence\tweight\tsource\tphonemes\n"
     f"ab\t1\t{share:.4f}\t1.0000\tmodel\tA B\n"
     f"ba\t1\t0.5000\t0.6931\tdictionary\tDH AH\n"
     f"ab\t1\t{share:.4f}\t1.0000\tmodel\tA B\n"),
    (["--format", "lexicon", "--only-unknown", "--nbest", "2"],
     "ab\tA B\nab\tA C\n"),
])
def test_formats_for_lexicons_and_scores(two_ways, args, expected):
    result = run("apply", *two_ways, *args, "ab", "ba", "ab")
    assert result.stdout.decode() == expected, result.stderr


def test_json_has_one_object_per_word(two_ways):
    result = run("apply", *two_ways, "--format", "json", "ab", "zz")
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"word": "ab", "pronunciations": [
            {"rank": 1, "phonemes": "A B", "probability": 1.0,
             "confidence": pytest.approx(share), "weight": 1.0,
             "source": "model"}]},
        {"word": "zz", "pronunciations": []}]

"""Reading lexicon files, and scoring in tamsu.evaluation."""

import pytest

from tamsu.cli import main
from tamsu.dictionary import PronunciationDictionary
from tamsu.evaluation import EvaluationReport, score
from tamsu.lexicon import LexiconError, graphemes_of, read_lexicon

from train_data import LEXICON

GOOD = "".join(f"{w}\t{p}\n" for w, p in LEXICON).encode()


def write(path, data):
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return str(path)


@pytest.mark.parametrize("text, expected", [
    ("new york\tN UW Y AO R K\ncat  K AE T\n",
     [("new york", "N UW Y AO R K"), ("cat", "K AE T")]),
    (";;; comment\n# another\n\ncat K AE T\r\n", [("cat", "K AE T")]),
    ("\ufeffread\tR IY D\nread\tR EH D\n",
     [("read", "R IY D"), ("read", "R EH D")]),
    (";;; CMU\nREAD  R IY D # now\nREAD(2)  R EH D  #past\nC#  S IY\n",
     [("READ", "R IY D"), ("READ", "R EH D"), ("C#", "S IY")]),
])
def test_reads_entries(tmp_path, text, expected):
    path = write(tmp_path / "l.dict", text.encode("utf-16-le"))
    lexicon = read_lexicon(path)
    assert [(e.word, " ".join(e.phonemes)) for e in lexicon.entries] == expected
    assert lexicon.malformed == []
    # Dictionaries share the line syntax.
    dictionary = PronunciationDictionary.read(path)
    assert [(w, " ".join(p)) for w in dict.fromkeys(w for w, _ in expected)
            for p in dictionary.lookup(w)] == expected


@pytest.mark.parametrize("line, message", [
    ("{w}\t{p_}", "one phoneme as long as a word .* separated by spaces"),
    ("{p}\t{w}", "one phoneme as long as a word .* columns look swapped"),
    ("{w} {w}\t{p} {p}", "words hold spaces"),
])
def test_implausible_inventories_are_refused(tmp_path, line, message):
    lines = [line.format(w=w, p=p, p_=p.replace(" ", "")) for w, p in LEXICON]
    path = write(tmp_path / "l.dict", "\n".join(lines))
    with pytest.raises(LexiconError, match=message + ".*--no-inventory-check"):
        read_lexicon(path)
    assert len(read_lexicon(path, check_inventory=False).entries) == 18
    assert [main(["train", path, "-o", path + ".fst", "--no-progress"] + flag)
            for flag in ([], ["--no-inventory-check"])] == [1, 0]


@pytest.mark.parametrize("bad_line, reason", [
    (b"lonely\n", "no phonemes"),
    (b"\tK AE T\n", "no word"),
    (b"a|b\tA B\n", "reserved symbol"),
    (b"ab\tA _\n", "reserved phoneme"),
])
def test_malformed_lines_are_reported_with_their_line(tmp_path, bad_line,
                                                      reason):
    path = write(tmp_path / "l.dict", GOOD[:40] + b"\n" + bad_line + GOOD)
    (malformed,) = read_lexicon(path, max_malformed=0.5).malformed
    assert str(malformed).startswith(f"{path}:{malformed.line}: ")
    assert reason in malformed.reason
    with open(path, "rb") as stream:
        assert stream.read().split(b"\n")[malformed.line - 1] + b"\n" == \
            bad_line


def test_malformed_share_counts_every_line(tmp_path):
    # One bad line among ten is 10% of the file (not 1/9 of the good lines).
    path = write(tmp_path / "l.dict", GOOD[:GOOD.index(b"cone")] + b"lonely\n")
    assert len(read_lexicon(path, max_malformed=0.105).entries) == 9
    for text, message in [("cat\n" * 20 + "dog\tD AO G\n", "20 of 21 lines"),
                          ("", "no usable"), ("\n;;; only\n", "no usable"),
                          ("a\nb\n", "no usable")]:
        with pytest.raises(LexiconError, match=message):
            read_lexicon(write(tmp_path / "l.dict", text))


@pytest.mark.parametrize("word, delim, pieces", [
    ("sh-o-p", "-", ["sh", "o", "p"]),
    ("a--b", "-", ["a", "", "b"]),
    ("a--b", "--", ["a--b"]),
    ("e\u0301", "", ["e", "\u0301"]),
])
def test_graphemes_follow_the_decoders_tokenization(word, delim, pieces):
    assert graphemes_of(word, delim) == pieces


@pytest.mark.parametrize("hypothesis, references, errors, length, wrong", [
    ("R EH D", ["R IY D", "R EH D"], 0, 3, 0),     # any reference counts
    ("K AE", ["K AE T", "K AE T S"], 1, 3, 1),      # closest reference
    ("", ["A B"], 2, 2, 1),                         # nothing decoded
])
def test_score(hypothesis, references, errors, length, wrong):
    report = EvaluationReport()
    score(report, "w", tuple(hypothesis.split()),
          [tuple(r.split()) for r in references])
    assert (report.phoneme_errors, report.phonemes, report.word_errors) == (
        errors, length, wrong)

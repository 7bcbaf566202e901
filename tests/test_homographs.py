"""English homographs read by their sentence (tamsu.homographs)."""

import subprocess
import sys
from importlib import resources

import numpy as np
import pytest

from tamsu import homographs
from tamsu.homographs import Homographs

VOWELS = {"AA", "AE", "AH", "AO", "AW", "AY", "EH", "ER", "EY", "IH", "IY",
          "OW", "OY", "UH", "UW"}
CONSONANTS = {"B", "CH", "D", "DH", "F", "G", "HH", "JH", "K", "L", "M", "N",
              "NG", "P", "R", "S", "SH", "T", "TH", "V", "W", "Y", "Z", "ZH"}


@pytest.fixture(scope="module")
def shipped():
    return Homographs.shipped()


@pytest.fixture
def tiny_path(tmp_path):
    """"tear" decided by its own weights, "lead" by the shared model's."""
    path = tmp_path / "tiny.bin"
    homographs.write(path, ["l1=to", "r1=up"], (np.array([0]), [[3.0]]), [
        ("lead", [("lead_nou", "L EH1 D"), ("lead_vrb", "L IY1 D")],
         np.array([], int), np.zeros((0, 1)), np.array([-1.0]), True),
        ("tear", [("tear_nou", "T IH1 R"), ("tear_vrb", "T EH1 R")],
         np.array([1]), [[2.0]], np.array([-1.0]), False)])
    return path


@pytest.mark.parametrize("text, word, phonemes", [
    ("They lead the way to the mine.", "lead", "L IY1 D"),
    ("The pipe was made of lead and tin.", "lead", "L EH1 D"),
    ("She will record a new album next year.", "record", "R AH0 K AO1 R D"),
    ("He broke the world record in 2010.", "record", "R EH1 K ER0 D"),
    ("We plan to increase taxes.", "increase", "IH2 N K R IY1 S"),
    ("There was a sharp increase in prices.", "increase", "IH1 N K R IY2 S"),
    ("The town can house ten thousand people.", "house", "HH AW1 Z"),
    ("Their house is big.", "house", "HH AW1 S"),
    # Characters of several UTF-8 bytes before the word: str offsets.
    ("Köln, Zürich and Ōsaka: the band played a live show.", "live",
     "L AY1 V"),
    ("In Köln and Zürich many artists live near the river.", "live",
     "L IH1 V"),
])
def test_the_sentence_decides_the_reading(shipped, text, word, phonemes):
    start = text.index(word)
    assert shipped.choose(text, start, start + len(word)) == \
        tuple(phonemes.split())


@pytest.mark.parametrize("text, start, end, phonemes", [
    ("Do not tear up the note.", 7, 11, "T EH1 R"),
    ("A TEAR fell.", 2, 6, "T IH1 R"),
    ("Ça, to lead", 7, 11, "L IY1 D"),  # the shared model's score counts
    ("The lead", 4, 8, "L EH1 D"),
    ("tear", 0, 4, "T IH1 R"),
    ("Do not tear up the note.", 3, 6, None),  # "not"
    ("Do not tear up the note.", 7, 10, None),  # "tea"
])
def test_choose_scores_the_words_features(tiny_path, text, start, end,
                                          phonemes):
    model = Homographs.read(tiny_path)
    expected = None if phonemes is None else tuple(phonemes.split())
    assert model.choose(text, start, end) == expected


@pytest.mark.parametrize("start, end", [(-1, 3), (3, 2), (0, 99)])
def test_offsets_outside_the_text_are_refused(shipped, start, end):
    with pytest.raises(ValueError, match="offsets"):
        shipped.choose("lead on", start, end)


def test_membership_ignores_case(shipped):
    assert [w in shipped for w in ("lead", "LEAD", "Record", "tamsu", 5)] == \
        [True, True, True, False, False]


def damaged(data):
    yield "truncated", data[:-4]
    yield "one byte more", data + b"\0"
    flipped = bytearray(data)
    flipped[-2] ^= 0x40  # inside the last intercept
    yield "a weight changed", bytes(flipped)
    yield "another magic", b"tamsuXX\0" + data[8:]
    yield "empty", b""
    yield "text", b"lead\tL EH1 D\n"


@pytest.mark.parametrize("case", [name for name, _ in damaged(b"x" * 64)])
def test_a_damaged_model_is_refused_naming_the_file(tiny_path, tmp_path,
                                                    case):
    data = dict(damaged(tiny_path.read_bytes()))[case]
    path = tmp_path / "damaged.bin"
    path.write_bytes(data)
    with pytest.raises(ValueError, match="damaged.bin"):
        Homographs.read(path)


def test_the_table_gives_every_reading_in_arpabet(shipped):
    text = resources.files("tamsu").joinpath(
        "models", "homographs.tsv").read_text(encoding="utf-8")
    rows = [line.split("\t") for line in text.splitlines()
            if not line.startswith("#")]
    table = {}
    for wordid, word, phonemes, source, _ in rows:
        assert source == "hand" or source.startswith("cmudict:")
        stress = [p[-1] for p in phonemes.split() if p[:-1] in VOWELS]
        assert stress.count("1") == 1 and set(stress) <= set("012")
        assert all(p in CONSONANTS or p[:-1] in VOWELS
                   for p in phonemes.split())
        table.setdefault(word, {})[wordid] = tuple(phonemes.split())
    assert len(table) == len(shipped) == 162
    for word, readings in table.items():
        # A reading the training sentences never showed is never chosen.
        assert dict(shipped.readings(word)).items() <= readings.items()
        assert len(set(readings.values())) == len(readings) >= 2


def test_importing_tamsu_leaves_the_model_and_the_trainer_out():
    code = ("import sys, tamsu; assert 'tamsu.homographs' not in sys.modules;"
            "from tamsu.homographs import Homographs;"
            "assert Homographs.shipped().choose('to lead', 3, 7);"
            "assert not {'sklearn', 'scipy', 'torch'} & set(sys.modules)")
    subprocess.run([sys.executable, "-c", code], check=True)

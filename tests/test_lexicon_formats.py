"""Lexicon layouts: recognised, or refused with a hint; the read summary."""

import pytest

from tamsu import train
from tamsu.lexicon import LexiconError, read_lexicon

from train_data import LEXICON


def _file(tmp_path, lines):
    path = tmp_path / "lexicon.dict"
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


@pytest.mark.parametrize("lines, message", [
    ([f"{w},{p}" for w, p in LEXICON], "comma-separated"),
    ([f"{w}\t1.5e-3 {p}" for w, p in LEXICON], "probability or score"),
])
def test_wrong_layouts_are_refused_with_a_hint(tmp_path, lines, message):
    with pytest.raises(LexiconError, match=message):
        read_lexicon(_file(tmp_path, lines))


def test_probabilistic_layout_is_read_as_word_and_phonemes(tmp_path):
    lines = [f"{w}\t0.99\t0.05\t1.0\t0.9\t{p}" for w, p in LEXICON]
    lines.append("odd\tO D")  # not in the layout of the others
    lexicon = read_lexicon(_file(tmp_path, lines), max_malformed=0.1)
    assert lexicon.layout == "probabilistic"
    assert [(e.word, " ".join(e.phonemes)) for e in lexicon.entries] == LEXICON
    assert [m.line for m in lexicon.malformed] == [len(lines)]
    assert "numeric columns ignored" in lexicon.summary()


def test_tone_digits_are_phonemes_not_numbers(tmp_path):
    lines = [f"ma{i}\tm a {i}" for i in range(1, 6)]
    lexicon = read_lexicon(_file(tmp_path, lines))
    assert lexicon.layout == "plain"
    assert lexicon.entries[0].phonemes == ("m", "a", "1")


def test_stress_is_noted_or_stripped(tmp_path):
    lines = ["about\tAH0 B AW1 T", "ago\tAH0 G OW1", "ˈmama\tˈm a m a",
             "cat\tK AE T"]
    path = _file(tmp_path, lines)
    kept = read_lexicon(path)
    assert kept.entries[0].phonemes == ("AH0", "B", "AW1", "T")
    assert "3 entries carry stress marks (--strip-stress" in kept.summary()
    stripped = read_lexicon(path, strip_stress=True)
    assert [e.phonemes for e in stripped.entries] == [
        ("AH", "B", "AW", "T"), ("AH", "G", "OW"), ("m", "a", "m", "a"),
        ("K", "AE", "T")]


def test_words_with_spaces_keep_them_as_graphemes(tmp_path):
    lines = ["a còng\tʔ aː k a w ŋ", "ba\tɓ aː", "a ba\tʔ aː ɓ aː"]
    lexicon = read_lexicon(_file(tmp_path, lines))
    assert [e.word for e in lexicon.entries] == ["a còng", "ba", "a ba"]
    assert "3 entries of 3 words" in lexicon.summary()
    assert "2 words hold spaces, read as graphemes" in lexicon.summary()


def test_unalignable_share_names_file_and_line(tmp_path):
    lines = [f"{w}\t{p}" for w, p in LEXICON] + ["w\tD AH B AH L Y UW"]
    path = _file(tmp_path, lines)
    with pytest.raises(ValueError,
                       match=rf"{path}:{len(lines)}: w  D AH B AH L Y UW"):
        train(path, tmp_path / "m.fst", progress=False)

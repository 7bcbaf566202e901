"""ARPAbet written as IPA: segments, reduced vowels, stress marks before the
syllable."""

import pytest

from tamsu.cli import main
from tamsu.phones import to_ipa


@pytest.mark.parametrize("arpabet, ipa", [
    ("HH AH0 L OW1", "h ə ˈ l oʊ"),
    ("T AH0 M EY1 T OW2", "t ə ˈ m eɪ ˌ t oʊ"),
    ("IH0 K S T R IY1 M", "ɪ k ˈ s t ɹ i m"),  # the longest legal onset
    ("S IH1 NG ER0", "ˈ s ɪ ŋ ɚ"),
    ("HH AH L OW", "h ʌ l oʊ"),  # no stress digits: no marks
])
def test_arpabet_as_ipa(arpabet, ipa):
    assert " ".join(to_ipa(arpabet.split())) == ipa


@pytest.mark.parametrize("phoneme", ["a", "K1", "AH12"])
def test_other_phonemes_are_refused(phoneme):
    with pytest.raises(ValueError, match="not an ARPAbet phoneme"):
        to_ipa(["K", phoneme])


def test_apply_writes_ipa(capsys):
    assert main(["apply", "--phones", "ipa", "--format", "lexicon",
                 "hello"]) == 0
    assert capsys.readouterr().out == "hello\th ə ˈ l oʊ\n"

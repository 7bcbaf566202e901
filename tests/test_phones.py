"""Phone sets: told from phonemes, recorded by training, and ARPAbet written
as IPA (segments, reduced vowels, stress marks before the syllable)."""

import pytest

import tamsu
from tamsu.cli import main
from tamsu.phones import phone_set_of, to_ipa
from tamsu.training import train

from train_data import LEXICON, write_lexicon


@pytest.mark.parametrize("arpabet, ipa", [
    ("HH AH0 L OW1", "h ə ˈ l oʊ"),
    ("T AH0 M EY1 T OW2", "t ə ˈ m eɪ ˌ t oʊ"),
    ("IH0 K S T R IY1 M", "ɪ k ˈ s t ɹ i m"),  # the longest legal onset
    ("AH0 S T R EY1", "ə ˈ s t ɹ eɪ"),  # all three consonants
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


@pytest.mark.parametrize("phonemes, found", [
    ("HH AH0 L OW1 K AE T", "arpabet"),
    # One stray symbol in a thousand does not hide an IPA list.
    ("t a p " * 333 + "~", "ipa"),
    ("ʔ a ǃ ɪ tʃʰ ɛː ˈa ˧˥ ŋ̍ β", "ipa"),
    ("t a p " * 50 + "~", None),
    ("T A P", None),  # capitals: neither set
    ("т а п", None),  # Cyrillic letters are not IPA
    ("", None),
])
def test_the_phone_set_phonemes_show(phonemes, found):
    assert phone_set_of(phonemes.split()) == found


@pytest.mark.parametrize("pairs, phones, recorded, tap", [
    (LEXICON, "auto", "arpabet", "t æ p"),
    ([(w, p.lower()) for w, p in LEXICON], "auto", "ipa", "t ae p"),
    # What training is told is recorded, whatever the phonemes show; a
    # model in IPA is written as it is.
    (LEXICON, "ipa", "ipa", "T AE P"),
])
def test_a_model_records_its_phone_set(tmp_path, capsys, pairs, phones,
                                       recorded, tap):
    model = tmp_path / "model.fst"
    report = train(write_lexicon(tmp_path / "lex.tsv", pairs), model,
                   order=3, phones=phones, inventory_check=False,
                   progress=False)
    assert report.phones == recorded
    assert tamsu.G2P(model).phones == recorded
    assert main(["models", "show", str(model)]) == 0
    shown = dict(arpabet="ARPAbet", ipa="IPA")[recorded]
    assert f"phones\t{shown}\n" in capsys.readouterr().out
    assert main(["apply", "--phones", "ipa", "--format", "lexicon", "-m",
                 str(model), "tap"]) == 0
    assert capsys.readouterr().out == f"tap\t{tap}\n"

"""Phone sets: told from phonemes, recorded by training, and ARPAbet written
as IPA and X-SAMPA (segments, reduced vowels, stress marks on the vowel)."""

import pytest

import tamsu
from tamsu.cli import main
from tamsu.lexicon import remove_stress
from tamsu.phones import (ARPABET_IPA, PHONE_TABLE, attach_marks,
                          phone_set_of, to_arpabet, to_ipa, to_xsampa)
from tamsu.training import train

from train_data import LEXICON, write_lexicon


@pytest.mark.parametrize("arpabet, ipa, xsampa", [
    # A stress mark sits on its vowel, as aligners' IPA dictionaries (and
    # ARPAbet's digits) carry it: never a phone of its own.
    ("HH AH0 L OW1", "h ə l ˈoʊ", 'h @ l "oU'),
    ("T AH0 M EY1 T OW2", "t ə m ˈeɪ t ˌoʊ", 't @ m "eI t %oU'),
    ("S IH1 NG ER0", "s ˈɪ ŋ ɚ", 's "I N @`'),
    ("HH AH L OW", "h ʌ l oʊ", "h V l oU"),  # no stress digits: no marks
])
def test_arpabet_as_ipa_and_xsampa(arpabet, ipa, xsampa):
    assert " ".join(to_ipa(arpabet.split())) == ipa
    assert " ".join(to_xsampa(arpabet.split())) == xsampa


@pytest.mark.parametrize("source", ["ipa", "xsampa"])
def test_every_phone_of_the_table_round_trips(source):
    write = dict(ipa=to_ipa, xsampa=to_xsampa)[source]
    vowels = {a for a, *_ in PHONE_TABLE if a[:1] in "AEIOU"}
    phonemes = [a + digit for a in vowels if len(a) == 2
                for digit in "012"] + [a for a in ARPABET_IPA
                                       if a not in vowels]
    written = write(phonemes)
    assert len(set(written)) == len(phonemes)  # no two phones alike
    assert to_arpabet(written, source) == tuple(phonemes)
    assert to_arpabet(write(phonemes, marks=False), source,
                      stress=False) == remove_stress(phonemes)


@pytest.mark.parametrize("phoneme", ["a", "K1", "AH12"])
def test_other_phonemes_are_refused(phoneme):
    with pytest.raises(ValueError, match="not an ARPAbet phoneme"):
        to_ipa(["K", phoneme])


@pytest.mark.parametrize("given, marked, unmarked", [
    ("ˈ m a ˌ t ə", "m ˈa t ˌə", "m a t ə"),  # lone marks
    ("ˈs t r a", "s t r ˈa", "s t r a"),  # on a consonant: to the vowel
    ("b ˈn̩ ˈ", "b ˈn̩", "b n̩"),  # a syllabic consonant; a last mark
])
def test_an_ipa_model_s_marks_go_onto_their_vowels(given, marked, unmarked):
    assert " ".join(attach_marks(given.split())) == marked
    assert " ".join(attach_marks(given.split(), marks=False)) == unmarked


@pytest.mark.parametrize("phones, stress, hello", [
    ("ipa", True, "h ə l ˈoʊ"),
    # Without marks the reduced vowel stays: AH0 is ə, not ʌ.
    ("ipa", False, "h ə l oʊ"),
    ("xsampa", True, 'h @ l "oU'),
    ("model", False, "HH AH L OW"),
])
def test_g2p_writes_the_phones_asked_for(phones, stress, hello, capsys):
    g2p = tamsu.G2P("en_us-ngram", phones=phones, stress=stress)
    assert " ".join(g2p("hello")[0].phonemes) == hello
    arguments = ["--phones", phones] + ["--no-stress"] * (not stress)
    assert main(["apply", "-m", "en_us-ngram", "--format", "lexicon",
                 *arguments, "hello"]) == 0
    assert capsys.readouterr().out == f"hello\t{hello}\n"


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

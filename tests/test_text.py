"""Running text through G2P.phonemize: tokens, offsets, numbers,
abbreviations, homographs, batching and bad input."""

import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import tamsu
from tamsu.text.abbreviations import read_abbreviations
from tamsu.text.numbers import read_numbers
from tamsu.text.tokens import spans
from test_front_end import LOWER, letter_model


@pytest.fixture(scope="module")
def g2p(tmp_path_factory):
    """Letters read as themselves, upper-cased; a few words known."""
    model = letter_model(tmp_path_factory.mktemp("text"), "m", LOWER)
    return tamsu.G2P(model, tamsu.PronunciationDictionary(
        {"two": ["T UW"], "bbc": ["B IY B IY S IY"]}))


def phonemize(g2p, text, language="en"):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tamsu.G2PWarning)
        return g2p.phonemize(text, language=language)


# Letters of several scripts, digits, marks that join numbers, white space
# of several kinds, a character beyond the BMP, controls, a lone surrogate.
_PIECES = st.sampled_from(list("aZé'-.,:$€%+ 3\t\n\u00a0\u3000東京タイ")
                          + ["ภาษา", "😀", "\x07", "\ud800", "1,5", "21st"])


@settings(max_examples=150, deadline=None)
@given(st.lists(_PIECES, max_size=30).map("".join))
def test_every_character_is_in_one_token_or_white_space(g2p, text):
    tokens = phonemize(g2p, text)
    covered = 0
    for token in tokens:
        assert covered <= token.start < token.end
        assert text[token.start:token.end] == token.written
        assert text[covered:token.start].isspace() or \
            covered == token.start
        covered = token.end
    assert text[covered:].isspace() or covered == len(text)


def read(text, language):
    found = read_numbers(text, spans(text, language), language)
    return [(text[s.start:s.end], " ".join(s.words or ())) for s in found]


@pytest.mark.parametrize("language, text, expected", [
    ("en", "2", "two"),
    ("en", "21st", "twenty-first"),
    ("en", "1984", "nineteen eighty-four"),
    ("en", "3.5", "three point five"),
    ("en", "3,500.25", "three thousand five hundred point two five"),
    ("en", "007", "zero zero seven"),
    ("en", "50%", "fifty percent"),
    ("en", "$3.50", "three dollars and fifty cents"),
    ("en", "$1", "one dollar"),
    ("en", "€20", "twenty euros"),
    ("en", "10:30", "ten thirty"),
    ("en", "10:05", "ten oh five"),
    ("en", "9:00", "nine o'clock"),
    ("en", "1990-2000", "nineteen ninety to two thousand"),
    ("en", "-5", "minus five"),
    ("en", "+5", "plus five"),
    ("fr", "2e", "deuxième"),
    ("fr", "1re", "première"),
    ("fr", "3,5", "trois virgule cinq"),
    ("fr", "3.500,25", "trois mille cinq cents virgule deux cinq"),
    ("fr", "20€", "vingt euros"),
    ("fr", "10:30", "dix heures trente"),
    ("fr", "1984", "mille neuf cent quatre-vingt-quatre"),
    ("de", "3,5", "drei Komma fünf"),
    ("de", "50%", "fünfzig Prozent"),
    ("de", "10:30", "zehn Uhr dreißig"),
    ("de", "1984", "neunzehnhundertvierundachtzig"),
    ("es", "1º", "primero"),
    ("es", "2ª", "segunda"),
    ("es", "3,5", "tres coma cinco"),
    ("es", "10:30", "diez y treinta"),
    ("es", "50%", "cincuenta por ciento"),
    # Counted alone, agreeing with the noun of an amount.
    ("es", "21", "veintiuno"),
    ("es", "21€", "veintiún euros"),
    ("de", "101", "einhunderteins"),
])
def test_numbers_read_in_their_language(language, text, expected):
    assert read(text, language) == [(text, expected)]


@pytest.mark.parametrize("language, text, expected", [
    # A German full stop after a number makes an ordinal before a word,
    # not at the end of a sentence.
    ("de", "am 3. Mai", [("am", ""), ("3.", "dritte"), ("Mai", "")]),
    ("de", "es sind 3.", [("es", ""), ("sind", ""), ("3", "drei"),
                          (".", "")]),
    # A hyphen between words is no sign; digits in a word are read.
    ("en", "a-5", [("a", ""), ("-", ""), ("5", "five")]),
    ("en", "mp3", [("mp3", "mp three")]),
    # A number too long to read keeps its token and no words.
    ("en", "9" * 400, [("9" * 400, "")]),
])
def test_numbers_in_context(language, text, expected):
    assert read(text, language) == expected


@pytest.mark.parametrize("text, expected", [
    ("Dr. Smith", [("Dr.", "abbreviation", "doctor"), ("Smith", "word", "")]),
    ("on Mulholland Dr. today", [
        ("on", "word", ""), ("Mulholland", "word", ""),
        ("Dr.", "abbreviation", "drive"), ("today", "word", "")]),
    ("St. Louis", [("St.", "abbreviation", "saint"), ("Louis", "word", "")]),
    ("Elm St.", [("Elm", "word", ""), ("St.", "abbreviation", "street")]),
    ("No. 5", [("No.", "abbreviation", "number"), ("5", "number", "")]),
    ("No. Never", [("No", "word", ""), (".", "punctuation", ""),
                   ("Never", "word", "")]),
    ("e.g. etc.", [("e.g.", "abbreviation", "for example"),
                   ("etc.", "abbreviation", "et cetera")]),
    ("U.S.A.", [("U.S.A.", "initialism", "U. S. A.")]),
    # Capitals the dictionary lacks: spelled when they cannot be said.
    ("BBC HTML MRI NASA", [("BBC", "word", ""),
                           ("HTML", "initialism", "H. T. M. L."),
                           ("MRI", "initialism", "M. R. I."),
                           ("NASA", "word", "")]),
])
def test_abbreviations_in_context(text, expected):
    found = read_abbreviations(text, spans(text, "en"),
                               lambda word: word.lower() == "bbc")
    assert [(text[s.start:s.end], s.kind, " ".join(s.words or ()))
            for s in found] == expected


def test_words_of_many_texts_are_decoded_together(g2p, monkeypatch):
    calls = []
    decode = g2p._decoder.decode

    def counted(parts, threads=1):
        calls.append(len(parts))
        return decode(parts, threads)

    monkeypatch.setattr(g2p._decoder, "decode", counted, raising=False)
    texts = [f"Cab {n} fed, two ox." for n in range(40)]
    results = list(g2p.phonemize_many(texts, jobs=2, language="en"))
    assert len(calls) == 1  # every word the dictionary lacks, at once
    first = results[0]
    assert [t.written for t in first] == ["Cab", "0", "fed", ",", "two",
                                          "ox", "."]
    assert first[0].phonemes == tuple(map(str, g2p("Cab")[0].phonemes))
    assert first[4].readings[0].source == "dictionary"
    assert [t.words for t in results[12]][1] == ("twelve",)


class _Homographs:
    """Stands in for the shipped model: "read" is present after "will"."""

    def choose(self, text, start, end):
        return ("R", "IY1", "D") if "will" in text else None


@pytest.mark.parametrize("options, text, expected, source", [
    ({}, "I will read it", ("R", "IY1", "D"), "context"),
    ({"stress": False}, "I will read it", ("R", "IY", "D"), "context"),
    ({}, "I read it", ("R", "EH1", "D"), "dictionary"),
    # Only over the shipped dictionary's phonemes.
    ({"dictionary": tamsu.PronunciationDictionary({"read": ["R EH D"]})},
     "I will read it", ("R", "EH", "D"), "dictionary"),
])
def test_homographs_are_read_by_their_sentence(monkeypatch, options, text,
                                               expected, source):
    from tamsu.homographs import Homographs
    monkeypatch.setattr(Homographs, "shipped", _Homographs)
    tokens = tamsu.G2P("en_us-ngram", **options).phonemize(text)
    token = next(t for t in tokens if t.written == "read")
    assert (token.phonemes, token.readings[0].source) == (expected, source)


@pytest.mark.parametrize("text, kinds, warned", [
    ("", [], []),
    ("?!", ["punctuation", "punctuation"], []),
    ("x" * (1 << 20), ["word"], [tamsu.SkippedWordWarning]),
    # Capitals and dotted letters beyond an initialism's length are words.
    ("B" * (1 << 20), ["word"], [tamsu.SkippedWordWarning]),
    ("a." * 300, ["word", "punctuation"], [tamsu.SkippedWordWarning]),
    ("abcд", ["word"], [tamsu.UnknownCharacterWarning]),
    ("9" * 400, ["number"], [tamsu.SkippedWordWarning]),
    ("a\ud800b", ["word", "symbol", "word"], [tamsu.SkippedWordWarning]),
    ("a\x07b\x00", ["word", "symbol", "word", "symbol"],
     [tamsu.SkippedWordWarning] * 2),
], ids=["empty", "punctuation", "1 MiB word", "1 MiB capitals", "dots",
        "mixed scripts", "400 digits", "surrogate", "controls"])
def test_bad_input_gives_tokens_and_warnings(g2p, text, kinds, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tokens = g2p.phonemize(text, language="en")
    assert [t.kind for t in tokens] == kinds
    assert [w.category for w in caught] == warned


def test_unknown_language_leaves_numbers_with_a_warning(g2p):
    with pytest.warns(tamsu.G2PWarning, match="language is unknown"):
        tokens = g2p.phonemize("2 cabs")
    assert [t.words for t in tokens] == [(), ("cabs",)]
    assert [t.problem for t in phonemize(g2p, "2", language="tlh")] == [
        "not read: ICU reads no numbers in 'tlh'"]


def test_without_icu_a_one_line_hint(monkeypatch):
    from tamsu.text import tokens
    monkeypatch.setitem(sys.modules, "icu", None)
    tokens.icu.cache_clear()
    try:
        with pytest.raises(ImportError, match="install python3-icu"):
            spans("a b", "en")
    finally:
        tokens.icu.cache_clear()

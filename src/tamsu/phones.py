"""Phone sets: what a model's phonemes are written in, and ARPAbet (the CMU
dictionary's, with stress digits) written as IPA or X-SAMPA.

A model records its phone set as a marker in its input symbol table, as it
records its grapheme form (tamsu.graphemes): "<tamsu:arpabet>" or
"<tamsu:ipa>". Training takes the set it is told, or the one the lexicon's
phonemes show (`phone_set_of`); `phone_set(model)` reads the marker, and
for a model without one (trained elsewhere or before phone sets were
recorded, or a neural model) tells the set from its phonemes the same way.

`PHONE_TABLE` writes each ARPAbet phoneme as one IPA and one X-SAMPA
segment; unstressed AH0 and ER0 are the reduced vowels ə and ɚ. A stress
digit becomes a mark on the vowel it belongs to (ˈeɪ, ˌoʊ; X-SAMPA "eI,
%oU), as the aligners' IPA dictionaries and ARPAbet itself carry stress:
a phone of its own would be taken for a sound, and a mark on the
syllable's first consonant would split every consonant into stressed and
unstressed variants. `attach_marks` moves the marks of an IPA model's
answers onto their vowels the same way.
"""

from __future__ import annotations

import functools
import unicodedata
from typing import TYPE_CHECKING, Callable, Final, Iterable, Sequence

from tamsu._neural import NeuralModel

if TYPE_CHECKING:
    from tamsu._batch import BatchDecoder
    from tamsu._tamsu import Model

__all__ = ["ARPABET_IPA", "OUTPUTS", "PHONE_SETS", "PHONE_SET_MARKERS",
           "PHONE_SET_NAMES", "PHONE_TABLE", "PhoneError", "Phonemes",
           "attach_marks",
           "converter", "is_arpabet", "is_ipa", "phone_set", "phone_set_of",
           "to_arpabet", "to_ipa", "to_xsampa"]

Phonemes = tuple[str, ...]
"""A pronunciation: its phonemes, in order."""

PHONE_SETS = ("arpabet", "ipa")
PHONE_SET_MARKERS = {name: f"<tamsu:{name}>" for name in PHONE_SETS}
PHONE_SET_NAMES = {"arpabet": "ARPAbet", "ipa": "IPA"}
"""How a phone set's name is written for people."""
# The share of a lexicon's phonemes that must belong to a set for it to be
# taken as that set: real lists hold a stray symbol here and there ("~",
# ",") that must not hide an otherwise clean IPA list.
_SHARE = 0.995

PHONE_TABLE: Final = (
    # ARPAbet, IPA, X-SAMPA; vowels first (they take stress digits).
    ("AA", "ɑ", "A"), ("AE", "æ", "{"), ("AH", "ʌ", "V"), ("AH0", "ə", "@"),
    ("AO", "ɔ", "O"), ("AW", "aʊ", "aU"), ("AY", "aɪ", "aI"),
    ("EH", "ɛ", "E"), ("ER", "ɝ", "3`"), ("ER0", "ɚ", "@`"),
    ("EY", "eɪ", "eI"), ("IH", "ɪ", "I"), ("IY", "i", "i"),
    ("OW", "oʊ", "oU"), ("OY", "ɔɪ", "OI"), ("UH", "ʊ", "U"),
    ("UW", "u", "u"),
    ("B", "b", "b"), ("CH", "tʃ", "tS"), ("D", "d", "d"), ("DH", "ð", "D"),
    ("F", "f", "f"), ("G", "ɡ", "g"), ("HH", "h", "h"), ("JH", "dʒ", "dZ"),
    ("K", "k", "k"), ("L", "l", "l"), ("M", "m", "m"), ("N", "n", "n"),
    ("NG", "ŋ", "N"), ("P", "p", "p"), ("R", "ɹ", "r\\"), ("S", "s", "s"),
    ("SH", "ʃ", "S"), ("T", "t", "t"), ("TH", "θ", "T"), ("V", "v", "v"),
    ("W", "w", "w"), ("Y", "j", "j"), ("Z", "z", "z"), ("ZH", "ʒ", "Z"))
"""ARPAbet phonemes as IPA and X-SAMPA segments (the table in docs/formats.md)."""
# Primary (1) and secondary (2) stress as IPA and X-SAMPA marks.
_MARKS = {"1": ("ˈ", '"'), "2": ("ˌ", "%")}
_COLUMNS = {"ipa": 1, "xsampa": 2}
_ROWS = {row[0]: row for row in PHONE_TABLE}
_FROM = {name: {row[column]: row[0] for row in PHONE_TABLE}
         for name, column in _COLUMNS.items()}
ARPABET_IPA = {arpabet: ipa for arpabet, ipa, _ in PHONE_TABLE
               if not arpabet.endswith("0")}
"""Each ARPAbet phoneme (without stress) as IPA."""
_VOWELS = frozenset("AA AE AH AO AW AY EH ER EY IH IY OW OY UH UW".split())
OUTPUTS: Final = ("model", "ipa", "xsampa")
"""What answers may be written in: the model's own phonemes, IPA, X-SAMPA."""
# IPA's vowel letters, and the marks of a syllabic consonant (n̩, n̍).
_IPA_VOWELS = frozenset("iyɨʉɯuɪʏʊeøɘɵɤoəɛœɜɞʌɔæɐaɶɑɒɚɝ")
_SYLLABIC = frozenset("\u0329\u030d")
_IPA_MARKS = "ˈˌ"


def is_arpabet(phoneme: str) -> bool:
    """Whether `phoneme` is ARPAbet: a CMU dictionary phoneme, a vowel
    perhaps with one stress digit (0, 1, 2)."""
    base = phoneme.rstrip("012")
    digits = len(phoneme) - len(base)
    return base in ARPABET_IPA and (
        digits == 0 or (digits == 1 and base in _VOWELS))


@functools.cache
def _ipa_character(character: str) -> bool:
    if character in "|‖‿↗↘.":
        return True
    name = unicodedata.name(character, "")
    # Lower-case Latin (small capitals, ʔ and the clicks included), Greek
    # letters (β, θ, χ), modifier letters (ː, ʰ, ˈ, tone letters),
    # diacritics and superscripts; ARPAbet and X-SAMPA use capitals.
    return (name.startswith("LATIN ") and not name.startswith(
        "LATIN CAPITAL")) or name.startswith((
            "GREEK SMALL LETTER", "MODIFIER LETTER", "COMBINING ",
            "SUPERSCRIPT "))


def is_ipa(phoneme: str) -> bool:
    """Whether `phoneme` is written in IPA's characters."""
    return bool(phoneme) and all(_ipa_character(c) for c in phoneme)


def phone_set_of(phonemes: Iterable[str]) -> str | None:
    """The phone set (a name of PHONE_SETS) at least 99.5% of `phonemes`
    belong to, ARPAbet first; None when neither or no phonemes."""
    total = arpabet = ipa = 0
    for phoneme in phonemes:
        total += 1
        arpabet += is_arpabet(phoneme)
        ipa += is_ipa(phoneme)
    if not total:
        return None
    if arpabet >= _SHARE * total:
        return "arpabet"
    return "ipa" if ipa >= _SHARE * total else None


def phone_set(model: Model | BatchDecoder | NeuralModel) -> str | None:
    """The phone set `model` records; for a model without a record, the
    one its phonemes show (phone_set_of over its output symbols); None
    when neither tells."""
    if isinstance(model, NeuralModel):
        return phone_set_of(model.phonemes)
    for name, marker in PHONE_SET_MARKERS.items():
        if model.find_isym(marker) is not None:
            return name
    # Label 0 is epsilon, label 1 the cluster separator, label 2 perhaps
    # the skip symbol "_"; a cluster's phonemes are joined by the separator.
    separator = model.find_osym(1) or "|"
    phonemes: list[str] = []
    label = 2
    while (text := model.find_osym(label)) is not None:
        if not (label == 2 and text == "_") and not (
                text.startswith("<") and text.endswith(">")):
            phonemes.extend(text.split(separator))
        label += 1
    return phone_set_of(phonemes)


class PhoneError(ValueError):
    """A phoneme the phone table cannot write."""


def _written(phoneme: str, column: int, marks: bool) -> str:
    if not is_arpabet(phoneme):
        raise PhoneError(f"{phoneme!r} is not an ARPAbet phoneme")
    base = phoneme.rstrip("012")
    text = _ROWS.get(phoneme, _ROWS[base])[column]
    digit = phoneme[len(base):]
    if marks and digit in _MARKS:
        return _MARKS[digit][column - 1] + text
    return text


def to_ipa(phonemes: Sequence[str], *, marks: bool = True) -> Phonemes:
    """ARPAbet phonemes (stress digits optional) as IPA segments, a stress
    mark on its vowel (none without `marks`); PhoneError (a ValueError)
    for a phoneme that is not ARPAbet."""
    return tuple(_written(p, 1, marks) for p in phonemes)


def to_xsampa(phonemes: Sequence[str], *, marks: bool = True) -> Phonemes:
    """ARPAbet phonemes as X-SAMPA segments, like :func:`to_ipa`."""
    return tuple(_written(p, 2, marks) for p in phonemes)


def to_arpabet(phonemes: Sequence[str], source: str, *,
               stress: bool = True) -> Phonemes:
    """IPA or X-SAMPA segments (`source` "ipa" or "xsampa") of the table
    as ARPAbet: marked vowels with their digit, others with 0 when
    `stress`; PhoneError for a segment the table does not have."""
    marks = {row[_COLUMNS[source] - 1]: digit for digit, row in _MARKS.items()}
    out = []
    for segment in phonemes:
        digit = marks.get(segment[:1], "")
        arpabet = _FROM[source].get(segment[1:] if digit else segment)
        if arpabet is None:
            raise PhoneError(f"{segment!r} is not in the phone table")
        base = arpabet.rstrip("0")
        if base in _VOWELS and stress:
            digit = digit or arpabet[len(base):] or "0"
        out.append(base + (digit if base in _VOWELS else ""))
    return tuple(out)


def _is_vowel(segment: str) -> bool:
    return segment[:1] in _IPA_VOWELS or not _SYLLABIC.isdisjoint(segment)


def attach_marks(phonemes: Sequence[str], *, marks: bool = True
                 ) -> Phonemes:
    """IPA segments with each stress mark on the vowel it belongs to (the
    next one: "ˈ m a" and "ˈm a" become "m ˈa"); a mark no vowel follows
    marks no syllable and goes. Without `marks` every mark goes."""
    out: list[str] = []
    pending = ""
    for phoneme in phonemes:
        bare = phoneme.lstrip(_IPA_MARKS)
        pending += phoneme[:len(phoneme) - len(bare)]
        if not bare:
            continue
        if pending and _is_vowel(bare):
            bare, pending = (pending if marks else "") + bare, ""
        out.append(bare)
    return tuple(out)


def converter(output: str, model_phones: str | None, *, marks: bool = True
              ) -> Callable[[Sequence[str]], Phonemes] | None:
    """How answers of a model whose phone set is `model_phones` are written
    in `output` (one of OUTPUTS): None for as they are; IPA from ARPAbet
    (a model whose set is not known is taken for ARPAbet) or an IPA model's
    answers with their marks on the vowels; X-SAMPA from ARPAbet.
    `marks=False` leaves stress marks out. ValueError for X-SAMPA of an IPA
    model (the table is ARPAbet's)."""
    if output not in OUTPUTS:
        raise ValueError(f"phones must be one of {', '.join(OUTPUTS)}")
    if output == "model":
        return None
    if model_phones == "ipa":
        if output == "xsampa":
            raise ValueError("X-SAMPA is written from ARPAbet (the phone "
                             "table), and this model answers in IPA")
        return functools.partial(attach_marks, marks=marks)
    return functools.partial(to_ipa if output == "ipa" else to_xsampa,
                             marks=marks)

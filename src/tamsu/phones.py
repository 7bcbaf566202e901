"""Phone sets: what a model's phonemes are written in, and ARPAbet (the CMU
dictionary's, with stress digits) written as IPA.

A model records its phone set as a marker in its input symbol table, as it
records its grapheme form (tamsu.graphemes): "<tamsu:arpabet>" or
"<tamsu:ipa>". Training takes the set it is told, or the one the lexicon's
phonemes show (`phone_set_of`); `phone_set(model)` reads the marker, and
for a model without one (trained elsewhere or before phone sets were
recorded, or a neural model) tells the set from its phonemes the same way.

Each ARPAbet phoneme becomes one IPA segment (`ARPABET_IPA`); unstressed
AH0 and ER0 become the reduced vowels ə and ɚ. Stress digits become IPA's
marks, placed as IPA places them: before the stressed syllable, whose onset
is the longest run of consonants before its vowel that can begin an English
syllable (`h ə ˈl oʊ` for HH AH0 L OW1). The mark is a segment of its own.
"""

from __future__ import annotations

import functools
import unicodedata
from typing import TYPE_CHECKING, Iterable, Sequence

from tamsu._neural import NeuralModel

if TYPE_CHECKING:
    from tamsu._batch import BatchDecoder
    from tamsu._tamsu import Model

__all__ = ["ARPABET_IPA", "PHONE_SETS", "PHONE_SET_MARKERS", "PHONE_SET_NAMES",
           "Phonemes", "is_arpabet", "is_ipa", "phone_set", "phone_set_of",
           "to_ipa"]

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

ARPABET_IPA = {
    "AA": "ɑ", "AE": "æ", "AH": "ʌ", "AO": "ɔ", "AW": "aʊ", "AY": "aɪ",
    "EH": "ɛ", "ER": "ɝ", "EY": "eɪ", "IH": "ɪ", "IY": "i", "OW": "oʊ",
    "OY": "ɔɪ", "UH": "ʊ", "UW": "u",
    "B": "b", "CH": "tʃ", "D": "d", "DH": "ð", "F": "f", "G": "ɡ", "HH": "h",
    "JH": "dʒ", "K": "k", "L": "l", "M": "m", "N": "n", "NG": "ŋ", "P": "p",
    "R": "ɹ", "S": "s", "SH": "ʃ", "T": "t", "TH": "θ", "V": "v", "W": "w",
    "Y": "j", "Z": "z", "ZH": "ʒ",
}
_REDUCED = {"AH0": "ə", "ER0": "ɚ"}
_MARKS = {"1": "ˈ", "2": "ˌ"}
_VOWELS = frozenset("AA AE AH AO AW AY EH ER EY IH IY OW OY UH UW".split())
# Consonant runs that can begin an English syllable, beyond one consonant
# (any but NG).
_ONSETS = frozenset(tuple(o.split()) for o in (
    "P R", "T R", "K R", "B R", "D R", "G R", "F R", "TH R", "SH R",
    "P L", "K L", "B L", "G L", "F L", "S L", "S P", "S T", "S K", "S M",
    "S N", "S W", "T W", "K W", "D W", "G W", "TH W", "P Y", "B Y", "F Y",
    "M Y", "K Y", "V Y", "HH Y", "S P R", "S T R", "S K R", "S P L",
    "S K W", "S K Y"))


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


def _onset(consonants: Sequence[str]) -> int:
    """How many of the consonants before a vowel begin its syllable."""
    for size in range(len(consonants), 1, -1):
        if tuple(consonants[-size:]) in _ONSETS:
            return size
    return 1 if consonants and consonants[-1] != "NG" else 0


def to_ipa(phonemes: Sequence[str]) -> tuple[str, ...]:
    """ARPAbet phonemes (stress digits optional) as IPA segments; ValueError
    for a phoneme that is not ARPAbet."""
    out: list[str] = []
    consonants: list[str] = []  # since the last vowel
    first = True  # no vowel yet: every consonant so far is onset
    for phoneme in phonemes:
        if not is_arpabet(phoneme):
            raise ValueError(f"{phoneme!r} is not an ARPAbet phoneme")
        base = phoneme.rstrip("012")
        digit = phoneme[len(base):]
        if base not in _VOWELS:
            consonants.append(base)
            out.append(ARPABET_IPA[base])
            continue
        if digit in _MARKS:
            onset = len(consonants) if first else _onset(consonants)
            out.insert(len(out) - onset, _MARKS[digit])
        out.append(_REDUCED.get(phoneme, ARPABET_IPA[base]))
        consonants, first = [], False
    return tuple(out)

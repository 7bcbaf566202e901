"""Phone sets: ARPAbet (the CMU dictionary's, with stress digits) written
as IPA.

Each ARPAbet phoneme becomes one IPA segment (`ARPABET_IPA`); unstressed
AH0 and ER0 become the reduced vowels ə and ɚ. Stress digits become IPA's
marks, placed as IPA places them: before the stressed syllable, whose onset
is the longest run of consonants before its vowel that can begin an English
syllable (`h ə ˈl oʊ` for HH AH0 L OW1). The mark is a segment of its own.
"""

from __future__ import annotations

from typing import Sequence

__all__ = ["ARPABET_IPA", "to_ipa"]

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
        base, digit = phoneme.rstrip("012"), phoneme[len(phoneme.rstrip(
            "012")):]
        if base not in ARPABET_IPA or len(digit) > 1 or (
                digit and base not in _VOWELS):
            raise ValueError(f"{phoneme!r} is not an ARPAbet phoneme")
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

"""The grapheme unit of a model: how words are written before decoding.

A model is trained on words in one Unicode normal form and decodes best
when its input is written the same way. Training picks the form from the
data (decomposed, NFD, when that makes the alphabet much smaller: Hangul
syllables become jamo, accented letters a base letter and a mark) and
records it in the model's input symbol table as a marker symbol, which no
single character can ever match, so decoding itself is unaffected:

    "<tamsu:nfd>"   graphemes are NFD-decomposed
    "<tamsu:nfc>"   graphemes are NFC-composed
    neither         words are decoded as given (models from elsewhere)

`grapheme_form(model)` reads the marker; `normalise_word(word, form)` writes
a word the way the model wants it.

A model trained right to left (`train(..., reverse=True)`, a partner in an
ensemble) also holds "<tamsu:reversed>": it reads the graphemes of a word
last to first and gives the phonemes last to first (`is_reversed(model)`,
`reverse_word(word, delim)`).
"""

from __future__ import annotations

import collections
import os
import unicodedata
from typing import TYPE_CHECKING, Iterable

if TYPE_CHECKING:
    from tamsu._batch import BatchDecoder
    from tamsu._tamsu import Model

__all__ = ["FORMS", "FORM_MARKERS", "REVERSED_MARKER", "choose_form",
           "grapheme_form", "is_reversed", "marker_of", "normalise_word",
           "reverse_word"]

FORMS = ("nfc", "nfd")
FORM_MARKERS = {"nfc": "<tamsu:nfc>", "nfd": "<tamsu:nfd>"}
REVERSED_MARKER = "<tamsu:reversed>"

# NFD is chosen when it leaves at most this share of the composed
# alphabet's symbols; measured on the SIGMORPHON 2020 languages (see
# bench/multilingual.py), where decomposition pays for Korean and
# Vietnamese and is neutral or worse where it only splits off a few marks.
NFD_ALPHABET_SHARE = 0.5


def normalise_word(word: str, form: str | None) -> str:
    """`word` in the normal form `form` ("nfc", "nfd"), or as is for None."""
    if form is None:
        return word
    if form not in FORMS:
        raise ValueError(f"unknown grapheme form {form!r}")
    return unicodedata.normalize(form.upper(), word)


def marker_of(form: str) -> str:
    """The input symbol that records `form` in a model."""
    if form not in FORMS:
        raise ValueError(f"unknown grapheme form {form!r}")
    return FORM_MARKERS[form]


def _is_hangul_syllable(character: str) -> bool:
    return "\uac00" <= character <= "\ud7a3"


def _alphabet(words: Iterable[str], form: str) -> collections.Counter[str]:
    return collections.Counter(
        c for w in words for c in unicodedata.normalize(form.upper(), w))


def choose_form(words: Iterable[str]) -> str:
    """The grapheme form that suits `words`: "nfd" or "nfc".

    Decomposition pays when it turns a large alphabet of rare composed
    symbols into a small one of frequent parts (Hangul syllables into
    jamo, Vietnamese vowels with tone marks into letters and marks); when it
    only splits off a few accents, the composed letters stay.
    """
    words = list(words)
    composed = _alphabet(words, "nfc")
    # Hangul syllables are always better read as their jamo: a syllable
    # block is itself a composition of two or three letters.
    hangul = sum(n for c, n in composed.items() if _is_hangul_syllable(c))
    if hangul * 2 > sum(composed.values()):
        return "nfd"
    decomposed = _alphabet(words, "nfd")
    if len(decomposed) <= NFD_ALPHABET_SHARE * len(composed):
        return "nfd"
    return "nfc"


def grapheme_form(model: Model | BatchDecoder | str | os.PathLike[str]
                  ) -> str | None:
    """The form a model's graphemes are written in, or None if unrecorded.

    `model` is a tamsu.Model or the path of a model file.
    """
    if isinstance(model, (str, os.PathLike)):
        from tamsu._tamsu import Model
        model = Model(os.fspath(model))
    for form, marker in FORM_MARKERS.items():
        if model.find_isym(marker) is not None:
            return form
    return None


def is_reversed(model: Model | BatchDecoder) -> bool:
    """Whether `model` (a tamsu.Model) reads words right to left."""
    return model.find_isym(REVERSED_MARKER) is not None


def reverse_word(word: str, delim: str = "") -> str:
    """`word` with its graphemes (as `delim` cuts them) in reverse order."""
    if not delim:
        return word[::-1]
    return delim.join(reversed(word.split(delim)))

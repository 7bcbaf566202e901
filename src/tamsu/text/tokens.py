"""Running text cut into tokens with their offsets, by ICU's word breaks.

ICU's break iterator (Unicode's word-boundary rules, with dictionaries for
scripts written without spaces: Chinese, Japanese, Thai, Lao, Khmer,
Burmese) finds the words, so that apostrophes (``O'Neill's``), numbers
with separators (``3,500.25``), e-mail addresses and words of every script
split as a careful reader splits them. Every character of a text ends up
in exactly one :class:`Span` or in the white space between spans; a span's
``start`` and ``end`` are offsets in Python characters (code points), not
in ICU's UTF-16 units.

ICU (Debian's ``python3-icu``) is imported when the first text is cut, never
by ``import tamsu``.
"""

from __future__ import annotations

import functools
import unicodedata
from typing import Any, Literal, NamedTuple

__all__ = ["Kind", "Span", "icu", "locale_language", "spans"]

Kind = Literal["word", "number", "abbreviation", "initialism", "run",
               "punctuation", "symbol"]
"""What a token is: a word (letters, read as written unless it is an
initialism), a number (digits, with what reads with them: a currency, a
percent sign, a time, a range, a sign, an ordinal ending), an
abbreviation (``Dr.``), an initialism (spelled letter by letter), a run of
a script written without spaces (a word ICU's dictionary cut out of
Japanese, Chinese, Thai ...), punctuation (no phonemes: a phrase break),
or a symbol (read as a word where the language has one, like ``&``)."""

# ICU's rule status values of a word break (UWordBreak in ubrk.h): below
# 100 no word (spaces, punctuation, symbols), then numbers, letters, kana,
# ideographs.
_NUMBER, _LETTER, _KANA = 100, 200, 300
# Scripts written without spaces between words whose words ICU reports
# as letters: Thai, Lao, Burmese, Khmer.
_NO_SPACE_BLOCKS = ((0x0E00, 0x0EFF), (0x1000, 0x109F), (0x1780, 0x17FF))


class Span(NamedTuple):
    """A token before it is pronounced."""
    start: int
    end: int
    kind: Kind
    words: tuple[str, ...] | None = None
    """The words it is read as; None when it is read as written."""


@functools.cache
def icu() -> Any:
    """The PyICU module; ImportError with a one-line hint without it."""
    try:
        import icu as module  # type: ignore[import]  # no stubs in Debian
    except ImportError:
        raise ImportError("reading running text needs ICU: install "
                          "python3-icu (Debian) or PyICU") from None
    return module


@functools.cache
def locale_language(language: str) -> str:
    """ICU's code of `language` (ISO 639-1 where there is one: "eng" and
    "en" give "en"); the code as given when ICU knows no such language."""
    return str(icu().Locale(language).getLanguage()) or language


def _breaker(language: str) -> Any:
    # A break iterator holds the text it walks: one per call, so that
    # threads never share one.
    module = icu()
    return module.BreakIterator.createWordInstance(module.Locale(language))


def spans(text: str, language: str) -> list[Span]:
    """The tokens of `text` as ICU's word breaks for `language` cut it,
    white space left out. Punctuation and symbols are one token per
    character, except that a character repeated ("...", "!!") is one."""
    if not text:
        return []
    breaker = _breaker(language)
    breaker.setText(text)
    to_python = _code_points(text)
    out: list[Span] = []
    start = 0
    for end in breaker:
        status = breaker.getRuleStatus()
        if to_python is not None:
            a, b = to_python[start], to_python[end]
        else:
            a, b = start, end
        start = end
        if status >= _KANA:
            out.append(Span(a, b, "run"))
        elif status >= _LETTER:
            out.append(Span(a, b, "run" if _no_space_script(text[a])
                            else "word"))
        elif status >= _NUMBER:
            out.append(Span(a, b, "number"))
        else:
            _others(text, a, b, out)
    return out


def _code_points(text: str) -> list[int] | None:
    """The Python offset of each UTF-16 offset of `text`, or None when they
    are the same (no character beyond the Basic Multilingual Plane)."""
    if text.isascii() or max(text) <= "\uffff":
        return None
    offsets = []
    for index, character in enumerate(text):
        offsets.append(index)
        if character > "\uffff":
            offsets.append(index)  # the low half of the pair: never a break
    offsets.append(len(text))
    return offsets


def _no_space_script(character: str) -> bool:
    point = ord(character)
    return any(low <= point <= high for low, high in _NO_SPACE_BLOCKS)


def _others(text: str, start: int, end: int, out: list[Span]) -> None:
    """The tokens of a piece that holds no word: white space is left out,
    each other character is a token (a repeated one, one token)."""
    i = start
    while i < end:
        character = text[i]
        if character.isspace():
            i += 1
            continue
        j = i + 1
        while j < end and text[j] == character:
            j += 1
        last = out[-1] if out else None
        # ICU breaks "..." thrice. Such a span only ever holds one
        # character, repeated: its first tells.
        if last is not None and last.end == i and last.kind in (
                "punctuation", "symbol") and text[last.start] == character:
            out[-1] = last._replace(end=j)
            i = j
            continue
        kind: Kind = ("punctuation" if unicodedata.category(
            character).startswith("P") else "symbol")
        out.append(Span(i, j, kind))
        i = j

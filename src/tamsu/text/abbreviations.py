"""English abbreviations and initialisms read as words.

:data:`ABBREVIATIONS` is a small table of common abbreviations written
with a full stop (``Dr.``, ``etc.``, ``e.g.``). Two are ambiguous and read
by the word after them: ``Dr.`` and ``St.`` before a capitalised word are
a title ("Dr. Smith": doctor, "St. Louis": saint), otherwise a street
("Elm St.": street, "Mulholland Dr.": drive); ``No.`` is "number" only
before a number. Matching ignores case only in the abbreviation's first
letter ("Etc." and "etc.", not "ETC.").

An initialism is spelled letter by letter: letters joined by full stops
(``U.S.A.``, ``a.m.``), and an all-capital word the dictionary lacks that
cannot be said as a word. "Cannot be said" is decided from its letters: it
has no vowel letter (A, E, I, O, U, Y: ``BBC``, ``HTML``), or it has
three letters or fewer (``UN``, ``EU``, ``IRA``), or it starts with two
consonants no English word starts with (``MRI``, ``DVD``, ``NPR``, but
not ``STEM``). Other capital words (``NASA``, ``UNESCO`` when the
dictionary lacks them) are read as words by the model. Each letter is read
as the dictionary's letter name (``B.`` B IY1).
"""

from __future__ import annotations

from typing import Callable, Final, Sequence

from tamsu.text.tokens import Span

__all__ = ["ABBREVIATIONS", "read_abbreviations"]

ABBREVIATIONS: Final[dict[str, tuple[str, ...]]] = {
    "mr.": ("mister",), "mrs.": ("missus",), "ms.": ("Ms",),
    "dr.": ("doctor",), "st.": ("saint",), "prof.": ("professor",),
    "jr.": ("junior",), "sr.": ("senior",), "etc.": ("et", "cetera"),
    "e.g.": ("for", "example"), "i.e.": ("that", "is"), "vs.": ("versus",),
    "no.": ("number",), "mt.": ("mount",), "ave.": ("avenue",),
    "inc.": ("incorporated",), "ltd.": ("limited",), "co.": ("company",),
    "corp.": ("corporation",), "approx.": ("approximately",),
    "capt.": ("captain",), "sgt.": ("sergeant",), "lt.": ("lieutenant",),
    "fig.": ("figure",), "vol.": ("volume",), "dept.": ("department",),
}
"""Abbreviation (lower-case, with its full stop) -> the words it stands
for; ``dr.`` and ``st.`` as titles (see the module's notes)."""
# What the ambiguous ones are when no capitalised word follows.
_STREETS: Final = {"dr.": ("drive",), "st.": ("street",)}
_VOWELS: Final = frozenset("AEIOUY")
# The longest initialism spelled, in letters: longer runs of capitals or
# dotted letters are no initialism (and are read, or skipped, as a word).
_LONGEST: Final = 12
# The two-consonant beginnings of English words.
_ONSETS: Final = frozenset(
    "BL BR CH CL CR DR DW FL FR GL GN GR KN KR PF PH PL PR PS SC SH SK SL "
    "SM SN SP SQ ST SW TH TR TW WH WR".split())


def read_abbreviations(text: str, spans: list[Span],
                       known: Callable[[str], bool]) -> list[Span]:
    """`spans` with English abbreviations (taking their full stop) and
    initialisms read as words; `known(word)` says whether the dictionary
    has a word."""
    out: list[Span] = []
    i = 0
    while i < len(spans):
        span = spans[i]
        written = text[span.start:span.end]
        if span.kind != "word" or span.words is not None:
            out.append(span)
            i += 1
            continue
        stop = i + 1 < len(spans) and spans[i + 1].end == span.end + 1 \
            and spans[i + 1].start == span.end and text[span.end] == "."
        if stop:
            words = _abbreviation(text, spans, i, written + ".")
            if words is not None:
                out.append(Span(span.start, span.end + 1, "abbreviation",
                                words))
                i += 2
                continue
        if _dotted(written):
            end = span.end + 1 if stop else span.end
            out.append(Span(span.start, end, "initialism", _letters(
                written.replace(".", ""))))
            i += 2 if stop else 1
            continue
        if _unsayable(written) and not known(written):
            out.append(span._replace(kind="initialism",
                                     words=_letters(written)))
        else:
            out.append(span)
        i += 1
    return out


def _abbreviation(text: str, spans: Sequence[Span], i: int,
                  written: str) -> tuple[str, ...] | None:
    key = written[0].lower() + written[1:]
    words = ABBREVIATIONS.get(key)
    if words is None:
        return None
    after = spans[i + 2] if i + 2 < len(spans) else None
    if key == "no.":
        return words if after is not None and after.kind == "number" \
            else None
    if key in _STREETS and not (after is not None and after.kind == "word"
                                and text[after.start].isupper()):
        return _STREETS[key]
    return words


def _dotted(written: str) -> bool:
    """Letters joined by full stops: "U.S.A", "e.g" (the last stop is
    ICU's next token)."""
    if len(written) > 2 * _LONGEST:
        return False
    pieces = written.split(".")
    return len(pieces) > 1 and all(len(p) == 1 and p.isalpha()
                                   for p in pieces)


def _unsayable(written: str) -> bool:
    if not (2 <= len(written) <= _LONGEST and written.isupper()
            and written.isalpha() and written.isascii()):
        return False
    return (not any(c in _VOWELS for c in written) or len(written) <= 3
            or (written[0] not in _VOWELS and written[1] not in _VOWELS
                and written[:2] not in _ONSETS))


def _letters(written: str) -> tuple[str, ...]:
    # The dictionary's letter names are "a." ... "z.".
    return tuple(c.upper() + "." for c in written)

"""Reading pronunciation dictionaries.

A lexicon file has one pronunciation per line: the word, a tab (or any
whitespace), then the phonemes separated by whitespace. A word may have
several lines. Blank lines and lines starting with ";;;" or "#" are
comments. Every other line that cannot be used is reported with its file
and line number.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Iterable, Sequence

__all__ = [
    "Lexicon",
    "LexiconEntry",
    "LexiconError",
    "MalformedLine",
    "graphemes_of",
    "parse_entries",
    "read_lexicon",
]

# Texts the model's symbol tables reserve.
SEPARATOR = "|"
RESERVED_PHONEMES = frozenset({"<eps>", "_"})

# Default share of malformed lines above which a file is rejected instead
# of trained on: a file in the wrong format must not turn into a model of
# its few lines that happen to parse.
DEFAULT_MAX_MALFORMED = 0.05


class LexiconError(ValueError):
    """A lexicon that cannot be used as a whole."""


@dataclass(frozen=True)
class LexiconEntry:
    word: str
    phonemes: tuple[str, ...]
    line: int = 0  # 1-based line in its file; 0 when not read from a file


@dataclass(frozen=True)
class MalformedLine:
    path: str
    line: int
    reason: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.reason}"


@dataclass
class Lexicon:
    entries: list[LexiconEntry]
    malformed: list[MalformedLine] = field(default_factory=list)
    path: str = ""

    def words(self) -> list[str]:
        """Distinct words in order of first appearance."""
        return list(dict.fromkeys(entry.word for entry in self.entries))

    def references(self) -> dict[str, list[tuple[str, ...]]]:
        """Word -> its distinct pronunciations, in file order."""
        references: dict[str, list[tuple[str, ...]]] = {}
        for entry in self.entries:
            variants = references.setdefault(entry.word, [])
            if entry.phonemes not in variants:
                variants.append(entry.phonemes)
        return references


def graphemes_of(word: str, delim: str = "") -> list[str]:
    """The graphemes of `word` as a model with this `delim` reads them.

    Without `delim` every character is a grapheme; otherwise the word is
    cut at each character equal to `delim` (so a delimiter of several
    characters never cuts) and empty pieces are kept.
    """
    if not delim:
        return list(word)
    pieces = [""]
    for character in word:
        if character == delim:
            pieces.append("")
        else:
            pieces[-1] += character
    return pieces


def _problem(word: str, phonemes: Sequence[str], delim: str) -> str | None:
    """Why an entry cannot be trained on, or None."""
    if not word:
        return "no word"
    if not phonemes:
        return f"no phonemes for {word!r}"
    graphemes = graphemes_of(word, delim)
    if any(not g for g in graphemes):
        return f"empty grapheme in {word!r} (delimiter {delim!r})"
    if any(SEPARATOR in g or g == "<eps>" for g in graphemes):
        return f"the word {word!r} contains the reserved symbol {SEPARATOR!r}"
    for phoneme in phonemes:
        if SEPARATOR in phoneme or phoneme in RESERVED_PHONEMES:
            return f"reserved phoneme {phoneme!r}"
    return None


def _split_line(text: str) -> tuple[str, list[str]]:
    if "\t" in text:
        word, rest = text.split("\t", 1)
        return word.strip(), rest.split()
    fields = text.split()
    return (fields[0], fields[1:]) if fields else ("", [])


def read_lexicon(path: str | os.PathLike[str], *, delim: str = "",
                 max_malformed: float = DEFAULT_MAX_MALFORMED) -> Lexicon:
    """Reads a lexicon file.

    Malformed lines (undecodable UTF-8, a word without phonemes, reserved
    symbols) are skipped and listed in the result. Raises LexiconError
    when no entry is usable or when malformed lines exceed `max_malformed`
    (a share of the non-comment lines), and OSError when the file cannot be
    read.
    """
    name = os.fspath(path)
    entries: list[LexiconEntry] = []
    malformed: list[MalformedLine] = []
    with open(name, "rb") as stream:
        for number, raw in enumerate(stream, start=1):
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                malformed.append(MalformedLine(
                    name, number, f"not UTF-8 text ({error.reason} at byte "
                    f"{error.start})"))
                continue
            text = text.rstrip("\r\n")
            if number == 1:
                text = text.removeprefix("\ufeff")
            stripped = text.strip()
            if not stripped or stripped.startswith((";;;", "#")):
                continue
            word, phonemes = _split_line(text)
            reason = _problem(word, phonemes, delim)
            if reason is not None:
                malformed.append(MalformedLine(name, number, reason))
                continue
            entries.append(LexiconEntry(word, tuple(phonemes), number))
    _check_usable(name, entries, malformed, max_malformed)
    return Lexicon(entries, malformed, name)


def _check_usable(name: str, entries: list[LexiconEntry],
                  malformed: list[MalformedLine], max_malformed: float) -> None:
    if not entries:
        detail = f"; first problem: {malformed[0]}" if malformed else ""
        raise LexiconError(f"{name}: no usable pronunciations{detail}")
    share = len(malformed) / (len(entries) + len(malformed))
    if share > max_malformed:
        shown = "\n  ".join(str(m) for m in malformed[:5])
        raise LexiconError(
            f"{name}: {len(malformed)} of {len(entries) + len(malformed)} "
            f"lines are malformed ({share:.1%}, more than the "
            f"{max_malformed:.1%} allowed), for example:\n  {shown}")


def parse_entries(pairs: Iterable[tuple[str, str | Sequence[str]]], *,
                  delim: str = "") -> Lexicon:
    """A lexicon from (word, phonemes) pairs, phonemes a str or sequence.

    Raises LexiconError naming the first unusable pair: data given in code
    is not filtered silently.
    """
    entries = []
    for index, (word, phonemes) in enumerate(pairs, start=1):
        if not isinstance(word, str):
            raise LexiconError(f"entry {index}: the word must be a str")
        if isinstance(phonemes, str):
            phonemes = phonemes.split()
        phonemes = tuple(phonemes)
        if not all(isinstance(p, str) for p in phonemes):
            raise LexiconError(f"entry {index}: phonemes must be str")
        reason = _problem(word, phonemes, delim)
        if reason is not None:
            raise LexiconError(f"entry {index}: {reason}")
        entries.append(LexiconEntry(word, phonemes))
    if not entries:
        raise LexiconError("the lexicon is empty")
    return Lexicon(entries)

"""Pronunciation dictionaries: words whose pronunciations are known.

A dictionary file is a lexicon: one pronunciation per line, the word, a tab
(or spaces), then the phonemes separated by spaces; a word may have several
lines (its variants, in order). Lines follow the lexicon's syntax
(:func:`tamsu.lexicon.split_entry`): blank lines and lines starting with
``#`` or ``;;;`` are comments, as is a trailing ``# ...``, and CMU-style
variant markers such as ``word(2)`` are folded into the word. The file is
read as tamsu.textfile reads text: UTF-8, UTF-16 or UTF-32, gzip-compressed
or not.
"""

from __future__ import annotations

import gzip
import os
import re
import zlib
from importlib import resources
from itertools import repeat
from typing import Iterable, Mapping, Sequence, Union

from tamsu.lexicon import is_comment, split_entry
from tamsu.phones import Phonemes
from tamsu.textfile import read_lines

__all__ = ["PronunciationDictionary", "default_dictionary_path",
           "write_dictionary"]

DEFAULT_DICTIONARY = "en_us.dict.gz"

# A variant group of the shipped file: a word's lines are adjacent.
_VARIANT_GROUP = re.compile(r"^([^\t\n]+)\t[^\n]*\n(?:\1\t[^\n]*\n)+", re.M)

# One variant as "P1 P2 ...", or the parsed variants of a word.
_Stored = Union[str, tuple[Phonemes, ...]]


def default_dictionary_path() -> str:
    """The CMU Pronouncing Dictionary shipped with the US English model."""
    return os.fspath(str(resources.files("tamsu").joinpath(
        "models", DEFAULT_DICTIONARY)))


def write_dictionary(entries: Mapping[str, Sequence[str | Sequence[str]]],
                     path: str | os.PathLike[str]) -> int:
    """Writes `entries` (word -> its pronunciations, each a space-separated
    str or a sequence of phonemes) to `path` in the shipped dictionary's
    format, which :meth:`PronunciationDictionary.read_shipped` reads:
    gzip-compressed "word<TAB>phonemes" lines sorted by word, a word's
    variants in the order given. The gzip header holds no name and no
    time, so the same entries always give the same bytes (catalogue
    entries record their sha256). Returns the number of lines."""
    lines = []
    for word in sorted(entries):
        for variant in entries[word]:
            phonemes = variant if isinstance(variant, str) else " ".join(
                variant)
            lines.append(f"{word}\t{phonemes}\n")
    with open(path, "wb") as raw, gzip.GzipFile(
            filename="", mode="wb", fileobj=raw, compresslevel=9,
            mtime=0) as out:
        out.write("".join(lines).encode("utf-8"))
    return len(lines)


class PronunciationDictionary:
    """Words and their pronunciations, looked up exactly as written.

    Read one with :meth:`read`, or build one from a mapping of words to
    pronunciations (each a space-separated str or a sequence of phonemes).
    Instances are immutable, so one may be shared by threads.
    """

    def __init__(self, entries: Mapping[str, Iterable[str | Sequence[str]]]
                 | None = None) -> None:
        self._entries: dict[str, _Stored] = {}
        for word, variants in (entries or {}).items():
            parsed = tuple(dict.fromkeys(
                tuple(v.split()) if isinstance(v, str) else tuple(v)
                for v in variants))
            parsed = tuple(v for v in parsed if v)
            if parsed:
                self._entries[word] = parsed

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> PronunciationDictionary:
        """Reads a dictionary file (see the module notes).

        Raises OSError when it cannot be read and ValueError, naming the
        file and line, for a file that is not text, a line that is not
        valid text (or holds a NUL, or is too long) or has a word but no
        phonemes.
        """
        dictionary = cls()
        dictionary._entries = _parse(os.fspath(path))
        return dictionary

    @classmethod
    def read_shipped(cls, path: str | None = None) -> PronunciationDictionary:
        """Reads the shipped dictionary (or a file of its shape at `path`):
        a gzip file of "word<TAB>phonemes" lines, variants adjacent.

        Building the table in C (dict over str.split) makes loading it
        several times faster than :meth:`read`.
        """
        path = default_dictionary_path() if path is None else path
        with open(path, "rb") as stream:
            text = zlib.decompress(stream.read(), 31).decode("utf-8")
        lines = text.split("\n")
        if lines and not lines[-1]:
            lines.pop()
        entries: dict[str, _Stored] = dict(
            map(str.split, lines, repeat("\t"), repeat(1)))  # type: ignore
        if len(entries) != len(lines):
            for group in _VARIANT_GROUP.finditer(text):
                entries[group.group(1)] = tuple(dict.fromkeys(
                    tuple(line.split("\t", 1)[1].split())
                    for line in group.group(0).splitlines()))
        dictionary = cls()
        dictionary._entries = entries
        return dictionary

    def lookup(self, word: str) -> tuple[Phonemes, ...]:
        """The pronunciations of `word` in dictionary order; () if absent."""
        stored = self._entries.get(word)
        if stored is None:
            return ()
        if isinstance(stored, str):
            return (tuple(stored.split()),)
        return stored

    def __contains__(self, word: object) -> bool:
        """Whether `word` is in the dictionary, exactly as written."""
        return word in self._entries

    def __len__(self) -> int:
        """The number of words."""
        return len(self._entries)

    def __repr__(self) -> str:
        return f"<PronunciationDictionary of {len(self)} words>"


def _parse(name: str) -> dict[str, _Stored]:
    entries: dict[str, list[Phonemes]] = {}
    for number, text, problem in read_lines(name):
        if problem is not None:
            raise ValueError(f"{name}:{number}: {problem}")
        if is_comment(text):
            continue
        word, phonemes, _, _ = split_entry(text.strip())
        if not phonemes:
            raise ValueError(f"{name}:{number}: no phonemes for {word!r}")
        variants = entries.setdefault(word, [])
        if tuple(phonemes) not in variants:
            variants.append(tuple(phonemes))
    return {word: tuple(variants) for word, variants in entries.items()}

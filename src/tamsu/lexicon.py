"""Reading pronunciation dictionaries.

A lexicon file has one pronunciation per line: the word, a tab (or any
whitespace), then the phonemes separated by whitespace. A word may have
several lines. Blank lines and lines starting with ";;;" or "#" are
comments, as is the rest of a line from a phoneme field starting with "#";
CMU-style variant markers ("word(2)") are folded into the word. Every
other line that cannot be used is reported with its file and line number.
Dictionaries (tamsu.dictionary) read lines with the same syntax
(:func:`split_entry`). Files are read through tamsu.textfile (UTF-8,
UTF-16 or UTF-32, lines of at most a mebibyte).

With a tab after the word, the word may hold spaces, and each space is a
grapheme (multi-word entries such as Vietnamese "a còng", or "New York"):
one entry, one pronunciation across the words. Without a tab the word ends
at the first space, so "New York N UW Y AO R K" is the word "New". The
probabilistic layout, "word<TAB>number<TAB>...<TAB>phonemes" with one or
more numeric columns, is recognised and read as word and phonemes. Files in
a layout that would train into nonsense are refused with a hint:
comma-separated lines, and numeric columns not separated by tabs. So are
entries whose phoneme inventory is implausible for them (the phonemes
written without spaces, as in "hɛloʊ"; nearly every word holding spaces,
as swapped columns or a list of sentences give), unless the check is
switched off.
"""

from __future__ import annotations

import hashlib
import os
import random
import re
from dataclasses import dataclass, field
from typing import Iterable, NamedTuple, Sequence

from tamsu.normalise import SymbolSource, input_symbols
from tamsu.textfile import read_lines

__all__ = [
    "TRAINED_MARKER",
    "Lexicon",
    "LexiconEntry",
    "LexiconError",
    "MalformedLine",
    "graphemes_of",
    "parse_entries",
    "read_lexicon",
    "remove_stress",
    "split_entry",
    "split_words",
    "trained_words",
    "words_digest",
]

# Texts the model's symbol tables reserve.
SEPARATOR = "|"
RESERVED_PHONEMES = frozenset({"<eps>", "_"})

# Default share of malformed lines above which a file is rejected instead
# of trained on: a file in the wrong format must not turn into a model of
# its few lines that happen to parse.
DEFAULT_MAX_MALFORMED = 0.05
# Default share of entries that may fail to align before training refuses
# the lexicon (for the same reason).
DEFAULT_MAX_UNALIGNED = 0.05

# A probability, score or count column: a number with a decimal point or
# an exponent (bare digits may be tone or stress symbols).
_NUMBER = re.compile(r"[-+]?(\d+\.\d*|\.\d+|\d+(\.\d*)?[eE][-+]?\d+)")
# A stress-marked phoneme: ARPAbet-style letters and one digit (AH0, EY1),
# or an IPA symbol with a leading primary or secondary stress mark.
_STRESS_DIGIT = re.compile(r"([A-Za-z]+)[0-9]")
_STRESS_MARKS = "\u02c8\u02cc"
# Share of lines that must show a layout before the file is taken for it.
_LAYOUT_SHARE = 0.5
_VARIANT_MARKER = re.compile(r"\(\d+\)$")
# The inventory checks: a lexicon of at least this many entries is refused
# when more than _UNSPACED_SHARE of its entries are one long phoneme and
# there are more distinct phonemes than half the entries (phonemes written
# without spaces), or when _SPACED_SHARE of its words hold spaces.
_CHECKED_ENTRIES = 10
_UNSPACED_SHARE = 0.5
_SPACED_SHARE = 0.9
_NO_CHECK = ("tamsu train --no-inventory-check (read_lexicon(..., "
             "check_inventory=False)) trains on it anyway")


class LexiconError(ValueError):
    """A lexicon that cannot be used as a whole."""


def _count(number: int, one: str, many: str | None = None) -> str:
    """The number with its noun (and verb) in agreement: 1 word, 2 words."""
    return f"{number} {one if number == 1 else many or one + 's'}"


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
    # "plain" or "probabilistic" (numeric columns between word and phonemes,
    # which are ignored).
    layout: str = "plain"
    stress_marked: int = 0  # entries whose phonemes carry stress marks
    stress_stripped: bool = False
    folded: int = 0  # entries whose word lost a variant marker ("(2)")
    commented: int = 0  # entries whose line ended in a "# ..." comment

    def summary(self) -> str:
        """What was read, in one line."""
        words = len(set(entry.word for entry in self.entries))
        spaced = sum(1 for entry in self.entries if " " in entry.word)
        graphemes = len(set(c for entry in self.entries for c in entry.word))
        phonemes = len(set(p for entry in self.entries
                           for p in entry.phonemes))
        parts = [f"read {self.path or 'the lexicon'}: "
                 f"{_count(len(self.entries), 'entry', 'entries')} of "
                 f"{_count(words, 'word')}, "
                 f"{_count(graphemes, 'character')}, "
                 f"{_count(phonemes, 'phoneme')}"]
        if self.layout == "probabilistic":
            parts.append("numeric columns ignored (word<TAB>numbers<TAB>"
                         "phonemes)")
        if self.malformed:
            parts.append(f"{_count(len(self.malformed), 'malformed line')}"
                         " skipped")
        if spaced:
            parts.append(_count(spaced, "word holds", "words hold")
                         + " spaces, read as graphemes")
        if self.folded:
            parts.append(_count(self.folded, "variant marker")
                         + " such as (2) folded into the word")
        if self.commented:
            parts.append(_count(self.commented, "trailing # comment")
                         + " dropped")
        if self.stress_stripped:
            parts.append("stress marks stripped")
        elif self.stress_marked:
            parts.append(_count(self.stress_marked, "entry carries",
                                "entries carry")
                         + " stress marks (--strip-stress removes them)")
        return "; ".join(parts)

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


def is_comment(text: str) -> bool:
    """Whether a lexicon or dictionary line is blank or a comment."""
    stripped = text.strip()
    return not stripped or stripped.startswith((";;;", "#"))


class Fields(NamedTuple):
    word: str
    phonemes: list[str]
    folded: bool = False  # a variant marker such as "(2)" left the word
    commented: bool = False  # a trailing "# ..." comment was dropped


def split_entry(text: str) -> Fields:
    """The word and phonemes of a lexicon or dictionary line.

    The word ends at the first tab, or without one at the first space;
    the phonemes end before a field starting with "#" (a comment). A
    CMU-style variant marker ("word(2)") is folded into the word.
    """
    if "\t" in text:
        word, rest = text.split("\t", 1)
        return _tidy(word.strip(), rest.split())
    fields = text.split()
    return _tidy(fields[0], fields[1:]) if fields else Fields("", [])


def _tidy(word: str, phonemes: list[str]) -> Fields:
    commented = False
    for index, phoneme in enumerate(phonemes):
        if phoneme.startswith("#"):
            phonemes, commented = phonemes[:index], True
            break
    folded = _VARIANT_MARKER.sub("", word)
    return Fields(folded or word, phonemes, bool(folded) and folded != word,
                  commented)


def _is_number(text: str) -> bool:
    return _NUMBER.fullmatch(text) is not None


def _split_probabilistic(text: str) -> Fields | None:
    """Word and phonemes of "word<TAB>number...<TAB>phonemes", or None."""
    fields = text.split("\t")
    if len(fields) < 3 or not all(_is_number(f.strip())
                                  for f in fields[1:-1]):
        return None
    return _tidy(fields[0].strip(), fields[-1].split())


def _detect_layout(name: str, lines: list[tuple[int, str]]) -> str:
    """"plain" or "probabilistic"; LexiconError for a layout that would
    train into nonsense."""
    if not lines:
        return "plain"
    comma = numeric = probabilistic = 0
    for _, text in lines:
        word, phonemes, _, _ = split_entry(text)
        if "," in word and "\t" not in text:
            comma += 1
        if _split_probabilistic(text) is not None:
            probabilistic += 1
        elif phonemes and _is_number(phonemes[0]):
            numeric += 1
    enough = _LAYOUT_SHARE * len(lines)
    example = lines[0][1] if len(lines[0][1]) <= 60 else lines[0][1][:57] + "..."
    if comma > enough:
        raise LexiconError(
            f"{name}: the lines look comma-separated ({example!r}); tamsu "
            f"reads the word, a tab or spaces, then the phonemes separated "
            f"by spaces: replace the comma after each word with a tab")
    if probabilistic > enough:
        return "probabilistic"
    if numeric > enough:
        raise LexiconError(
            f"{name}: the phonemes start with a number on most lines "
            f"({example!r}), a probability or score column; put a tab "
            f"between the word, each number and the phonemes to read it as "
            f"a probabilistic lexicon, or remove the numbers")
    return "plain"


def remove_stress(phonemes: Sequence[str]) -> tuple[str, ...]:
    """The phonemes without stress: AH0 -> AH, ˈa -> a; lone marks go."""
    out = []
    for phoneme in phonemes:
        match = _STRESS_DIGIT.fullmatch(phoneme)
        if match:
            phoneme = match.group(1)
        phoneme = phoneme.lstrip(_STRESS_MARKS)
        if phoneme:
            out.append(phoneme)
    return tuple(out)


def _has_stress(phonemes: Sequence[str]) -> bool:
    return any(_STRESS_DIGIT.fullmatch(p) or p[:1] in _STRESS_MARKS
               for p in phonemes)


def read_lexicon(path: str | os.PathLike[str], *, delim: str = "",
                 max_malformed: float = DEFAULT_MAX_MALFORMED,
                 strip_stress: bool = False,
                 check_inventory: bool = True) -> Lexicon:
    """Reads a lexicon file.

    Malformed lines (text that is not valid, a NUL character, a line too
    long, a word without phonemes, reserved symbols) are skipped and listed
    in the result. The probabilistic layout is read as word and phonemes.
    `strip_stress` removes stress digits and marks from the phonemes.
    Raises LexiconError when no entry is usable, when malformed lines
    exceed `max_malformed` (a share of the non-comment lines), for
    comma-separated lines or untabbed numeric columns and, unless
    `check_inventory` is False, for an implausible phoneme inventory;
    tamsu.textfile.TextFileError (a ValueError) for a file that is not
    text, and OSError when the file cannot be read.
    """
    name = os.fspath(path)
    entries: list[LexiconEntry] = []
    malformed: list[MalformedLine] = []
    lines: list[tuple[int, str]] = []
    for number, text, problem in read_lines(name):
        if problem is not None:
            malformed.append(MalformedLine(name, number, problem))
        elif not is_comment(text):
            lines.append((number, text))
    layout = _detect_layout(name, lines)
    stress_marked = folded = commented = 0
    for number, text in lines:
        if layout == "probabilistic":
            split = _split_probabilistic(text)
            if split is None:
                malformed.append(MalformedLine(
                    name, number, "not word<TAB>numbers<TAB>phonemes like "
                    "the other lines"))
                continue
        else:
            split = split_entry(text)
        word, phonemes = split.word, split.phonemes
        folded += split.folded
        commented += split.commented
        if _has_stress(phonemes):
            stress_marked += 1
            if strip_stress:
                phonemes = list(remove_stress(phonemes))
        reason = _problem(word, phonemes, delim)
        if reason is not None:
            malformed.append(MalformedLine(name, number, reason))
            continue
        entries.append(LexiconEntry(word, tuple(phonemes), number))
    malformed.sort(key=lambda m: m.line)
    _check_usable(name, entries, malformed, max_malformed)
    if check_inventory:
        _check_inventory(name, entries)
    return Lexicon(entries, malformed, name, layout, stress_marked,
                   strip_stress, folded, commented)


def _check_inventory(name: str, entries: list[LexiconEntry]) -> None:
    """Refuses entries whose phonemes cannot be what they seem."""
    if len(entries) < _CHECKED_ENTRIES:
        return
    unspaced = [e for e in entries if len(e.phonemes) == 1
                and len(e.phonemes[0]) >= 3 and len(e.word) >= 3]
    spaced = [e for e in entries if " " in e.word]
    inventory = len(set(p for e in entries for p in e.phonemes))
    if (len(unspaced) > _UNSPACED_SHARE * len(entries)
            and inventory > len(entries) / 2):
        example = unspaced[0]
        if len(spaced) > len(entries) / 2:
            hint = ("the columns look swapped: the word comes first, then "
                    "a tab, then the phonemes")
        else:
            hint = ("write the phonemes separated by spaces "
                    f"({' '.join(example.phonemes[0])})")
        raise LexiconError(
            f"{name}: {len(unspaced)} of {len(entries)} entries have one "
            f"phoneme as long as a word ({name}:{example.line}: "
            f"{example.word!r} {example.phonemes[0]!r}), {inventory} "
            f"distinct phonemes in all: {hint}; {_NO_CHECK}")
    if len(spaced) >= _SPACED_SHARE * len(entries):
        example = spaced[0]
        raise LexiconError(
            f"{name}: {len(spaced)} of {len(entries)} words hold spaces "
            f"({name}:{example.line}: {example.word!r}), each of which "
            f"would be a grapheme: is it a list of sentences, or are the "
            f"columns swapped (the word comes first)? {_NO_CHECK}")


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


def split_words(words: Iterable[str], share: float, seed: int) -> set[str]:
    """The words set aside from `words` (their distinct ones): a
    deterministic `share` of them chosen by `seed`, at least one when
    there are ten or more. Both trainers split a lexicon with it, so that
    an n-gram model and a neural model trained with one share and seed
    never saw the same dev words."""
    distinct = sorted(set(words))
    count = round(len(distinct) * share)
    if count == 0 and len(distinct) >= 10 and share > 0:
        count = 1
    return set(random.Random(seed).sample(distinct, count))


def words_digest(words: Iterable[str]) -> str:
    """A short fingerprint of a set of words (their distinct ones, as
    written): what a model records of the words it was trained on."""
    text = "\n".join(sorted(set(words)))
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


TRAINED_MARKER = "<tamsu:trained:{}>"
"""The input symbol that records the words a model was trained on (their
:func:`words_digest`), written when it is trained with a hold-out."""


def trained_words(model: SymbolSource) -> str | None:
    """The digest of the words `model` was trained on
    (:data:`TRAINED_MARKER`), or None when it records none."""
    start, end = TRAINED_MARKER.split("{}")
    for text in input_symbols(model):
        if text.startswith(start) and text.endswith(end):
            return text[len(start):-len(end)]
    return None

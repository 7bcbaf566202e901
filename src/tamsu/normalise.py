"""Turning the words people write into graphemes a model knows.

Every decision is derived from the model's own grapheme alphabet (its input
symbol table), so the same rules suit any language:

- Unicode normal form: the one the model records with its marker symbol
  ``<tamsu:nfc>`` or ``<tamsu:nfd>`` (see :mod:`tamsu.graphemes`); for a
  model without one, NFD when it knows decomposed letters (combining marks
  or conjoining Hangul jamo, and none of the precomposed letters they make),
  otherwise NFC.
- Case: lower-cased when the model has no upper-case graphemes, upper-cased
  when it has only upper-case ones; otherwise a letter the model lacks is
  tried in the other case.
- Punctuation at the edges of a word is stripped, except what the model
  has graphemes for next to the word ("b." and "tryin'" keep theirs for a
  model that spells "." and "'"; "(word)," loses its parentheses and
  comma). Typographic apostrophes and hyphens become ``'`` and ``-`` when
  the model knows those. Internal apostrophes and hyphens are kept when
  the model knows them; otherwise apostrophes are dropped, and the word is
  split at hyphens (and at spaces) into parts that are pronounced one
  after the other.
- A letter the model lacks whose accents the model lacks too is replaced by
  its base letter (``é`` becomes ``e`` for a model without ``é``).
- Characters the model still does not know are removed and returned, so
  that the caller can report them once per word.
"""

from __future__ import annotations

import string
import unicodedata
from dataclasses import dataclass, field
from typing import Iterable, Literal, Protocol

from tamsu.graphemes import FORM_MARKERS, normalise_word

__all__ = ["Alphabet", "Normalised", "normalise", "plain_spelling",
           "printable", "printable_characters", "undecodable_reason"]

# Apostrophe look-alikes that real text uses in place of U+0027.
_APOSTROPHES = frozenset("\u2019\u02bc\u2018\u0060\u00b4")
# Hyphen and dash look-alikes that join the parts of a compound.
_HYPHENS = frozenset("\u2010\u2011\u2012\u2013\u2014\u2212")
# Conjoining Hangul jamo: a model spelled in them wants NFD input.
_JAMO = range(0x1100, 0x1200)
# Characters that no rule below touches but for case: ASCII is in every
# normal form, and letters and digits are neither edge punctuation,
# apostrophes, hyphens nor spaces.
_PLAIN = frozenset(string.ascii_letters + string.digits)


class SymbolSource(Protocol):
    """What the alphabet needs from a model: its input symbol lookup."""

    def find_isym(self, key: int) -> str | None:
        """The text of an input label, or None past the last label."""
        ...


def input_symbols(model: SymbolSource) -> list[str]:
    """All input symbol texts of `model`, by label (labels are dense)."""
    texts: list[str] = []
    while True:
        text = model.find_isym(len(texts))
        if text is None:
            return texts
        texts.append(text)


def _is_marker(text: str) -> bool:
    # "<eps>", "<tamsu:nfd>" and the like name things; "<" alone is a letter.
    return len(text) > 2 and text.startswith("<") and text.endswith(">")


def _decomposed_letter(text: str) -> bool:
    return any(unicodedata.combining(c) or ord(c) in _JAMO for c in text)


def _precomposed_letter(text: str) -> bool:
    return unicodedata.normalize("NFD", text) != text


@dataclass(frozen=True)
class Alphabet:
    """The graphemes of a model and the normalisation they call for.

    Build it with :meth:`of_symbols` (or :meth:`of_model`); it is immutable
    and may be shared between threads and pickled to worker processes.
    """

    graphemes: frozenset[str]
    """Input symbols that are single graphemes (no clusters, no markers)."""
    form: Literal["nfc", "nfd"]
    """The Unicode normal form words are brought into."""
    case: Literal["lower", "upper", "mixed"]
    """How case is folded: to lower, to upper, or per letter ("mixed")."""
    delim: str = ""
    """The model's grapheme delimiter ("" for one grapheme per character)."""
    recorded: bool = False
    """Whether the model records `form` (a marker symbol): then words are
    brought into it even when normalisation is off."""
    plain: frozenset[str] = field(init=False, repr=False, compare=False)
    """The graphemes that are ASCII letters or digits (see
    :func:`plain_spelling`); derived from `graphemes`."""

    def __post_init__(self) -> None:
        object.__setattr__(self, "plain", self.graphemes & _PLAIN
                           if not self.delim else frozenset())

    @classmethod
    def of_symbols(cls, symbols: list[str], delim: str = "") -> Alphabet:
        """The alphabet of an input symbol table given by label order.

        Label 0 (epsilon), label 1 (the cluster separator), texts holding
        the separator (clusters) and ``<...>`` markers are not graphemes;
        neither is label 2 when it is the skip symbol ``_``.
        """
        separator = symbols[1] if len(symbols) > 1 else ""
        graphemes = set()
        for label, text in enumerate(symbols):
            if label < 2 or (label == 2 and text == "_") or _is_marker(text):
                continue
            if separator and separator in text:
                continue
            if text:
                graphemes.add(text)
        form: Literal["nfc", "nfd"]
        recorded = (FORM_MARKERS["nfd"] in symbols
                    or FORM_MARKERS["nfc"] in symbols)
        if FORM_MARKERS["nfd"] in symbols:
            form = "nfd"
        elif FORM_MARKERS["nfc"] in symbols:
            form = "nfc"
        elif (any(_decomposed_letter(g) for g in graphemes)
              and not any(_precomposed_letter(g) for g in graphemes)):
            form = "nfd"
        else:
            form = "nfc"
        has_upper = any(g != g.lower() for g in graphemes)
        has_lower = any(g != g.upper() for g in graphemes)
        case: Literal["lower", "upper", "mixed"]
        if has_upper and not has_lower:
            case = "upper"
        elif has_upper:
            case = "mixed"
        else:
            case = "lower"
        return cls(frozenset(graphemes), form, case, delim, recorded)

    @classmethod
    def of_model(cls, model: SymbolSource, delim: str = "") -> Alphabet:
        """The alphabet of a loaded model (a :class:`tamsu.Model`)."""
        return cls.of_symbols(input_symbols(model), delim)


@dataclass(frozen=True)
class Normalised:
    """A word made ready for decoding."""

    keys: tuple[str, ...]
    """Dictionary look-ups to try, in order: the word as given, then in the
    model's normal form and case, then with only the edge punctuation the
    model spells, then without any, then (for a word of one part) as
    spelled for the model, with and without that punctuation."""
    parts: tuple[str, ...]
    """What the model decodes, in order: one part, or the parts of a
    compound the model cannot spell whole; a part may be empty."""
    removed: str
    """The characters (or delimited pieces) the model does not know,
    removed before decoding, each once, in order of appearance."""


def undecodable_reason(word: str) -> str | None:
    """Why `word` cannot be text at all (a lone surrogate), or None.

    Lone surrogates are what Python makes of bytes that are not UTF-8 in
    command-line arguments and file names.
    """
    try:
        word.encode("utf-8")
    except UnicodeEncodeError:
        return "not valid UTF-8 text"
    return None


def printable(word: str) -> str:
    """`word` fit to print on a terminal: bytes that were not UTF-8 shown
    as ``\\xNN``, control and other invisible characters as escapes."""
    if undecodable_reason(word) is not None:
        try:
            raw = word.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:  # a surrogate no byte turns into
            raw = word.encode("utf-8", "backslashreplace")
        word = raw.decode("utf-8", "backslashreplace")
    if word.isprintable():
        return word
    return "".join(c if c.isprintable() else
                   c.encode("unicode_escape").decode("ascii") for c in word)


def printable_characters(characters: Iterable[str], limit: int = 20) -> str:
    """The first `limit` characters, :func:`printable` and space-separated,
    with " ..." when there are more (for reports of unknown characters)."""
    listed = list(characters)
    shown = " ".join(printable(c) for c in listed[:limit])
    return shown + (" ..." if len(listed) > limit else "")


def plain_spelling(word: str, alphabet: Alphabet, *, enabled: bool = True
                   ) -> str | None:
    """`word` as the model spells it when it is made of ASCII letters and
    digits the model knows once case is folded (most words of a lexicon),
    else None. For such a word :func:`normalise` gives this one part, no
    removed characters, and the keys `word` and this spelling; this is the
    same result without building it."""
    if not word.isascii():
        return None
    if enabled:
        case = alphabet.case
        if case == "lower":
            word = word.lower()
        elif case == "upper":
            word = word.upper()
    return word if word and alphabet.plain.issuperset(word) else None


def _strip_edges(text: str, alphabet: Alphabet) -> tuple[str, int, int]:
    """`text` without the punctuation, spaces and format characters at its
    edges, except the punctuation the model spells next to the word ("b.",
    "tryin'"); and how many such characters it keeps at its start and at
    its end. Nothing is left of text without a letter, digit or other
    character that is no edge junk."""
    if text and text[0].isalnum() and text[-1].isalnum():
        return text, 0, 0  # letters and digits are never junk: the usual word
    keep = alphabet.delim
    start, end = 0, len(text)
    while start < end and _is_edge_junk(text[start], keep):
        start += 1
    while end > start and _is_edge_junk(text[end - 1], keep):
        end -= 1
    if start == end:
        return "", 0, 0
    first, last = start, end
    while start > 0 and _spelled_punctuation(text[start - 1], alphabet):
        start -= 1
    while end < len(text) and _spelled_punctuation(text[end], alphabet):
        end += 1
    return text[start:end], first - start, end - last


def _spelled_punctuation(character: str, alphabet: Alphabet) -> bool:
    """Whether `character` is punctuation the model has a grapheme for
    (typographic apostrophes and hyphens as the plain ones they become)."""
    if unicodedata.category(character)[0] != "P":
        return False
    graphemes = alphabet.graphemes
    return (character in graphemes
            or (character in _APOSTROPHES and "'" in graphemes)
            or (character in _HYPHENS and "-" in graphemes))


def _is_edge_junk(character: str, keep: str) -> bool:
    if character == keep:
        return False
    # Punctuation, and format characters such as a stray byte-order mark
    # or soft hyphen.
    return (character.isspace()
            or unicodedata.category(character)[0] == "P"
            or unicodedata.category(character) == "Cf")


def _bare(text: str, lead: int, trail: int) -> str:
    """`text` without the `lead` and `trail` characters kept at its edges."""
    return text[lead:len(text) - trail]


class _Speller:
    """Maps characters onto an alphabet's graphemes (one normalise call)."""

    def __init__(self, alphabet: Alphabet, fold: bool) -> None:
        self.alphabet = alphabet
        self.fold = fold  # try the other case and base letters
        self.removed: dict[str, None] = {}

    def known(self, unit: str) -> str | None:
        """`unit` as a grapheme of the alphabet, or None."""
        graphemes = self.alphabet.graphemes
        if unit in graphemes:
            return unit
        if not self.fold:
            return None
        for other in (unit.lower(), unit.upper()):
            if other in graphemes:
                return other
        return None

    def spell(self, part: str) -> str:
        """`part` with every unit the model knows, the others removed."""
        alphabet = self.alphabet
        if alphabet.delim:
            # The model cuts only at a one-character delimiter (as
            # lexicon.graphemes_of): a longer one leaves the word whole.
            delim = alphabet.delim
            units = part.split(delim) if len(delim) == 1 else [part]
            kept = []
            for unit in units:
                grapheme = self.known(unit) if unit else None
                if grapheme is None:
                    if unit:
                        self.removed[unit] = None
                else:
                    kept.append(grapheme)
            return alphabet.delim.join(kept)
        graphemes = alphabet.graphemes
        if graphemes.issuperset(part):
            return part
        out = []
        for character in part:
            grapheme = self.known(character)
            if grapheme is None and self.fold:
                grapheme = self.base_letters(character)
            if grapheme is None:
                self.removed[character] = None
            else:
                out.append(grapheme)
        return "".join(out)

    def base_letters(self, character: str) -> str | None:
        """`character` without its accents, if the model knows that."""
        decomposed = unicodedata.normalize("NFKD", character)
        base = "".join(c for c in decomposed if not unicodedata.combining(c))
        if not base or base == character:
            return None
        letters = [self.known(c) for c in base]
        if any(letter is None for letter in letters):
            return None
        return "".join(letter for letter in letters if letter is not None)


def normalise(word: str, alphabet: Alphabet, *, enabled: bool = True
              ) -> Normalised:
    """Brings `word` into the form `alphabet` spells (see the module notes).

    With `enabled` False only the normal form the model records is applied
    and unknown characters removed: no other normal form, case folding,
    punctuation handling or compound splitting. `word` must be valid text
    (see :func:`undecodable_reason`).
    """
    speller = _Speller(alphabet, enabled)
    graphemes = alphabet.graphemes
    if not enabled:
        form = alphabet.form if alphabet.recorded else None
        spelled = speller.spell(normalise_word(word, form))
        return Normalised((word,), (spelled,), "".join(speller.removed))
    text = word
    if not unicodedata.is_normalized(alphabet.form.upper(), text):
        text = normalise_word(text, alphabet.form)
    if alphabet.case == "lower":
        text = text.lower()
    elif alphabet.case == "upper":
        text = text.upper()
    folded = text
    text, lead, trail = _strip_edges(text, alphabet)
    if alphabet.delim:
        spelled = speller.spell(text)
        return Normalised(_keys(word, folded, text, _bare(text, lead, trail),
                                spelled), (spelled,),
                          "".join(speller.removed))
    # Set tests and str methods run in C: most words need none of the
    # character-by-character rewrites below.
    if not _APOSTROPHES.isdisjoint(text):
        text = "".join("'" if c in _APOSTROPHES else c for c in text)
    if "'" not in graphemes and "'" in text:
        text = text.replace("'", "")
    if not _HYPHENS.isdisjoint(text):
        text = "".join("-" if c in _HYPHENS else c for c in text)
    splitters = ("" if "-" in graphemes else "-") + \
        ("" if " " in graphemes else " ")
    key = text
    if splitters and (("-" in splitters and "-" in text)
                      or _has_whitespace(text)):
        pieces = [text]
        for splitter in splitters:
            if splitter == " ":
                pieces = [p for piece in pieces for p in piece.split()]
            else:
                pieces = [p for piece in pieces for p in piece.split(splitter)]
        pieces = [_strip_edges(p, alphabet)[0] for p in pieces]
        parts = tuple(speller.spell(p) for p in pieces if p)
        key = " ".join(text.split()) if " " in splitters else text
    else:
        parts = (speller.spell(text),)
    # A single part is also looked up as spelled ("cafe" for "café"). The
    # punctuation kept at the edges is spelled as it is: the bare forms
    # are the same slices.
    whole = (parts[0], _bare(parts[0], lead, trail)) if len(parts) == 1 \
        else ()
    return Normalised(_keys(word, folded, key, _bare(key, lead, trail),
                            *whole), parts or ("",),
                      "".join(speller.removed))


def _has_whitespace(text: str) -> bool:
    # str.split() cuts at exactly the characters str.isspace() accepts.
    return bool(text) and text.split(None, 1) != [text]


def _keys(*keys: str) -> tuple[str, ...]:
    return tuple(dict.fromkeys(key for key in keys if key))

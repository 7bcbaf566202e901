"""Running text in, one pronounced token per word, number or mark out.

A text is cut by ICU (:mod:`tamsu.text.tokens`), its numbers and symbols
read as words (:mod:`tamsu.text.numbers`), English abbreviations and
initialisms expanded (:mod:`tamsu.text.abbreviations`); then the words of
many texts go through the front end's one way of answering words
(:meth:`tamsu.G2P.map_chunks`: planned, decoded in one call per chunk,
finished), and each token gets the best pronunciation of each of its
words. A US English homograph is read by its sentence where the
homographs module decides it (source ``"context"``).
"""

from __future__ import annotations

import collections
import functools
import warnings
from dataclasses import dataclass
from typing import Callable, Final, Iterable, Iterator, Literal

from tamsu.catalogue import SHIPPED, cached_path, entries, shipped_path
from tamsu.decoding import Answer
from tamsu.dictionary import default_dictionary_path
from tamsu.files import same_file
from tamsu.g2p import (G2P, G2PWarning, SkippedWordWarning,
                       UnknownCharacterWarning)
from tamsu.lexicon import remove_stress
from tamsu.normalise import printable
from tamsu.phones import Phonemes
from tamsu.text.abbreviations import read_abbreviations
from tamsu.text.numbers import read_numbers
from tamsu.text.tokens import Kind, Span, locale_language, spans

__all__ = ["Reading", "ReadingSource", "Token", "language_of",
           "phonemize_texts", "spoken"]

ReadingSource = Literal["dictionary", "model", "context"]


@dataclass(frozen=True, slots=True)
class Reading:
    """One word a token is read as, and its pronunciation."""
    word: str
    phonemes: Phonemes
    """The best pronunciation; () when the word has none."""
    source: ReadingSource | None
    """"dictionary", "model", "context" (a homograph decided by its
    sentence), or None without a pronunciation."""


@dataclass(frozen=True, slots=True)
class Token:
    """One token of a text: a word, a number, a mark ... with where it is.

    ``text[start:end]`` of the text it came from is ``written``. Every
    character of the text is in exactly one token or in the white space
    between tokens, and tokens come in the text's order.
    """
    written: str
    start: int
    end: int
    kind: Kind
    readings: tuple[Reading, ...]
    """One per word the token is read as, in order; () for punctuation
    and for what could not be read."""
    expanded: bool
    """Whether the words are not the token as written (a number, an
    abbreviation, a spelled initialism)."""
    problem: str | None = None
    """Why the token, or part of it, was not pronounced."""

    @property
    def words(self) -> tuple[str, ...]:
        """The words the token is read as."""
        return tuple(reading.word for reading in self.readings)

    @property
    def phonemes(self) -> Phonemes:
        """The phonemes of all its words, one after the other."""
        return tuple(p for reading in self.readings for p in reading.phonemes)


# Tokens read as written, when nothing expanded them.
_WHOLE_WORD_KINDS: Final = frozenset({"word", "run"})


def language_of(g2p: G2P) -> str | None:
    """The ICU code of the language of `g2p`'s model ("en"), or None when
    it is not a shipped or catalogued model."""
    return _language_of_model(g2p.model_path)


@functools.lru_cache(maxsize=64)
def _language_of_model(path: str) -> str | None:
    # Cached: a front end phonemizing one sentence at a time asks for
    # every sentence, and the answer is a stat of every catalogued model.
    for shipped in SHIPPED.values():
        if same_file(path, shipped_path(shipped.name)):
            return locale_language(shipped.language)
    for name, item in entries().items():
        if same_file(path, str(cached_path(name))):
            return locale_language(item.language)
    return None


class _Reader:
    """How texts of one call are cut and read."""

    def __init__(self, g2p: G2P, language: str | None) -> None:
        self.language = language
        self.dictionary = g2p.dictionary
        self.english = language == "en"
        self.homographs = (self.english and g2p.phones == "arpabet"
                           and g2p.settings.dictionary
                           == default_dictionary_path())
        self.stress = g2p.options.stress
        self.convert = g2p.options.convert

    def cut(self, text: str) -> list[Span]:
        found = spans(text, self.language or "en")
        if self.language is not None:
            found = read_numbers(text, found, self.language)
        if self.english:
            found = read_abbreviations(text, found, self.known)
        return found

    def known(self, word: str) -> bool:
        """Whether the dictionary has `word` (the shipped one is
        lower-case)."""
        dictionary = self.dictionary
        return dictionary is not None and (word in dictionary or
                                           word.lower() in dictionary)


def _words_of(text: str, span: Span) -> tuple[str, ...]:
    if span.words is not None:
        return span.words
    if span.kind in _WHOLE_WORD_KINDS:
        return (text[span.start:span.end],)
    return ()


def phonemize_texts(g2p: G2P, texts: Iterable[str], *, jobs: int = 1,
                    language: str | None = None, chunk_size: int = 256,
                    warn: bool = True) -> Iterator[list[Token]]:
    """The tokens of each text, in input order (see :meth:`G2P.phonemize`).

    The words of the texts are answered `chunk_size` per thread at a time
    through :meth:`G2P.map_chunks` (one decoder call per chunk, on `jobs`
    native threads; with more than one, the texts are cut and their tokens
    made beside the decoding). `language` (ISO 639-1 or 639-3) overrides
    the model's; with neither, numbers and abbreviations stay as written,
    with a warning. With `warn`, problems are given as warnings, one per
    token, here in input order.
    """
    if language is None:
        language = language_of(g2p)
        if language is None and warn:
            warnings.warn(
                "the model's language is unknown (not a shipped or "
                "catalogued model): numbers and abbreviations are left as "
                "written; give the language to read them",
                G2PWarning, stacklevel=3)
    else:
        language = locale_language(language)
    reader = _Reader(g2p, language)
    pending: collections.deque[tuple[str, list[Span], int]] = \
        collections.deque()
    answers: collections.deque[Answer] = collections.deque()

    def words() -> Iterator[str]:
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"text must be a str, not "
                                f"{type(text).__name__}")
            cut = reader.cut(text)
            spoken = [word for span in cut for word in _words_of(text, span)]
            pending.append((text, cut, len(spoken)))
            yield from spoken

    def post(chunk: list[Answer]) -> list[_Done]:
        answers.extend(chunk)
        done = []
        while pending and pending[0][2] <= len(answers):
            text, cut, count = pending.popleft()
            done.append(_tokens(text, cut, [answers.popleft()
                                            for _ in range(count)], reader))
        return done

    for finished in g2p.map_chunks(post, words(), jobs=jobs,
                                   chunk_size=chunk_size):
        for tokens, problems in finished:
            if warn:
                _warn(problems)
            yield tokens
    for tokens, problems in post([]):  # texts of no words at the end
        if warn:
            _warn(problems)
        yield tokens


def spoken(tokens: list[Token], separator: str = " | ",
           convert: Callable[[Phonemes], Phonemes] | None = None) -> str:
    """A text's pronunciation in one string: each word's phonemes
    (through `convert` when given) joined by spaces, words by
    `separator`, punctuation kept; words without phonemes left out."""
    items: list[str] = []
    for token in tokens:
        if token.kind == "punctuation":
            items.append(token.written)
        for reading in token.readings:
            if reading.phonemes:
                items.append(" ".join(convert(reading.phonemes) if convert
                                      else reading.phonemes))
    return separator.join(items)


# A text's tokens, and those with a problem with the warning they give.
_Done = tuple[list[Token], list[tuple[Token, type[Warning]]]]


def _tokens(text: str, cut: list[Span], answers: list[Answer],
            reader: _Reader) -> _Done:
    found = iter(answers)
    tokens = []
    warned: list[tuple[Token, type[Warning]]] = []
    for span in cut:
        written = text[span.start:span.end]
        spoken = _words_of(text, span)
        readings = []
        problems = []
        # Characters removed from a word that is still read; anything
        # else left unread.
        category: type[Warning] = UnknownCharacterWarning
        for word in spoken:
            answer = next(found)
            readings.append(_reading(answer, text, span, reader))
            problem = _problem(answer)
            if problem is not None:
                problems.append(problem)
                if answer.skipped is not None:
                    category = SkippedWordWarning
        if not spoken and span.kind in ("symbol", "number"):
            category = SkippedWordWarning
        if span.kind == "symbol" and not spoken:
            problems.append("a control character" if not
                            written.isprintable() and written.isascii()
                            else "a symbol without a reading")
        elif span.kind == "number" and not spoken:
            problems.append(
                f"a number too long to read ({len(written)} characters)"
                if span.words is not None else
                "not read: the text's language is unknown"
                if reader.language is None else
                f"not read: ICU reads no numbers in {reader.language!r}")
        token = Token(written, span.start, span.end, span.kind,
                      tuple(readings), span.words is not None,
                      "; ".join(problems) or None)
        tokens.append(token)
        if problems:
            warned.append((token, category))
    return tokens, warned


def _reading(answer: Answer, text: str, span: Span,
             reader: _Reader) -> Reading:
    if reader.homographs and span.words is None and span.kind == "word":
        chosen = _in_context(text, span.start, span.end)
        if chosen is not None:
            # Converted from its stressed form: without marks, AH0 is ə.
            return Reading(answer.word, reader.convert(chosen)
                           if reader.convert is not None else chosen
                           if reader.stress else remove_stress(chosen),
                           "context")
    if not answer.pronunciations:
        return Reading(answer.word, (), None)
    best = answer.pronunciations[0]
    return Reading(answer.word, best.phonemes, best.source)


def _problem(answer: Answer) -> str | None:
    if answer.skipped is not None:
        return f"{printable(answer.word)!r} skipped: {answer.skipped}"
    if answer.removed:
        return (f"{answer.word!r}: removed characters the model does not "
                f"know: " + ", ".join(repr(c) for c in answer.removed))
    if not answer.pronunciations:
        return f"{answer.word!r}: no pronunciation"
    return None


def _in_context(text: str, start: int, end: int) -> Phonemes | None:
    """The pronunciation of the homograph text[start:end] in its
    sentence, or None when it is none of the shipped model's."""
    # Imported at the first English word: it needs NumPy.
    from tamsu.homographs import Homographs
    return Homographs.shipped().choose(text, start, end)


def _warn(problems: list[tuple[Token, type[Warning]]]) -> None:
    for token, category in problems:
        warnings.warn(f"{printable(token.written[:40])!r} at "
                      f"{token.start}-{token.end}: {token.problem}",
                      category, stacklevel=4)

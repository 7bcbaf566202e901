"""The decoding path: one word in, ranked pronunciations and a report out.

Every front end (:class:`tamsu.G2P`, :func:`tamsu.evaluate`, ``tamsu
apply``) goes through :func:`pronounce` (or :func:`plan_batch` and
:func:`finish_batch` for a batch of words, whose parts reach the decoder
in one call):

1. a word that cannot be text, or is too long, is skipped (with a reason);
2. it is normalised for the model's alphabet (:mod:`tamsu.normalise`),
   which removes the characters the model does not know;
3. the pronunciation dictionary is consulted, as given, then normalised;
4. the rest, part by part for a compound, is decoded by a
   :class:`PartDecoder` (one model, or an ensemble), the one place that
   turns pieces of words into scored pronunciations;
5. the parts' lists are joined (at most `nbest` combinations) and ranked
   into :class:`Pronunciation` records.

The result is an :class:`Answer`: the pronunciations plus what happened
to the word (characters removed, why it was skipped).
"""

from __future__ import annotations

import dataclasses
import heapq
import math
import os
from dataclasses import dataclass, field
from typing import Final, Iterator, Literal, NamedTuple, Protocol, Sequence

from tamsu._batch import BatchDecoder
from tamsu.catalogue import resolve, shipped_path
from tamsu.dictionary import PronunciationDictionary
from tamsu.ensemble import Ensemble
from tamsu.files import load_with
from tamsu.graphemes import is_reversed
from tamsu.lexicon import remove_stress
from tamsu.normalise import (Alphabet, Normalised, normalise,
                             plain_spelling, undecodable_reason)
from tamsu.phones import phone_set
from tamsu.search import Phonemes, SearchOptions, search_all

__all__ = ["Answer", "Batch", "DEFAULT_MODEL", "MAX_WORD_LENGTH",
           "PartDecoder", "PathOptions", "Pronunciation", "Scored",
           "best_products", "default_model_path", "finish_batch",
           "load_decoder", "model_paths", "plan_batch", "pronounce",
           "pronounce_plain", "skip_reason", "within_mass"]

MAX_WORD_LENGTH: Final = 256
"""The longest word, in characters, that is decoded; longer ones are
skipped. The longest words of dictionaries have under 60 letters, and
decoding time grows with length, so a longer "word" is almost always a
whole sentence or a stray binary line."""

DEFAULT_MODEL: Final = "en_us"
"""The shipped model used when none is given (see tamsu.catalogue.SHIPPED)."""

Source = Literal["dictionary", "model"]


def default_model_path() -> str:
    """The shipped US English n-gram model: the file :class:`tamsu.Model`
    loads. The front ends' default model is the bundle of it and a neural
    model (:data:`DEFAULT_MODEL`), more accurate and slower."""
    return shipped_path("en_us-ngram")


@dataclass(frozen=True, slots=True)
class Pronunciation:
    """One ranked pronunciation of a word."""

    word: str
    """The word as the caller gave it."""
    phonemes: Phonemes
    """The phonemes, never empty."""
    probability: float
    """The pronunciation's share, between 0 and 1. Dictionary variants
    share equally; a model pronunciation's share is taken among the paths
    the search returned (with `nbest` 1, the only path has 1.0); an
    ensemble's, among the scores its members' answers summed to."""
    source: Source
    """"dictionary" or "model" (for a compound, "model" if any part came
    from the model)."""
    rank: int
    """1 for the best pronunciation of the word, then 2, 3, ..."""
    weight: float
    """The model's path weight (-log, smaller is better; with a
    `probability_mass` the normalised weight), or -log(probability) for a
    dictionary pronunciation or an ensemble's. Compounds add their parts'
    weights."""

    def __str__(self) -> str:
        return " ".join(self.phonemes)


@dataclass(frozen=True, slots=True)
class Answer:
    """What the path found for one word (it also crosses processes)."""

    word: str
    pronunciations: list[Pronunciation]
    removed: str = ""
    """Characters the model does not know, removed before decoding."""
    skipped: str | None = None
    """Why the word was not decoded at all, or None."""


@dataclass(frozen=True)
class PathOptions:
    """Everything the path does with a word besides the model itself."""

    search: SearchOptions = field(default_factory=SearchOptions)
    normalise: bool = True
    """Normalise words for the model; off, only the grapheme form the model
    records is applied and unknown characters removed."""
    partial: bool = True
    """Answer words that lost characters the model does not know with what
    is left of them; off, such a word gets no answer."""
    all_variants: bool = False
    """Give every dictionary variant; off, at most `nbest` of them."""
    stress: bool = True
    """Keep stress digits and marks (AH0, ˈa); off, they are removed and
    pronunciations that differed only in stress become one."""
    max_word_length: int = MAX_WORD_LENGTH

    def __post_init__(self) -> None:
        value = self.max_word_length
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("max_word_length must be an int")
        if value < 1:
            raise ValueError("max_word_length must be at least 1")


class Scored(NamedTuple):
    """A pronunciation before ranking."""
    phonemes: Phonemes
    probability: float
    weight: float
    source: Source


class PartDecoder(Protocol):
    """Turns pieces of words (already spelled for `alphabet`) into scored
    pronunciations, best first: a model, an ensemble, or a batch
    decoder serving many words at once. One may be used from any number
    of threads at once."""

    @property
    def alphabet(self) -> Alphabet: ...

    @property
    def phones(self) -> str | None:
        """The phone set of the answers (see tamsu.phones.phone_set)."""
        ...

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        """One list per part, in order; [] for a part without answer.
        `threads` is how many native threads may decode them (a hint)."""
        ...


class _ModelDecoder:
    def __init__(self, model: BatchDecoder, delim: str,
                 options: SearchOptions) -> None:
        self._model = model
        self._options = options
        self.alphabet = Alphabet.of_model(model, delim)
        self.phones = phone_set(model)
        # The one-word call of pronunciations(), bound once: a call through
        # search_all costs about 3% of a word's decoding.
        self._decode_one = model.decode
        self._arguments = (*options._arguments, 1)

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        if all(parts):
            return [self._scored(found) for found in search_all(
                self._model, parts, self._options, threads)]
        found = iter(search_all(self._model, [part for part in parts if part],
                                self._options, threads))
        return [self._scored(next(found)) if part else [] for part in parts]

    def pronunciations(self, word: str, part: str) -> list[Pronunciation]:
        """`part`'s pronunciations, ranked as `word`'s (stress kept): the
        records of :meth:`decode` and :func:`pronounce` in one step."""
        found = self._decode_one((part,), *self._arguments)[0][0]
        if len(found) == 1 and self._options.probability_mass is None:
            phonemes, weight = found[0]
            if weight < math.inf:  # all of the mass, as _scored finds
                return [Pronunciation(word, phonemes, 1.0, "model", 1, weight)]
        return [Pronunciation(word, s.phonemes, s.probability, s.source, rank,
                              s.weight)
                for rank, s in enumerate(self._scored(found), start=1)]

    def _scored(self, found: list[tuple[Phonemes, float]]) -> list[Scored]:
        if not found:
            return []
        if self._options.probability_mass is not None:
            # The weights are already -log of the paths' shares.
            return [Scored(p, math.exp(-w), w, "model") for p, w in found]
        best = min(w for _, w in found)
        shares = [math.exp(best - w) for _, w in found]
        total = sum(shares)
        return [Scored(p, share / total, w, "model")
                for (p, w), share in zip(found, shares)]


class _EnsembleDecoder:
    def __init__(self, ensemble: Ensemble, delim: str,
                 options: SearchOptions) -> None:
        self._ensemble = ensemble
        self._options = options
        members = ensemble.models
        alphabets = [Alphabet.of_model(m, delim) for m in members]
        forward = [a for a, m in zip(alphabets, members)
                   if not is_reversed(m)]
        # A grapheme one member lacks would reach that member's per-letter
        # message on standard error: it is removed instead.
        shared = frozenset.intersection(*(a.graphemes for a in alphabets))
        if not shared:
            raise ValueError(
                "the models share no graphemes: an ensemble combines "
                "models of one language, trained on one lexicon")
        self.alphabet = dataclasses.replace((forward or alphabets)[0],
                                            graphemes=shared)
        self.phones = phone_set(members[0])

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        s = self._options
        found = iter(self._ensemble.candidates_all(
            [part for part in parts if part], beam=s.beam,
            threshold=s.threshold, accumulate=s.accumulate, threads=threads))
        return [self._scored(next(found)) if part else [] for part in parts]

    def _scored(self, summed: list[tuple[Phonemes, float]]) -> list[Scored]:
        s = self._options
        return within_mass(
            [Scored(p, share, -math.log(share) if share > 0 else math.inf,
                    "model") for p, share in summed[:s.nbest]],
            s.probability_mass)


def load_decoder(model: str | tuple[str, ...], delim: str,
                 options: SearchOptions) -> PartDecoder:
    """The decoder of a model file, or of an ensemble (a tuple of two or
    more files). Raises ValueError for a model that cannot be loaded, a
    right-to-left model alone, or an ensemble without shared graphemes."""
    if isinstance(model, tuple):
        return _EnsembleDecoder(Ensemble(model, delim=delim,
                                         depth=options.nbest), delim, options)
    loaded = load_with(BatchDecoder, model, delim)
    if is_reversed(loaded):
        # Alone it would answer with the phonemes backwards.
        raise ValueError(
            f"{model} reads words right to left: it is made to be combined "
            f"with others in an ensemble (give several models)")
    return _ModelDecoder(loaded, delim, options)


def skip_reason(word: str, max_word_length: int) -> str | None:
    """Why `word` is not decoded at all (not text, too long), or None."""
    reason = undecodable_reason(word)
    if reason is None and len(word) > max_word_length:
        reason = f"longer than {max_word_length} characters ({len(word)})"
    return reason


def pronounce(word: str, decoder: PartDecoder,
              dictionary: PronunciationDictionary | None,
              options: PathOptions) -> Answer:
    """The ranked pronunciations of `word` and what happened to it."""
    plan = _plan(word, decoder.alphabet, dictionary, options)
    if isinstance(plan, Answer):
        return plan
    return _finish(plan, iter(decoder.decode(plan.to_decode)), options)


def pronounce_plain(word: str, decoder: PartDecoder,
                    dictionary: PronunciationDictionary | None,
                    options: PathOptions) -> list[Pronunciation] | None:
    """:func:`pronounce`'s pronunciations of a word that needs no report
    (a str of ASCII letters and digits the model knows, not too long), or
    None for any other word: the common case, without the records that
    the general path builds around it."""
    # Written out rather than through _plain and _in_dictionary: each call
    # a word passes through costs about a microsecond after a decode has
    # taken the interpreter's data out of the caches.
    if not isinstance(word, str) or len(word) > options.max_word_length:
        return None
    spelled = plain_spelling(word, decoder.alphabet,
                             enabled=options.normalise)
    if spelled is None:
        return None
    if dictionary is not None:
        variants = dictionary.lookup(word)
        if not variants and spelled != word:
            variants = dictionary.lookup(spelled)
        if variants:
            return _ranked(word, _from_dictionary(variants, options), options)
    if isinstance(decoder, _ModelDecoder) and options.stress:
        return decoder.pronunciations(word, spelled)
    return _ranked(word, decoder.decode((spelled,))[0], options)


@dataclass(frozen=True, slots=True)
class Batch:
    """Words settled or planned (:func:`plan_batch`), waiting for the
    decoder's lists of `parts`, so that a caller may decode one batch
    while it plans or finishes another."""
    plans: list[Answer | _Plan]
    parts: list[str]
    """What the decoder is to decode, in order."""


def plan_batch(words: Sequence[str], alphabet: Alphabet,
               dictionary: PronunciationDictionary | None,
               options: PathOptions) -> Batch:
    """`words` settled or planned, with every part the dictionary does
    not have gathered for one call of the decoder."""
    plans = [_plan(word, alphabet, dictionary, options) for word in words]
    return Batch(plans, [part for plan in plans if isinstance(plan, _Plan)
                         for part in plan.to_decode])


def finish_batch(batch: Batch, decoded: Sequence[list[Scored]],
                 options: PathOptions) -> list[Answer]:
    """The answers of `batch`, given the decoder's lists of its parts."""
    lists = iter(decoded)
    return [plan if isinstance(plan, Answer)
            else _finish(plan, lists, options) for plan in batch.plans]


@dataclass(frozen=True, slots=True)
class _Plan:
    """A word waiting for its parts' pronunciations."""
    word: str
    removed: str
    choices: list[list[Scored] | None]  # None: a part for the decoder
    to_decode: list[str]
    whole: bool  # one part, decoded as it is: its list is the answer


def _plan(word: str, alphabet: Alphabet,
          dictionary: PronunciationDictionary | None,
          options: PathOptions) -> Answer | _Plan:
    """What a word needs: settled by itself (skipped, left out, found in
    the dictionary), or parts to decode."""
    if not isinstance(word, str):
        raise TypeError(f"word must be a str, not {type(word).__name__}")
    spelled = _plain(word, alphabet, options)
    if spelled is not None:  # most words: the steps below, shortened
        found = _in_dictionary(word, spelled, dictionary, options)
        if found is not None:
            return Answer(word, found)
        return _Plan(word, "", [None], [spelled], True)
    reason = skip_reason(word, options.max_word_length)
    if reason is not None:
        return Answer(word, [], "", reason)
    normalised = normalise(word, alphabet, enabled=options.normalise)
    removed = normalised.removed
    lossy = bool(removed) and not options.partial
    if dictionary is not None:
        for key in _lossless_keys(normalised) if lossy else normalised.keys:
            variants = dictionary.lookup(key)
            if variants:
                return Answer(word, _ranked(word, _from_dictionary(
                    variants, options), options), removed)
    if lossy:
        return Answer(word, [], removed)
    parts = [part for part in normalised.parts if part]
    if len(parts) == 1 and len(normalised.parts) == 1:
        # A hyphenated compound the model could spell whole, whose parts
        # are all in the dictionary, is better read from it.
        pieces = parts[0].split("-")
        if dictionary is None or len(pieces) < 2 or not all(
                piece in dictionary for piece in pieces):
            return _Plan(word, removed, [None], parts, True)
        parts = pieces
    choices: list[list[Scored] | None] = [
        _from_dictionary(variants, options) if variants else None
        for variants in (dictionary.lookup(part) if dictionary else ()
                         for part in parts)]
    return _Plan(word, removed, choices,
                 [part for part, c in zip(parts, choices) if c is None],
                 False)


def _plain(word: str, alphabet: Alphabet, options: PathOptions) -> str | None:
    """`word` as spelled for the model when it is plain (see
    :func:`tamsu.normalise.plain_spelling`) and not too long, else None:
    such a word is one part, loses nothing and has two dictionary keys."""
    if len(word) > options.max_word_length:
        return None
    return plain_spelling(word, alphabet, enabled=options.normalise)


def _in_dictionary(word: str, spelled: str,
                   dictionary: PronunciationDictionary | None,
                   options: PathOptions) -> list[Pronunciation] | None:
    """A plain word's answer from the dictionary, or None if it lacks it."""
    if dictionary is None:
        return None
    for key in (word,) if spelled == word else (word, spelled):
        variants = dictionary.lookup(key)
        if variants:
            return _ranked(word, _from_dictionary(variants, options), options)
    return None


def _lossless_keys(normalised: Normalised) -> tuple[str, ...]:
    # The last key of a one-part word is that part as spelled for the
    # model, without the characters it does not know.
    spelled = normalised.parts[0] if len(normalised.parts) == 1 else None
    return tuple(key for key in normalised.keys if key != spelled)


def _finish(plan: _Plan, decoded: Iterator[list[Scored]],
            options: PathOptions) -> Answer:
    """`plan`'s answer, its decoded parts' lists taken from `decoded`."""
    if plan.whole:
        return Answer(plan.word, _ranked(plan.word, next(decoded), options),
                      plan.removed)
    lists = [c if c is not None else next(decoded) for c in plan.choices]
    # Like one search, a word gets at most `beam` records: a huge nbest
    # must not multiply out the parts' lists.
    limit = min(options.search.nbest, options.search.beam)
    if options.all_variants:
        limit = max([limit, *map(len, lists)])
    return Answer(plan.word, _ranked(plan.word, best_products(
        [c for c in lists if c], limit), options), plan.removed)


def _from_dictionary(variants: Sequence[Phonemes],
                     options: PathOptions) -> list[Scored]:
    if not options.stress:  # variants that differ only in stress are one
        variants = list(dict.fromkeys(map(remove_stress, variants)))
    share = 1.0 / len(variants)
    weight = math.log(len(variants))  # -log(share), 0.0 for one
    kept = variants if options.all_variants else \
        variants[:options.search.nbest]
    return within_mass([Scored(v, share, weight, "dictionary")
                         for v in kept], options.search.probability_mass)


def within_mass(scored: list[Scored], mass: float | None) -> list[Scored]:
    """The first of `scored` (best first) whose probabilities cover
    `mass`; all of them for None."""
    if mass is None:
        return scored
    wanted = mass * (1 - 1e-9)
    kept, covered = [], 0.0
    for item in scored:
        kept.append(item)
        covered += item.probability
        if covered >= wanted:
            break
    return kept


def best_products(lists: Sequence[Sequence[Scored]],
                  limit: int) -> list[Scored]:
    """The `limit` likeliest ways of saying parts one after the other.

    Each list is one part's pronunciations, likeliest first; a way's
    probability is the product of its parts'. Ties keep the order of the
    full product sorted by probability, without ever building it: the cost
    is about `limit` log `limit` per part."""
    if not lists:
        return []
    combined: list[Scored] = [Scored((), 1.0, 0.0, "dictionary")]
    for options in lists:
        combined = _two_best(combined, options, limit)
    return combined


def _two_best(a: Sequence[Scored], b: Sequence[Scored],
              limit: int) -> list[Scored]:
    # A frontier over the grid of (i, j): each pair is queued once, after
    # the pair above it (j == 0) or to its left, which are at least as
    # likely; (-probability, i, j) orders ties as a stable sort would.
    heap = [(-a[0].probability * b[0].probability, 0, 0)]
    out: list[Scored] = []
    while heap and len(out) < limit:
        _, i, j = heapq.heappop(heap)
        x, y = a[i], b[j]
        out.append(Scored(x.phonemes + y.phonemes,
                          x.probability * y.probability, x.weight + y.weight,
                          "model" if "model" in (x.source, y.source)
                          else "dictionary"))
        if j == 0 and i + 1 < len(a):
            heapq.heappush(heap, (-a[i + 1].probability * b[0].probability,
                                  i + 1, 0))
        if j + 1 < len(b):
            heapq.heappush(heap, (-x.probability * b[j + 1].probability,
                                  i, j + 1))
    return out


def _ranked(word: str, scored: list[Scored],
            options: PathOptions) -> list[Pronunciation]:
    if not options.stress:
        scored = _without_stress(scored)
    return [Pronunciation(word, s.phonemes, s.probability, s.source, rank,
                          s.weight)
            for rank, s in enumerate(scored, start=1)]


def _without_stress(scored: list[Scored]) -> list[Scored]:
    """The pronunciations without stress; those that differed only in
    stress become one, where the likeliest stood, their shares summed (a
    dictionary variant's weight is -log of its share; a model's stays its
    best path's)."""
    merged: dict[Phonemes, Scored] = {}
    for item in scored:
        key = remove_stress(item.phonemes)
        first = merged.get(key)
        if first is None:
            merged[key] = item._replace(phonemes=key)
            continue
        share = first.probability + item.probability
        merged[key] = first._replace(probability=share, weight=(
            -math.log(share) if first.source == "dictionary"
            else first.weight))
    return list(merged.values())


def model_paths(model: str | os.PathLike[str] | Sequence[
        str | os.PathLike[str]] | None) -> str | tuple[str, ...]:
    """A model argument as the path works with it: a path, or a tuple of
    two or more for an ensemble (a sequence of one is that model alone);
    None is the shipped model, a catalogued name its cached model
    (NotCachedError, a FileNotFoundError, before it is built)."""
    if model is None:
        return shipped_path(DEFAULT_MODEL)
    if isinstance(model, (str, os.PathLike)):
        paths: list[object] = [os.fspath(model)]
        single = True
    elif isinstance(model, (bytes, bytearray)) or not isinstance(
            model, Sequence):
        raise TypeError("model must be a path or a sequence of paths")
    else:
        paths = [os.fspath(p) if isinstance(p, os.PathLike) else p
                 for p in model]
        single = len(paths) == 1
        if not paths:
            raise ValueError("model: an ensemble needs two or more models")
    if not all(isinstance(p, str) for p in paths):
        raise TypeError("model must be a str or path-like of str, or a "
                        "sequence of them")
    checked = [resolve(str(p)) for p in paths]
    return checked[0] if single else tuple(checked)

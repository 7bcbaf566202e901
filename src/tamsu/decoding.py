"""The decoding path: words in, ranked pronunciations and a report out.

Every front end (:class:`tamsu.G2P`, :func:`tamsu.evaluate`, ``tamsu
apply``, Dask workers) answers words here, one word or many alike:
:func:`answer_words`, or :func:`plan_batch` and :func:`finish_batch`
around the decoder's one call when a caller overlaps them with decoding.

1. a word that cannot be text, or is too long, is skipped (with a reason);
2. it is normalised for the model's alphabet (:mod:`tamsu.normalise`),
   which removes the characters the model does not know;
3. the pronunciation dictionary is consulted, as given, then normalised;
4. the rest, part by part for a compound, is decoded in one call of a
   :class:`tamsu.decoders.PartDecoder` (any kind of model), the one
   place that turns pieces of words into scored pronunciations;
5. the parts' lists are joined (at most `nbest` combinations), stress
   removed when asked, and ranked into :class:`Pronunciation` records.

The result is an :class:`Answer`: the pronunciations plus what happened
to the word (characters removed, why it was skipped).
"""

from __future__ import annotations

import heapq
import math
from dataclasses import dataclass, field
from typing import Callable, Final, Iterator, NamedTuple, Sequence

from tamsu.catalogue import NGRAM_MODEL, default_path, shipped_path
from tamsu.decoders import (CONFIDENCE_DEPTH, PartDecoder, Scored,
                            SearchOptions, Source, within_mass)
from tamsu.dictionary import PronunciationDictionary
from tamsu.lexicon import remove_stress
from tamsu.normalise import (Alphabet, Normalised, normalise,
                             plain_spelling, undecodable_reason)
from tamsu.phones import OUTPUTS, Phonemes

__all__ = ["Answer", "Batch", "MAX_WORD_LENGTH", "PathOptions",
           "Pronunciation", "Source", "answer_words", "best_products",
           "default_g2p_model_path", "default_model_path", "finish_batch",
           "plan_batch", "skip_reason"]

MAX_WORD_LENGTH: Final = 256
"""The longest word, in characters, that is decoded; longer ones are
skipped. The longest words of dictionaries have under 60 letters, and
decoding time grows with length, so a longer "word" is almost always a
whole sentence or a stray binary line."""


def default_model_path() -> str:
    """The shipped US English n-gram model (en_us.fst): the file
    :class:`tamsu.Model` loads. Not what ``G2P()`` loads
    (:func:`default_g2p_model_path`)."""
    return shipped_path(NGRAM_MODEL)


def default_g2p_model_path() -> str:
    """The file ``G2P()`` loads, and the tamsu command without -m: the
    shipped US English bundle (en_us.bundle: the n-gram model rescored by
    a neural model, the most accurate), or the n-gram model where the
    bundle is not installed."""
    return default_path()


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
    weights. Its scale is the model kind's own."""
    confidence: float | None = None
    """With G2P's ``confidence=True``: the one number comparable across
    model kinds and settings, between 0 and 1: the pronunciation's share of
    the probability of its source's CONFIDENCE_DEPTH (5) best candidates,
    whatever `nbest` is (a dictionary variant's: 1 / its variants, at most
    5); a compound's is the product of its parts'. None otherwise."""

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
    phones: str = "model"
    """What answers are written in (tamsu.phones.OUTPUTS): the model's
    phonemes, IPA or X-SAMPA."""
    convert: Callable[[Sequence[str]], Phonemes] | None = field(
        default=None, compare=False, repr=False)
    """How answers are written: made by G2P from `phones`, the model's
    phone set and `stress` (tamsu.phones.converter); None: as they are."""

    def __post_init__(self) -> None:
        if self.phones not in OUTPUTS:
            raise ValueError(f"phones must be one of {', '.join(OUTPUTS)}")
        value = self.max_word_length
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("max_word_length must be an int")
        if value < 1:
            raise ValueError("max_word_length must be at least 1")


def skip_reason(word: str, max_word_length: int) -> str | None:
    """Why `word` is not decoded at all (not text, too long), or None."""
    reason = undecodable_reason(word)
    if reason is None and len(word) > max_word_length:
        reason = f"longer than {max_word_length} characters ({len(word)})"
    return reason


def answer_words(words: Sequence[str], decoder: PartDecoder,
                 dictionary: PronunciationDictionary | None,
                 options: PathOptions, threads: int = 1) -> list[Answer]:
    """The answers of `words`, in order: planned, their parts decoded in
    one call on `threads` native threads, finished. Raises TypeError for
    a word that is not a str."""
    if len(words) == 1:  # a word alone, as G2P's call asks: no lists
        plan = _plan(words[0], decoder.alphabet, dictionary, options)
        if isinstance(plan, Answer):
            return [plan]
        return [_finish(plan, iter(decoder.decode(plan.to_decode, threads)),
                        options)]
    batch = plan_batch(words, decoder.alphabet, dictionary, options)
    return finish_batch(batch, decoder.decode(batch.parts, threads)
                        if batch.parts else (), options)


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


class _Plan(NamedTuple):
    """A word waiting for its parts' pronunciations (a tuple: made for
    every word the dictionary lacks, it must cost little)."""
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
    # A plain word (see tamsu.normalise.plain_spelling) that is not too
    # long is one part, loses nothing and has two dictionary keys.
    spelled = (plain_spelling(word, alphabet, enabled=options.normalise)
               if len(word) <= options.max_word_length else None)
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
        return Answer(plan.word, _ranked(plan.word, _written(
            next(decoded), options), options), plan.removed)
    lists = [c if c is not None else _written(next(decoded), options)
             for c in plan.choices]
    # Like one search, a word gets at most `beam` records: a huge nbest
    # must not multiply out the parts' lists.
    limit = min(options.search.nbest, options.search.beam)
    if options.all_variants:
        limit = max([limit, *map(len, lists)])
    return Answer(plan.word, _ranked(plan.word, best_products(
        [c for c in lists if c], limit), options), plan.removed)


def _written(scored: list[Scored], options: PathOptions) -> list[Scored]:
    """Answers in the phones asked for (before stress is merged: with IPA,
    AH0 stays ə without its mark)."""
    convert = options.convert
    if convert is None:
        return scored
    return [s._replace(phonemes=convert(s.phonemes)) for s in scored]


def _from_dictionary(variants: Sequence[Phonemes],
                     options: PathOptions) -> list[Scored]:
    if options.convert is not None:
        variants = list(map(options.convert, variants))
    if not options.stress:  # variants that differ only in stress are one
        variants = list(dict.fromkeys(map(remove_stress, variants)))
    share = 1.0 / len(variants)
    weight = math.log(len(variants))  # -log(share), 0.0 for one
    kept = variants if options.all_variants else \
        variants[:options.search.nbest]
    # Equal scores: each is a share of the first CONFIDENCE_DEPTH.
    sure = (1.0 / min(len(variants), CONFIDENCE_DEPTH)
            if options.search.confidence else None)
    return within_mass([Scored(v, share, weight, "dictionary", sure)
                         for v in kept], options.search.probability_mass)


def best_products(lists: Sequence[Sequence[Scored]],
                  limit: int) -> list[Scored]:
    """The `limit` likeliest ways of saying parts one after the other.

    Each list is one part's pronunciations, likeliest first; a way's
    probability is the product of its parts'. Ties keep the order of the
    full product sorted by probability, without ever building it: the cost
    is about `limit` log `limit` per part."""
    if not lists:
        return []
    combined: list[Scored] = [Scored((), 1.0, 0.0, "dictionary", 1.0)]
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
                          else "dictionary",
                          None if x.confidence is None or y.confidence is None
                          else x.confidence * y.confidence))
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
                          s.weight, s.confidence)
            for rank, s in enumerate(scored, start=1)]


def _without_stress(scored: list[Scored]) -> list[Scored]:
    """The pronunciations without stress; those that differed only in
    stress become one, where the likeliest stood, their shares summed (a
    dictionary variant's weight is -log of its share; a model's stays its
    best path's, and its confidence its best path's, which the answers
    beside it, as many as `nbest` asks, cannot change)."""
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

"""Decoding with several models at once: the sum of their posteriors.

Models trained on the same lexicon with different settings (chunk limits,
orders) make different mistakes. Each model's n-best list, normalised to
posteriors over that list, is added up per pronunciation, and the
pronunciations are ranked by the sum. A combination of k models costs k
decodes per word.

A model trained right to left (`tamsu.train(..., reverse=True)`) makes
different mistakes from the usual one; the ensemble reads its words and
pronunciations the other way round by itself. On the CMU development split
the summed best-path joint probabilities (`depth=1`) of a left-to-right
model with one grapheme per chunk, one with two, and a right-to-left one
with one give 25.63% word error against 26.14% for the first alone, at
three decodes per word:

    Ensemble(["one.fst", "two.fst", "one-reversed.fst"], depth=1)

    ensemble = Ensemble(["one.fst", "two.fst"])
    ensemble.pronounce("word", nbest=2)   # [(("W", "ER", "D"), 0.93), ...]

An Ensemble may be used from any number of threads at once: its members
are loaded once and shared.
tamsu.G2P (a list of models) and `tamsu apply -m A -m B` decode with one,
shared by all threads, `depth` 1 for one answer per word.
"""

from __future__ import annotations

import math
import os
from typing import Sequence

from tamsu._batch import BatchDecoder
from tamsu.files import load_with
from tamsu.graphemes import (grapheme_form, is_reversed, normalise_word,
                             reverse_word)
from tamsu.phones import Phonemes
from tamsu.scores import shares

__all__ = ["Ensemble", "combine_posteriors"]

# Paths each model contributes per word: enough for the sum to find a
# pronunciation that is second in one model and first in another.
DEFAULT_DEPTH = 8


def combine_posteriors(
        lists: Sequence[Sequence[tuple[tuple[str, ...], float]]],
        weights: Sequence[float] | None = None, *, normalise: bool = True
) -> list[tuple[tuple[str, ...], float]]:
    """Ranks pronunciations by their summed posterior.

    Each list holds one model's (phonemes, tropical weight) pairs; its
    weights become posteriors over that list (softmax of the negated
    weights), scaled by the model's weight (default: equal weights summing
    to one). Ties keep the order in which pronunciations first appear.
    Without `normalise` the joint probabilities exp(-weight) are summed.
    """
    ranked, shift = _summed(lists, weights, normalise)
    if not shift:
        return ranked
    scale = math.exp(-shift)
    return [(phonemes, score * scale) for phonemes, score in ranked]


def _summed(lists: Sequence[Sequence[tuple[tuple[str, ...], float]]],
            weights: Sequence[float] | None, normalise: bool
            ) -> tuple[list[tuple[tuple[str, ...], float]], float]:
    """combine_posteriors' ranking, with the scores divided by
    exp(-shift): joint probabilities of long words underflow to zero, and
    then every pronunciation would tie."""
    if weights is None:
        weights = [1.0 / len(lists)] * len(lists) if lists else []
    shift = 0.0
    if not normalise:
        shift = min((weight for paths in lists for _, weight in paths),
                    default=0.0)
    scores: dict[tuple[str, ...], float] = {}
    for paths, model_weight in zip(lists, weights):
        if not paths:
            continue
        mass = (shares([-weight for _, weight in paths]) if normalise
                else [math.exp(shift - weight) for _, weight in paths])
        for (phonemes, _), share in zip(paths, mass):
            scores[phonemes] = (scores.get(phonemes, 0.0)
                                + model_weight * share)
    return sorted(scores.items(), key=lambda item: -item[1]), shift


class Ensemble:
    """Several models decoding together; see the module docstring."""

    def __init__(self, paths: Sequence[str | os.PathLike[str]], *,
                 delim: str = "", weights: Sequence[float] | None = None,
                 depth: int = DEFAULT_DEPTH) -> None:
        if not paths:
            raise ValueError("an ensemble needs at least one model")
        if weights is not None and len(weights) != len(paths):
            raise ValueError("one weight per model")
        if weights is not None and not all(
                0.0 < w < math.inf for w in weights):
            raise ValueError("model weights must be positive and finite")
        if depth < 1:
            raise ValueError("depth must be at least 1")
        self._models = [load_with(BatchDecoder, p, delim) for p in paths]
        self._forms = [grapheme_form(m) for m in self._models]
        self._reversed = [is_reversed(m) for m in self._models]
        self._delim = delim
        self._weights = list(weights) if weights is not None else None
        self._depth = depth

    @property
    def models(self) -> tuple[BatchDecoder, ...]:
        """The members, in the order given (each shared by all threads)."""
        return tuple(self._models)

    def _paths(self, index: int, words: Sequence[str], beam: int,
               threshold: float | None, accumulate: bool, threads: int,
               depth: int | None = None
               ) -> list[list[tuple[Phonemes, float]]]:
        """Member `index`'s (phonemes, weight) list of each of `words`,
        `depth` (None: the ensemble's) deep."""
        words = [normalise_word(word, self._forms[index]) for word in words]
        backwards = self._reversed[index]
        if backwards:
            words = [reverse_word(word, self._delim) for word in words]
        found = [paths for paths, _ in self._models[index].decode(
            words, depth or self._depth, beam, threshold, None, accumulate,
            threads)]
        if backwards:
            return [[(phonemes[::-1], weight) for phonemes, weight in paths]
                    for paths in found]
        return found

    def _lists(self, words: Sequence[str], beam: int, threshold: float | None,
               accumulate: bool, threads: int = 1, depth: int | None = None
               ) -> list[list[list[tuple[Phonemes, float]]]]:
        """For each of `words`, each member's (phonemes, weight) list."""
        members = [self._paths(i, words, beam, threshold, accumulate,
                               threads, depth)
                   for i in range(len(self._models))]
        return [list(lists) for lists in zip(*members)]

    def scored_all(self, words: Sequence[str], depth: int, *,
                   beam: int = 10000, accumulate: bool = False,
                   threads: int = 1
                   ) -> list[tuple[int, list[tuple[Phonemes, float, float]]]]:
        """Like :meth:`candidates_all`, each member's list `depth` deep
        (at least the ensemble's), with each pronunciation's confidence
        score beside its share: the log of its posteriors summed as an
        ensemble of `depth` would sum them (each member's list normalised
        over its first `depth` paths), so that it does not depend on the
        ensemble's own depth. For each word: how many are candidates, and
        those followed by the other pronunciations of the members' lists
        (share 0), which only count towards confidences."""
        out = []
        for lists in self._lists(words, beam, None, accumulate, threads,
                                 max(depth, self._depth)):
            ranked, _ = _summed([paths[:self._depth] for paths in lists],
                                self._weights, self._depth > 1)
            total = sum(score for _, score in ranked)
            weights = self._weights or [1.0 / len(lists)] * len(lists)
            summed: dict[Phonemes, float] = {}
            for paths, weight in zip(lists, weights):
                if not paths:
                    continue
                best = min(w for _, w in paths[:depth])
                norm = math.fsum(math.exp(best - w) for _, w in paths[:depth])
                for phonemes, w in paths:
                    summed[phonemes] = summed.get(phonemes, 0.0) + (
                        weight * math.exp(best - w) / norm)
            found = [(phonemes, score / total, summed[phonemes])
                     for phonemes, score in ranked]
            listed = {phonemes for phonemes, _ in ranked}
            found += [(phonemes, 0.0, score) for phonemes, score
                      in summed.items() if phonemes not in listed]
            out.append((len(ranked), [
                (phonemes, share, math.log(score) if score > 0
                 else -math.inf) for phonemes, share, score in found]))
        return out

    def candidates(self, word: str, *, beam: int = 10000,
                   threshold: float | None = None, accumulate: bool = False
                   ) -> list[tuple[Phonemes, float]]:
        """Every pronunciation a member found for `word`, best first, with
        its share of the summed scores (the shares add up to one).

        `beam`, `threshold` (None: none) and `accumulate` go to each
        member's search (see :meth:`tamsu.Model.phoneticize_paths`).
        """
        return self.candidates_all([word], beam=beam, threshold=threshold,
                                   accumulate=accumulate)[0]

    def candidates_all(self, words: Sequence[str], *, beam: int = 10000,
                       threshold: float | None = None,
                       accumulate: bool = False, threads: int = 1
                       ) -> list[list[tuple[Phonemes, float]]]:
        """:meth:`candidates` of each of `words`, each member decoding
        them all on `threads` native threads."""
        out = []
        for lists in self._lists(words, beam, threshold, accumulate, threads):
            ranked, _ = _summed(lists, self._weights, self._depth > 1)
            total = sum(score for _, score in ranked)
            out.append([(phonemes, score / total) for phonemes, score in ranked])
        return out

    def pronounce(self, word: str, nbest: int = 1
                  ) -> list[tuple[Phonemes, float]]:
        """The `nbest` best (phonemes, summed posterior) pairs of `word`."""
        return combine_posteriors(self._lists([word], 10000, None, False)[0],
                                  self._weights,
                                  normalise=self._depth > 1)[:nbest]

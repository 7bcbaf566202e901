"""Decoding with several models at once: the sum of their posteriors.

Models trained on the same lexicon with different settings (chunk limits,
orders) make different mistakes. Each model's n-best list, normalised to
posteriors over that list, is added up per pronunciation, and the
pronunciations are ranked by the sum. A combination of k models costs k
decodes per word.

    ensemble = Ensemble(["one.fst", "two.fst"])
    ensemble.pronounce("word", nbest=2)   # [(("W", "ER", "D"), 0.93), ...]

Like Model, an Ensemble belongs to the thread that created it.
"""

from __future__ import annotations

import math
import os
from typing import Sequence

from tamsu._tamsu import Model
from tamsu.graphemes import grapheme_form, normalise_word

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
    """
    if weights is None:
        weights = [1.0 / len(lists)] * len(lists) if lists else []
    scores: dict[tuple[str, ...], float] = {}
    for paths, model_weight in zip(lists, weights):
        if not paths:
            continue
        if normalise:
            best = min(weight for _, weight in paths)
            mass = [math.exp(best - weight) for _, weight in paths]
            total = sum(mass)
        else:
            mass = [math.exp(-weight) for _, weight in paths]
            total = 1.0
        for (phonemes, _), share in zip(paths, mass):
            scores[phonemes] = (scores.get(phonemes, 0.0)
                                + model_weight * share / total)
    return sorted(scores.items(), key=lambda item: -item[1])


class Ensemble:
    """Several models decoding together; see the module docstring."""

    def __init__(self, paths: Sequence[str | os.PathLike[str]], *,
                 delim: str = "", weights: Sequence[float] | None = None,
                 depth: int = DEFAULT_DEPTH) -> None:
        if not paths:
            raise ValueError("an ensemble needs at least one model")
        if weights is not None and len(weights) != len(paths):
            raise ValueError("one weight per model")
        if depth < 1:
            raise ValueError("depth must be at least 1")
        self._models = [Model(os.fspath(p), delim) for p in paths]
        self._forms = [grapheme_form(m) for m in self._models]
        self._weights = list(weights) if weights is not None else None
        self._depth = depth
        self._texts: list[dict[int, str]] = [{} for _ in self._models]

    def _paths(self, index: int, word: str
               ) -> list[tuple[tuple[str, ...], float]]:
        model, texts = self._models[index], self._texts[index]
        found = model.phoneticize_paths(
            normalise_word(word, self._forms[index]), nbest=self._depth)
        out = []
        for path in found:
            phonemes = []
            for label in path.uniques:
                text = texts.get(label)
                if text is None:
                    text = texts[label] = model.find_osym(label) or ""
                phonemes.append(text)
            out.append((tuple(phonemes), path.path_weight))
        return out

    def pronounce(self, word: str, nbest: int = 1
                  ) -> list[tuple[tuple[str, ...], float]]:
        """The `nbest` best (phonemes, summed posterior) pairs of `word`."""
        lists = [self._paths(i, word) for i in range(len(self._models))]
        return combine_posteriors(lists, self._weights,
                                  normalise=self._depth > 1)[:nbest]

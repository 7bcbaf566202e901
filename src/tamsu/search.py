"""One search of one model: a piece of a word in, phoneme paths out.

The only place above the extensions that decodes (with
:meth:`tamsu.Model.phoneticize_paths` or a shared BatchDecoder, for many
words at once on native threads), and so the only place that knows how
the model spells "no threshold" and "no probability mass" (99.0). Everywhere
above, "none" is None.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

from tamsu._batch import BatchDecoder
from tamsu._tamsu import Model

__all__ = ["Phonemes", "SearchOptions", "phoneme_texts", "search",
           "search_all"]

# Model reads a threshold or pmass of this or more as "none".
_MODEL_OFF = 99.0

Phonemes = tuple[str, ...]


@dataclass(frozen=True)
class SearchOptions:
    """How one model searches a word (see Model.phoneticize_paths).

    `threshold` drops paths weighing more (None: no threshold);
    `probability_mass` P stops once the paths found cover P (None: off).
    Raises TypeError or ValueError for values the model cannot honour.
    """

    nbest: int = 1
    beam: int = 10000
    threshold: float | None = None
    probability_mass: float | None = None
    accumulate: bool = False

    def __post_init__(self) -> None:
        for name in ("nbest", "beam"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int")
            if not 1 <= value < 2**64:  # the model's unsigned 64 bits
                raise ValueError(f"{name} must be from 1 to 2**64 - 1")
        if self.threshold is not None and not (
                -math.inf < self.threshold < _MODEL_OFF):
            raise ValueError(
                f"threshold must be a number below {_MODEL_OFF:g} (the "
                f"model reads larger ones as no threshold; leave it out "
                f"for none): {self.threshold}")
        mass = self.probability_mass
        if mass is not None and not 0.0 < mass <= 1.0:
            raise ValueError("probability_mass must be in (0, 1]")
        if mass is not None and -math.log(mass) >= _MODEL_OFF:
            raise ValueError(f"probability_mass must be at least "
                             f"e**-{_MODEL_OFF:g}: {mass}")


def phoneme_texts(model: Model | BatchDecoder) -> tuple[str, ...]:
    """The output symbol texts of `model`, by label (labels are dense)."""
    texts: list[str] = []
    while (text := model.find_osym(len(texts))) is not None:
        texts.append(text)
    return tuple(texts)


def search(model: Model | BatchDecoder, texts: Sequence[str], word: str,
           options: SearchOptions) -> list[tuple[Phonemes, float]]:
    """The (phonemes, weight) paths of `word`, best first; paths without
    phonemes are no pronunciation and left out. `texts` is
    :func:`phoneme_texts` of `model`. With a probability mass the weights
    are -log of each path's share."""
    if isinstance(model, BatchDecoder):
        return search_all(model, [word], options)[0]
    threshold = options.threshold
    mass = options.probability_mass
    paths = model.phoneticize_paths(
        word, options.nbest, options.beam,
        _MODEL_OFF if threshold is None else threshold, False,
        options.accumulate, _MODEL_OFF if mass is None else -math.log(mass))
    return [(tuple([texts[label] for label in path.uniques]),
             path.path_weight) for path in paths if path.uniques]


def search_all(decoder: BatchDecoder, words: Sequence[str],
               options: SearchOptions, threads: int = 1
               ) -> list[list[tuple[Phonemes, float]]]:
    """:func:`search` of each of `words`, on `threads` native threads."""
    mass = options.probability_mass
    return [paths for paths, _ in decoder.decode(
        words, options.nbest, options.beam, options.threshold,
        None if mass is None else -math.log(mass), options.accumulate,
        threads)]

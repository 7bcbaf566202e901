"""The search of one model: pieces of words in, phoneme paths out.

The place above the extensions that decodes with a model (a shared
BatchDecoder, many words at once on native threads; only the front end's
one-word short path, tamsu.decoding, calls it directly with the arguments
made here), and the one that checks the search options. "None" is None everywhere, down to the core:
unlike Model, whose documented defaults read a threshold or pmass of 99 or
more as "none", the batch decoder applies any threshold.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Sequence

from tamsu._batch import BatchDecoder

__all__ = ["Phonemes", "SearchOptions", "search_all"]


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
    # BatchDecoder.decode's arguments after the words, made once: a word's
    # decode is a few tens of microseconds.
    _arguments: tuple[int, int, float | None, float | None, bool] = field(
        init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        for name in ("nbest", "beam"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int")
            if not 1 <= value < 2**64:  # the model's unsigned 64 bits
                raise ValueError(f"{name} must be from 1 to 2**64 - 1")
        if self.threshold is not None and self.threshold != self.threshold:
            raise ValueError("threshold must be a number, not NaN")
        mass = self.probability_mass
        if mass is not None and not 0.0 < mass <= 1.0:
            raise ValueError("probability_mass must be in (0, 1]")
        object.__setattr__(self, "_arguments", (
            self.nbest, self.beam, self.threshold,
            None if mass is None else -math.log(mass), self.accumulate))


def search_all(decoder: BatchDecoder, words: Sequence[str],
               options: SearchOptions, threads: int = 1
               ) -> list[list[tuple[Phonemes, float]]]:
    """The (phonemes, weight) paths of each of `words`, best first,
    decoded on `threads` native threads; paths without phonemes are no
    pronunciation and left out. With a probability mass the weights are
    -log of each path's share."""
    return [paths for paths, _ in decoder.decode(
        words, *options._arguments, threads)]

"""Decoding many words, in this process or in worker processes.

A Model is bound to the thread that created it, so each worker process
loads its own; results come back in input order.

This is the model alone, words as given: what `tamsu evaluate` measures.
Users meet :class:`tamsu.G2P` instead, whose ``map`` adds normalisation and
the pronunciation dictionary.
"""

from __future__ import annotations

import itertools
import math
import os
from dataclasses import dataclass
from importlib import resources
from typing import Iterable, Iterator

from tamsu._tamsu import Model
from tamsu.pool import ordered_map

__all__ = ["DecodeSettings", "Pronunciation", "decode_words",
           "default_model_path"]

DEFAULT_MODEL = "en_us.fst"


def default_model_path() -> str:
    """The US English model shipped inside the package."""
    return str(resources.files("tamsu").joinpath("models", DEFAULT_MODEL))


@dataclass(frozen=True)
class DecodeSettings:
    """Where the model is and the arguments of phoneticize_paths."""
    model: str
    delim: str = ""
    nbest: int = 1
    beam: int = 10000
    threshold: float = 99.0
    pmass: float = 99.0
    accumulate: bool = False


@dataclass(frozen=True)
class Pronunciation:
    """One decoded path: its phonemes and weight."""
    phonemes: tuple[str, ...]
    weight: float  # tropical weight; with pmass, -log of the path's share

    @property
    def probability(self) -> float:
        """exp(-weight): the path's share when decoded with pmass."""
        return math.exp(-self.weight)


class _Decoder:
    def __init__(self, settings: DecodeSettings) -> None:
        self._settings = settings
        self._model = Model(settings.model, settings.delim)
        self._texts: dict[int, str] = {}

    def _text(self, label: int) -> str:
        text = self._texts.get(label)
        if text is None:
            text = self._model.find_osym(label) or ""
            self._texts[label] = text
        return text

    def decode(self, word: str) -> list[Pronunciation]:
        s = self._settings
        paths = self._model.phoneticize_paths(
            word, nbest=s.nbest, beam=s.beam, threshold=s.threshold,
            write_fsts=False, accumulate=s.accumulate, pmass=s.pmass)
        return [Pronunciation(tuple(self._text(label) for label in p.uniques),
                              p.path_weight) for p in paths]

    def decode_chunk(self, words: list[str]) -> list[list[Pronunciation]]:
        return [self.decode(word) for word in words]


# The decoder of a worker process, made by its initializer.
_worker_decoder: _Decoder | None = None


def _init_worker(settings: DecodeSettings) -> None:
    global _worker_decoder
    _worker_decoder = _Decoder(settings)


def _decode_in_worker(words: list[str]) -> list[list[Pronunciation]]:
    assert _worker_decoder is not None
    return _worker_decoder.decode_chunk(words)


def decode_words(words: Iterable[str], settings: DecodeSettings, *,
                 jobs: int = 1, chunk_size: int = 256
                 ) -> Iterator[tuple[str, list[Pronunciation]]]:
    """Yields (word, pronunciations) for every word, in input order.

    With jobs > 1 the words are decoded in that many worker processes,
    `chunk_size` words at a time. Raises ValueError if the model cannot be
    loaded.
    """
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    if jobs == 1:
        decoder = _Decoder(settings)  # raises before the first word
        for word in words:
            yield word, decoder.decode(word)
        return
    # The workers' initializer raises ValueError for a bad model, before the
    # first result. tee keeps only the words read ahead of their results.
    words, echoed = itertools.tee(words)
    results = ordered_map(_decode_in_worker, words, jobs=jobs,
                          initializer=_init_worker, initargs=(settings,),
                          chunk_size=chunk_size)
    for pronunciations in results:
        yield next(echoed), pronunciations

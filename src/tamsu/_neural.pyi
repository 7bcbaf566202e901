"""Neural pronunciation models decoded by the C++ core (no PyTorch)."""

import os
from typing import Literal, Sequence, TypedDict

__all__ = ["NeuralModel"]

class TransformerHyperParameters(TypedDict):
    architecture: Literal["transformer"]
    d_model: int
    heads: int
    d_ff: int
    encoder_layers: int
    decoder_layers: int

class LstmHyperParameters(TypedDict):
    architecture: Literal["lstm"]
    hidden: int
    embedding: int
    encoder_layers: int
    decoder_layers: int

HyperParameters = TransformerHyperParameters | LstmHyperParameters

class NeuralModel:
    """A neural pronunciation model file, loaded and checked; raises
    OSError (with errno and filename) when it cannot be opened, and
    ValueError naming the path and the problem for a damaged file."""
    def __init__(self, path: str | bytes | os.PathLike[str]) -> None: ...
    def phoneticize(self, word: str, nbest: int = 1,
                    beam: int = 5) -> list[tuple[list[str], float]]: ...
    def phoneticize_batch(self, words: Sequence[str], nbest: int = 1,
                          beam: int = 5, threads: int = 1
                          ) -> list[list[tuple[list[str], float]]]:
        """phoneticize of each word, searched side by side on `threads`
        native threads without the interpreter lock."""
    def score(self, word: str,
              candidates: Sequence[Sequence[str]]) -> list[float]: ...
    def score_batch(self, words: Sequence[str],
                    candidates: Sequence[Sequence[Sequence[str]]],
                    threads: int = 1) -> list[list[float]]:
        """score of each word and its candidates (one list per word)."""
    def unknown_graphemes(self, word: str) -> list[str]: ...
    @property
    def graphemes(self) -> tuple[str, ...]: ...
    @property
    def phonemes(self) -> tuple[str, ...]: ...
    @property
    def grapheme_form(self) -> str | None: ...
    @property
    def reversed(self) -> bool: ...
    @property
    def hyper_parameters(self) -> HyperParameters: ...


def rescore(models: Sequence[NeuralModel],
            words: Sequence[Sequence[str]],
            candidates: Sequence[Sequence[Sequence[str]]],
            priors: Sequence[Sequence[float]], weight: float,
            keep: int = 0, threads: int = 1
            ) -> list[list[list[float | None]]]:
    """Each model's log-probability of each candidate of each word, as
    [word][model][candidate]; with keep > 0, None for a candidate that
    cannot rank among the keep best by (1 - weight) * prior + weight *
    mean (see the module function's docstring)."""

"""Neural pronunciation models decoded by the C++ core (no PyTorch)."""

import os
from typing import Sequence, TypedDict

__all__ = ["NeuralModel"]

class HyperParameters(TypedDict):
    architecture: str
    d_model: int
    heads: int
    d_ff: int
    encoder_layers: int
    decoder_layers: int

class NeuralModel:
    """A neural pronunciation model file, loaded and checked; raises
    ValueError naming the path and the problem for a damaged file."""
    def __init__(self, path: str | bytes | os.PathLike[str]) -> None: ...
    def phoneticize(self, word: str, nbest: int = 1,
                    beam: int = 5) -> list[tuple[list[str], float]]: ...
    def score(self, word: str,
              candidates: Sequence[Sequence[str]]) -> list[float]: ...
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

"""Training of tamsu pronunciation models (the C++ core's entry point)."""

import os
from typing import Callable, Sequence, TypedDict

__all__ = ["defaults", "train_model"]

class TrainResult(TypedDict):
    """What train_model reports about a finished run."""
    entries: int
    floor_tokens: int
    aligned: int
    unaligned: list[int]
    chunk_types: int
    em_iterations: int
    log_likelihood: float
    ngrams: list[int]
    states: int
    arcs: int
    file_size: int

class TrainDefaults(TypedDict):
    """The default of each option train_model takes by keyword."""
    max_graphemes: int
    max_phonemes: int
    max_deleted: int
    many_to_many: bool
    iterations: int
    tolerance: float
    threads: int
    order: int
    max_ngrams: int
    prune_threshold: float
    max_unaligned: float

def defaults() -> TrainDefaults:
    """The default of each option train_model takes by keyword."""

def train_model(entries: Sequence[tuple[Sequence[str], Sequence[str]]],
                path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
                *, max_graphemes: int = ...,
                max_phonemes: int = ..., max_deleted: int = ...,
                many_to_many: bool = ..., iterations: int = ...,
                tolerance: float = ..., threads: int = ..., order: int = ...,
                max_ngrams: int = ..., prune_threshold: float = ...,
                progress: Callable[[str, int, int], object] | None = None,
                max_unaligned: float = ...,
                input_markers: Sequence[str] = ()) -> TrainResult:
    """Trains a joint-sequence model on (graphemes, phonemes) entries and
    writes it to `path`; options not given take their defaults(). A lexicon
    of which more than `max_unaligned` (a share) of entries fit no chunk is
    refused; `input_markers` are extra input symbols telling the front end
    how words were written ("<tamsu:nfd>"). Raises ValueError for bad input
    or options and OSError when the file cannot be written."""

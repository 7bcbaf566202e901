"""Training of tamsu pronunciation models (the C++ core's entry point)."""

from typing import Callable, Sequence, TypedDict

__all__ = ["train_model"]

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

def train_model(entries: Sequence[tuple[Sequence[str], Sequence[str]]],
                path: str, *, max_graphemes: int = 2, max_phonemes: int = 2,
                max_deleted: int = 1, many_to_many: bool = False,
                iterations: int = 12, tolerance: float = 1e-05,
                threads: int = 1, order: int = 7, max_ngrams: int = 0,
                prune_threshold: float = 0.0,
                progress: Callable[[str, int, int], object] | None = None,
                max_unaligned: float = 0.05,
                input_markers: Sequence[str] = ()) -> TrainResult:
    """Trains a joint-sequence model on (graphemes, phonemes) entries and
    writes it to `path`. A lexicon of which more than `max_unaligned` (a
    share) of entries fit no chunk is refused; `input_markers` are extra
    input symbols telling the front end how words were written
    ("<tamsu:nfd>"). Raises ValueError for bad input or options and OSError
    when the file cannot be written."""

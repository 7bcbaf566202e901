"""One loaded model shared by every thread, decoding batches of words."""

import os
from typing import Literal, Sequence, final, overload

__all__ = ["BatchDecoder"]

# Why a word has no list of its own making ("none": it has one).
Failure = str
# path_weight, path_weights, ilabels, olabels, uniques.
PathRecord = tuple[float, list[float], list[int], list[int], list[int]]

@final
class BatchDecoder:
    """A model loaded once, immutable, used from any thread; OSError (with
    errno and filename) when its file cannot be opened, ValueError when it
    is not a model. Each call decodes its words on `threads` native
    threads with the interpreter lock released, and returns one (paths,
    failure) pair per word in input order. Ctrl-C stops a call promptly.
    `threshold` and `pmass` of None are off; any number is used as given.
    A word that is not text (a lone surrogate) gets no paths."""

    def __new__(cls, path: str | bytes | os.PathLike[str]
                | os.PathLike[bytes], delim: str = "") -> BatchDecoder: ...
    def decode(self, words: Sequence[str], nbest: int = 1,
               beam: int = 10000, threshold: float | None = None,
               pmass: float | None = None, accumulate: bool = False,
               threads: int = 1,
               search: Literal["paths", "pronunciations"] = "paths"
               ) -> list[tuple[list[tuple[tuple[str, ...], float]],
                               Failure]]:
        """(phonemes, weight) paths, best first; paths without phonemes
        are left out. "pronunciations" searches for distinct
        pronunciations directly: the same list for less work, ties of
        equal weight in no promised order (without accumulate)."""
    def decode_paths(self, words: Sequence[str], nbest: int = 1,
                     beam: int = 10000, threshold: float | None = None,
                     pmass: float | None = None, accumulate: bool = False,
                     threads: int = 1,
                     route: Literal["auto", "openfst"] = "auto"
                     ) -> list[tuple[list[PathRecord], Failure]]:
        """The records Model.phoneticize_paths gives, as tuples; "openfst"
        takes OpenFst's search for every word."""
    def path_weights(self, words: Sequence[str],
                     candidates: Sequence[Sequence[Sequence[str]]],
                     threads: int = 1) -> list[list[float | None]]:
        """The weight of the best path of each word that spells each of its
        candidates (phoneme str), None when none does."""
    @overload
    def find_isym(self, key: str) -> int | None: ...
    @overload
    def find_isym(self, key: int) -> str | None: ...
    @overload
    def find_osym(self, key: str) -> int | None: ...
    @overload
    def find_osym(self, key: int) -> str | None: ...

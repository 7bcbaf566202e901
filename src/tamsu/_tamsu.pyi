"""The decoder: a loaded pronunciation model and its decoded paths."""

from typing import Protocol, final, overload

__all__ = ["Model", "PathData"]

class _Boolean(Protocol):
    # True, False, or a numpy boolean scalar.
    def __bool__(self) -> bool: ...

@final
class Model:
    """A grapheme-to-phoneme model loaded from an OpenFst file.

    `delim` splits words into graphemes at that character (default: one
    grapheme per character). Raises ValueError when the file cannot be
    read or is not a model. A Model may only be used, and should only be
    released, on the thread that created it: one released on another
    thread is leaked. :class:`tamsu.G2P` handles that for you.
    """

    def __new__(cls, path: str, delim: str = "") -> Model: ...
    def phoneticize(self, word: str) -> list[str]:
        """The best pronunciation's phonemes; [] when there is none."""
    def phoneticize_paths(self, word: str, nbest: int = 1,
                          beam: int = 10000, threshold: float = 99.0,
                          write_fsts: bool | _Boolean = False,
                          accumulate: bool | _Boolean = False,
                          pmass: float = 99.0) -> list[PathData]:
        """Up to `nbest` distinct pronunciations, best first, as PathData.

        At most `beam` records; none weighing more than `threshold` (when
        below 99); `accumulate` log-adds the weights of paths that spell the
        same phonemes; `pmass` below 99 turns weights into -log shares of
        the paths found and stops once their share exceeds exp(-pmass).
        `write_fsts` writes WORD.fst and WORD.lat.fst to the current folder.
        """
    def phoneticize_sampling(self, word: str, nbest: int = 1,
                             beam: int = 10000, threshold: float = 99.0,
                             pmass: float = 99.0) -> list[list[str]]:
        """Each path's phonemes, as phoneticize_paths would select them."""
    @overload
    def find_isym(self, key: str) -> int | None: ...
    @overload
    def find_isym(self, key: int) -> str | None:
        """An input symbol's label (for a str key) or text (for an int
        key); None when there is no such symbol."""
    @overload
    def find_osym(self, key: str) -> int | None: ...
    @overload
    def find_osym(self, key: int) -> str | None:
        """Like find_isym, for the output (phoneme) symbols."""

@final
class PathData:
    """One decoded path: its weights, labels and phoneme labels."""

    @property
    def path_weight(self) -> float:
        """The path's total weight (-log; smaller is better)."""
    @property
    def path_weights(self) -> list[float]:
        """The weight of each arc the path kept, in order."""
    @property
    def ilabels(self) -> list[int]:
        """The input (grapheme) label of each kept arc."""
    @property
    def olabels(self) -> list[int]:
        """The output label of each kept arc (clusters not expanded)."""
    @property
    def uniques(self) -> list[int]:
        """The path's phoneme labels: clusters expanded, labels 0-2 left
        out. Model.find_osym turns each into its text."""

# Private controls for tests and benchmarks.
def _set_route(model: Model, route: str, /) -> None: ...
def _route(model: Model, /) -> tuple[str, str]: ...
def _last_failure(model: Model, /) -> str: ...
def _last_work(model: Model, /) -> tuple[int, int]: ...

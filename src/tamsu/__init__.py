"""tamsu: fast grapheme-to-phoneme conversion over OpenFst."""

from tamsu._tamsu import Model, PathData

__all__ = ["Model", "PathData"]

"""tamsu: fast grapheme-to-phoneme conversion over OpenFst."""

from tamsu._tamsu import Model, PathData
from tamsu.batch import default_model_path
from tamsu.evaluation import evaluate
from tamsu.training import train

__all__ = ["Model", "PathData", "default_model_path", "evaluate", "train"]

"""tamsu: fast grapheme-to-phoneme conversion over OpenFst.

Start with :class:`G2P` (pronunciations of words: normalised input, the
shipped dictionary first, then the model); :class:`Model` is the decoder
underneath, :func:`train` makes models and :func:`evaluate` measures them.
"""

from importlib import metadata as _metadata

from tamsu._tamsu import Model, PathData
from tamsu.decoding import default_g2p_model_path, default_model_path
from tamsu.dictionary import PronunciationDictionary, default_dictionary_path
from tamsu.evaluation import evaluate
from tamsu.g2p import (DEFAULT, G2P, MAX_WORD_LENGTH, G2PWarning,
                       Pronunciation, SkippedWordWarning,
                       UnknownCharacterWarning)
from tamsu.training import train

try:
    __version__: str = _metadata.version("tamsu")
    """The installed package's version (one source: meson.build's project
    version, which pyproject.toml takes as dynamic)."""
except _metadata.PackageNotFoundError:  # imported without being installed
    __version__ = "0+unknown"

__all__ = ["DEFAULT", "G2P", "G2PWarning", "MAX_WORD_LENGTH", "Model",
           "PathData", "Pronunciation", "PronunciationDictionary",
           "SkippedWordWarning", "UnknownCharacterWarning", "__version__",
           "default_dictionary_path", "default_g2p_model_path",
           "default_model_path", "evaluate", "train"]

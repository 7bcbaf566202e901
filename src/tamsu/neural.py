"""Neural pronunciation models: training with PyTorch, export for the C++ core.

A neural model is a small character-level encoder-decoder: a transformer
(:class:`NeuralArchitecture`) or a bidirectional LSTM encoder with an
attending LSTM decoder (:class:`LstmArchitecture`). It is trained here with PyTorch (Debian's `python3-torch`) and written to a
self-describing file that the C++ core (`tamsu._neural.NeuralModel`) loads
and decodes without PyTorch; the layout and the network's equations are
documented in src/neural/neural_model.h. PyTorch is imported only by the
functions that train or export, so `import tamsu` never needs it.
"""

from __future__ import annotations

import array
import os
import struct
import sys
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

from tamsu.child_process import run_in_child
from tamsu.files import write_whole
from tamsu.graphemes import FORMS
from tamsu.lexicon import Lexicon, read_lexicon

__all__ = ["Architecture", "EpochProgress", "LstmArchitecture",
           "NeuralArchitecture", "NeuralTrainReport", "PARTNER", "TORCH_HINT",
           "build_network", "export_neural", "train_neural"]

TORCH_HINT = ("training a neural model needs PyTorch: install python3-torch "
              "(Debian) or torch")

MAGIC = b"TAMSU-NN"
FORMAT_VERSION = 1
TRANSFORMER, LSTM = 1, 2
GRAPHEME_SPECIALS = ("<pad>",)
PHONEME_SPECIALS = ("<pad>", "<s>", "</s>")
PAD, START, END = 0, 1, 2
_FORM_CODES = {None: 0, "nfc": 1, "nfd": 2}


@dataclass(frozen=True)
class NeuralArchitecture:
    """The transformer's shape (what the model file's header records)."""
    d_model: int = 128
    heads: int = 4
    d_ff: int = 512
    encoder_layers: int = 3
    decoder_layers: int = 3


@dataclass(frozen=True)
class LstmArchitecture:
    """The LSTM network's shape: a bidirectional LSTM encoder of `hidden`
    outputs (half each way) and an LSTM decoder of width `hidden` that
    attends to them, over symbol embeddings of width `embedding`."""
    hidden: int = 256
    embedding: int = 128
    encoder_layers: int = 2
    decoder_layers: int = 1

    def __post_init__(self) -> None:
        if self.hidden < 2 or self.hidden % 2 or min(
                self.embedding, self.encoder_layers, self.decoder_layers) < 1:
            raise ValueError("an LSTM network needs an even hidden width and "
                             "at least one embedding column and layer a side")


Architecture = NeuralArchitecture | LstmArchitecture

PARTNER = LstmArchitecture(hidden=128, embedding=64)
"""The network of a bundle's second member, which reads the other way round
(`reverse=True`): a quarter of the default network's arithmetic per step,
so that the pair costs about a third more per word than its first member
alone, and the partner trains in about half the first's time; it makes
as few errors beside it as a second full-size model
(bench/neural_multilingual.py --partner 128)."""


def _header_fields(a: Architecture) -> tuple[int, ...]:
    """The file header's architecture and its five shape fields."""
    if isinstance(a, LstmArchitecture):
        return (LSTM, a.hidden, 1, a.embedding, a.encoder_layers,
                a.decoder_layers)
    return (TRANSFORMER, a.d_model, a.heads, a.d_ff, a.encoder_layers,
            a.decoder_layers)


@dataclass(frozen=True)
class EpochProgress:
    """What a progress callback learns after each epoch."""
    epoch: int
    epochs: int
    loss: float          # mean training loss of the epoch
    dev_wer: float       # greedy word error rate on the dev words, in %
    best_dev_wer: float
    seconds: float


@dataclass(frozen=True)
class NeuralTrainReport:
    path: str
    entries: int
    dev_words: int
    graphemes: str       # the grapheme form the words were trained in
    parameters: int
    epochs: int          # epochs run
    best_epoch: int      # the best epoch
    averaged: int        # epochs whose weights were averaged (1: the best's)
    dev_wer: float       # its greedy dev word error rate, in %
    stopped: str         # "epochs", "patience" or "time budget"
    seconds: float
    cpu_seconds: float   # processor time of this process during the run
    # The dev words (in the grapheme form trained) and their references,
    # left to right: what a bundle's weight is tuned on.
    dev: list[tuple[str, list[tuple[str, ...]]]] = field(
        default_factory=list, repr=False)
    # The digest of the words trained on (tamsu.lexicon.words_digest): an
    # n-gram model for its bundle must record the same (tune_bundle).
    trained_on: str = ""


def build_network(architecture: Architecture, graphemes: int,
                  phonemes: int, dropout: float = 0.0) -> Any:
    """A PyTorch module of the model file's network for `graphemes` and
    `phonemes` symbols, specials included: a
    :class:`tamsu.neural_torch.Transformer` (pre-norm, ReLU, sinusoidal
    positions) or a :class:`tamsu.neural_torch.LstmAttention`. Raises
    ImportError with a hint when PyTorch is missing."""
    from tamsu.neural_torch import LstmAttention, Transformer
    if isinstance(architecture, LstmArchitecture):
        return LstmAttention(architecture, graphemes, phonemes, dropout)
    return Transformer(architecture, graphemes, phonemes, dropout)


def _file_name(key: str) -> str:
    """The file's tensor name of a state_dict key."""
    parts = key.split(".")
    if parts[1] == "embed":
        return f"{parts[0]}.embed"
    if parts[1] == "layers":
        del parts[1]
        if parts[0] == "dec" and parts[2] == "attn":
            parts[2] = "self"
    return ".".join(parts)


def _symbols(texts: Sequence[str]) -> bytes:
    out = bytearray()
    for text in texts:
        data = text.encode("utf-8")
        out += struct.pack("<I", len(data)) + data
    return bytes(out)


def export_neural(module: Any, path: str | os.PathLike[str], *,
                  architecture: Architecture,
                  graphemes: Sequence[str], phonemes: Sequence[str],
                  form: str | None = None, reverse: bool = False) -> None:
    """Writes `module` (from build_network) as a model file.

    `graphemes` and `phonemes` are the symbol tables without their special
    symbols, in id order after them. The file replaces `path` once it is
    complete.
    """
    write_whole(path, model_bytes(module, architecture, graphemes,
                                   phonemes, form, reverse))


def model_bytes(module: Any, architecture: Architecture,
                 graphemes: Sequence[str], phonemes: Sequence[str],
                 form: str | None, reverse: bool) -> bytes:
    """The model file of export_neural's arguments."""
    if form not in _FORM_CODES:
        raise ValueError(f"unknown grapheme form {form!r}")
    grapheme_table = [*GRAPHEME_SPECIALS, *graphemes]
    phoneme_table = [*PHONEME_SPECIALS, *phonemes]
    tensors = [(_file_name(key), value.detach().to("cpu").float())
               for key, value in module.state_dict().items()]
    table = bytearray()
    data = array.array("f")
    for name, value in tensors:
        encoded = name.encode("ascii")
        table += struct.pack("<I", len(encoded)) + encoded
        table += struct.pack("<I", value.dim())
        table += struct.pack(f"<{value.dim()}I", *value.shape)
        table += struct.pack("<Q", len(data))
        data.extend(value.reshape(-1).tolist())
    if sys.byteorder != "little":
        data.byteswap()
    head = MAGIC + struct.pack(
        "<12IQ", FORMAT_VERSION, *_header_fields(architecture),
        _FORM_CODES[form], int(reverse),
        len(grapheme_table), len(phoneme_table), len(tensors), len(data))
    body = bytearray(head + _symbols(grapheme_table) +
                     _symbols(phoneme_table) + table)
    body += bytes(-len(body) % 4) + data.tobytes()
    body += struct.pack("<I", zlib.crc32(body))
    return bytes(body)


@dataclass(frozen=True)
class NetworkFile:
    """A model file read back for training (:func:`read_network`)."""
    architecture: Architecture
    graphemes: list[str]   # without the special symbols
    phonemes: list[str]
    form: str | None
    reverse: bool
    # The tensors by their file names: shape and values, row-major.
    tensors: dict[str, tuple[tuple[int, ...], array.array[float]]]


def read_network(path: str | os.PathLike[str]) -> NetworkFile:
    """Reads a model file written by :func:`export_neural` (to train it
    further); ValueError when it is not one, or damaged."""
    with open(path, "rb") as f:
        body = f.read()
    head = struct.calcsize("<12IQ")
    if (len(body) < len(MAGIC) + head + 4 or not body.startswith(MAGIC)
            or struct.unpack_from("<I", body, len(body) - 4)[0]
            != zlib.crc32(body[:-4])):
        raise ValueError(f"{os.fspath(path)} is not a tamsu neural model "
                         f"file, or it is damaged")
    (version, kind, *shape, form, reverse, n_graphemes, n_phonemes,
     n_tensors, n_values) = struct.unpack_from("<12IQ", body, len(MAGIC))
    if version != FORMAT_VERSION or kind not in (TRANSFORMER, LSTM):
        raise ValueError(f"{os.fspath(path)}: unknown model file version "
                         f"{version} or network {kind}")
    at = len(MAGIC) + head

    def unpack(fmt: str) -> tuple[Any, ...]:
        nonlocal at
        values = struct.unpack_from(fmt, body, at)
        at += struct.calcsize(fmt)
        return values

    def text() -> str:
        (size,) = unpack("<I")
        (data,) = unpack(f"<{size}s")
        return str(data.decode("utf-8"))

    graphemes = [text() for _ in range(n_graphemes)]
    phonemes = [text() for _ in range(n_phonemes)]
    table = []
    for _ in range(n_tensors):
        name = text()
        (dims,) = unpack("<I")
        table.append((name, unpack(f"<{dims}I"), unpack("<Q")[0]))
    at += -at % 4
    values = array.array("f")
    values.frombytes(body[at:at + 4 * n_values])
    if sys.byteorder != "little":
        values.byteswap()
    tensors = {}
    for name, dims, offset in table:
        size = 1
        for d in dims:
            size *= d
        tensors[name] = (tuple(dims), values[offset:offset + size])
    architecture: Architecture = (
        LstmArchitecture(shape[0], shape[2], shape[3], shape[4])
        if kind == LSTM else NeuralArchitecture(*shape))
    forms = {code: name for name, code in _FORM_CODES.items()}
    return NetworkFile(architecture, graphemes[len(GRAPHEME_SPECIALS):],
                       phonemes[len(PHONEME_SPECIALS):], forms.get(form),
                       bool(reverse), tensors)


def lexicon_of(source: str | os.PathLike[str] | Lexicon,
             strip_stress: bool) -> Lexicon:
    if isinstance(source, Lexicon):
        return source
    return read_lexicon(source, strip_stress=strip_stress)


@dataclass(frozen=True)
class NeuralOptions:
    """train_neural's options, as the training child gets them
    (:func:`tamsu.neural_torch.train_here`); ValueError for values that
    cannot train.

    The default schedule follows the usual curve (1e-3 * sqrt(400 /
    step)) from step 100 on but reaches it after 100 batches instead of
    400: a pre-norm transformer needs little warm-up, and 400 batches are
    seven epochs of a 3,600-word lexicon, most of a short budget on a busy
    machine.
    """
    dev_share: float
    architecture: Architecture
    epochs: int
    time_budget: float | None
    patience: int
    batch_size: int
    learning_rate: float
    warmup_steps: int
    dropout: float
    label_smoothing: float
    average: int
    seed: int
    threads: int
    graphemes: str
    strip_stress: bool
    reverse: bool
    # A model file to start from, and the epochs it was trained for: the
    # learning rate goes on from where those epochs left it.
    init: str | None = None
    init_epochs: int = 0

    def __post_init__(self) -> None:
        if self.graphemes != "auto" and self.graphemes not in FORMS:
            raise ValueError(f"graphemes must be 'auto', 'nfc' or 'nfd', not "
                             f"{self.graphemes!r}")
        if min(self.threads, self.epochs, self.batch_size, self.patience,
               self.average) < 1:
            raise ValueError("threads, epochs, batch_size, patience and "
                             "average must be at least 1")
        if not 0.0 <= self.dev_share < 1.0:
            raise ValueError("dev_share must be at least 0 and below 1")
        if self.init_epochs < 0:
            raise ValueError("init_epochs must not be negative")


def train_neural(lexicon: str | os.PathLike[str] | Lexicon,
                 output: str | os.PathLike[str], *,
                 dev: str | os.PathLike[str] | Lexicon | None = None,
                 dev_share: float = 0.05,
                 architecture: Architecture = LstmArchitecture(),
                 epochs: int = 200, time_budget: float | None = None,
                 patience: int = 15, batch_size: int = 32,
                 learning_rate: float = 2e-3, warmup_steps: int = 100,
                 dropout: float = 0.1, label_smoothing: float = 0.1,
                 average: int = 3, seed: int = 0, threads: int = 1,
                 graphemes: str = "auto", strip_stress: bool = False,
                 reverse: bool = False,
                 init: str | os.PathLike[str] | None = None,
                 init_epochs: int = 0,
                 progress: Callable[[EpochProgress], object] | None = None,
                 ) -> NeuralTrainReport:
    """Trains a neural model on `lexicon` and writes it to `output`.

    The network is `architecture`: by default the LSTM one
    (:class:`LstmArchitecture`), which makes fewer errors than the
    transformer (:class:`NeuralArchitecture`) on lexicons of a few
    thousand words (bench/neural_multilingual.py).

    Words are split into characters in the Unicode form `graphemes`
    ("nfc", "nfd", or "auto": tamsu.graphemes.choose_form). The dev words
    are `dev` (a lexicon) or, when it is None, a `dev_share` of the
    lexicon's distinct words set aside (chosen by `seed`). After each epoch
    the greedy word error rate on them is measured; training stops after
    `epochs`, after `patience` epochs without a better one, or before an
    epoch that would end after `time_budget` seconds (judged by the mean
    epoch so far), and the weights of the best epoch are written.
    The weights written are the mean of the `average` best epochs' when
    that measures at least as well on the dev words as the best epoch's
    alone (averaging neighbouring epochs usually gains a point or two),
    otherwise the best epoch's. `progress(EpochProgress)` is called after
    each epoch.

    The learning rate rises linearly to `learning_rate` over
    `warmup_steps` batches, then falls as 1/sqrt(step) (see
    :class:`NeuralOptions`).

    `init` continues training a model file written here before, on a
    lexicon of the same symbols (its network replaces `architecture`;
    ValueError when the graphemes, phonemes, form or direction differ).
    The learning rate then goes on from where `init_epochs` epochs of
    this lexicon left it, after a warm-up of `warmup_steps` batches (the
    optimiser's running averages start afresh).

    The training runs in a child process (tamsu.child_process), which
    sets the matrix library's thread count to `threads` (OpenBLAS's where
    PyTorch uses it, else PyTorch's own; 1 by default: a second thread
    gains little on this model's small products, and on a busy machine
    more threads per process are far slower) and seeds PyTorch's random
    state: this process's thread counts and random state are never
    touched, nor is PyTorch imported here. The run is deterministic for a
    given seed and thread count. An exception here while it runs (Ctrl-C,
    one raised by `progress`) stops the child and leaves no file at
    `output`. `reverse` trains right to left (the file records it; the
    core turns words and pronunciations round). Raises ImportError with a
    hint when PyTorch is missing, ValueError for bad options, LexiconError
    for an unusable lexicon, PermissionError (before training) when the
    output's directory is not writable.
    """
    options = NeuralOptions(
        dev_share=dev_share, architecture=architecture, epochs=epochs,
        time_budget=time_budget, patience=patience, batch_size=batch_size,
        learning_rate=learning_rate, warmup_steps=warmup_steps,
        dropout=dropout, label_smoothing=label_smoothing, average=average,
        seed=seed, threads=threads, graphemes=graphemes,
        strip_stress=strip_stress, reverse=reverse,
        init=None if init is None else os.fspath(init),
        init_epochs=init_epochs)
    directory = os.path.dirname(os.path.abspath(output))
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write the model to {os.fspath(output)}:"
                              f" {directory} is not a writable directory")
    report, data = run_in_child(
        "tamsu.neural_torch:train_here",
        {"lexicon": _picklable(lexicon), "dev": _picklable(dev),
         "output": os.fspath(output), "options": options}, progress)
    write_whole(output, data)
    assert isinstance(report, NeuralTrainReport)
    return report


def _picklable(source: str | os.PathLike[str] | Lexicon | None
               ) -> str | Lexicon | None:
    return os.fspath(source) if isinstance(source, os.PathLike) else source



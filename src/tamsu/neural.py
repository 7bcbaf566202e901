"""Neural pronunciation models: training with PyTorch, export for the C++ core.

A neural model is a small character-level transformer encoder-decoder. It
is trained here with PyTorch (Debian's `python3-torch`) and written to a
self-describing file that the C++ core (`tamsu._neural.NeuralModel`) loads
and decodes without PyTorch; the layout and the network's equations are
documented in src/neural/neural_model.h. PyTorch is imported only by the
functions that train or export, so `import tamsu` never needs it.
"""

from __future__ import annotations

import array
import copy
import ctypes
import math
import os
import random
import struct
import sys
import time
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

from tamsu.child_process import run_in_child
from tamsu.files import write_whole
from tamsu.graphemes import FORMS, choose_form, normalise_word
from tamsu.lexicon import Lexicon, read_lexicon

__all__ = ["EpochProgress", "NeuralArchitecture", "NeuralTrainReport",
           "TORCH_HINT", "build_transformer", "export_neural", "train_neural"]

TORCH_HINT = ("training a neural model needs PyTorch: install python3-torch "
              "(Debian) or torch")

MAGIC = b"TAMSU-NN"
FORMAT_VERSION = 1
TRANSFORMER = 1
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


def _import_torch() -> Any:
    try:
        import torch
    except ImportError:
        raise ImportError(TORCH_HINT) from None
    return torch


def _positions(torch: Any, length: int, d: int) -> Any:
    """Sinusoidal position encodings [length, d], computed in float64 like
    the C++ core does, then rounded to float32."""
    pos = torch.arange(length, dtype=torch.float64).unsqueeze(1)
    j = torch.arange(d, dtype=torch.float64)
    angle = pos / torch.pow(10000.0, (j - j % 2) / d)
    pe = torch.where(j % 2 == 0, torch.sin(angle), torch.cos(angle))
    return pe.to(torch.float32)


def build_transformer(architecture: NeuralArchitecture, graphemes: int,
                      phonemes: int, dropout: float = 0.0) -> Any:
    """A PyTorch module of the file's architecture (pre-norm transformer,
    ReLU, sinusoidal positions) for `graphemes` and `phonemes` symbols,
    specials included. forward(source, target_in) gives log-probabilities
    [batch, target length, phonemes]; source and target_in are padded with
    id 0."""
    torch = _import_torch()
    nn = torch.nn
    Module: Any = nn.Module
    a = architecture

    class Dropout(Module):  # type: ignore[misc]
        """nn.Dropout's function with a uniform draw per element, which
        costs a third less than its Bernoulli sampler on the CPU."""

        def forward(self, x: Any) -> Any:
            if not self.training or dropout == 0.0:
                return x
            keep = torch.rand_like(x) >= dropout
            return x * keep * (1.0 / (1.0 - dropout))

    class Attention(Module):  # type: ignore[misc]
        def __init__(self) -> None:
            super().__init__()
            self.q, self.k, self.v, self.o = (
                nn.Linear(a.d_model, a.d_model) for _ in range(4))
            self.drop = Dropout()

        def forward(self, x: Any, memory: Any, blocked: Any) -> Any:
            b, t, d = x.shape
            s, w = memory.shape[1], d // a.heads
            q = self.q(x).view(b, t, a.heads, w).transpose(1, 2)
            k = self.k(memory).view(b, s, a.heads, w).transpose(1, 2)
            v = self.v(memory).view(b, s, a.heads, w).transpose(1, 2)
            scores = q @ k.transpose(-1, -2) / math.sqrt(w)
            scores = scores.masked_fill(blocked.unsqueeze(1), float("-inf"))
            mixed = self.drop(scores.softmax(-1)) @ v
            return self.o(mixed.transpose(1, 2).reshape(b, t, d))

    class Layer(Module):  # type: ignore[misc]
        def __init__(self, cross: bool) -> None:
            super().__init__()
            self.norm1, self.norm2 = nn.LayerNorm(a.d_model), nn.LayerNorm(a.d_model)
            self.attn = Attention()
            if cross:
                self.norm3 = nn.LayerNorm(a.d_model)
                self.cross = Attention()
            self.ff1 = nn.Linear(a.d_model, a.d_ff)
            self.ff2 = nn.Linear(a.d_ff, a.d_model)
            self.drop = Dropout()

        def forward(self, x: Any, blocked: Any, memory: Any = None,
                    memory_blocked: Any = None) -> Any:
            h = self.norm1(x)
            x = x + self.drop(self.attn(h, h, blocked))
            last = self.norm2
            if memory is not None:
                x = x + self.drop(self.cross(self.norm2(x), memory,
                                             memory_blocked))
                last = self.norm3
            hidden = self.drop(torch.relu(self.ff1(last(x))))
            return x + self.drop(self.ff2(hidden))

    class Stack(Module):  # type: ignore[misc]
        def __init__(self, symbols: int, layers: int, cross: bool) -> None:
            super().__init__()
            self.embed = nn.Embedding(symbols, a.d_model)
            # Unit-norm rows once scaled by sqrt(d_model): the positions
            # stay audible next to the symbols.
            nn.init.normal_(self.embed.weight, 0.0, a.d_model ** -0.5)
            self.layers = nn.ModuleList(Layer(cross) for _ in range(layers))
            self.norm = nn.LayerNorm(a.d_model)
            self.drop = Dropout()

        def embedded(self, tokens: Any) -> Any:
            x = self.embed(tokens) * math.sqrt(a.d_model)
            return self.drop(x + _positions(torch, tokens.shape[1], a.d_model))

    class Transformer(Module):  # type: ignore[misc]
        def __init__(self) -> None:
            super().__init__()
            self.enc = Stack(graphemes, a.encoder_layers, False)
            self.dec = Stack(phonemes, a.decoder_layers, True)
            self.out = nn.Linear(a.d_model, phonemes)

        def encode(self, source: Any) -> tuple[Any, Any]:
            blocked = (source == PAD).unsqueeze(1)
            x = self.enc.embedded(source)
            for layer in self.enc.layers:
                x = layer(x, blocked)
            return self.enc.norm(x), blocked

        def decode(self, memory: Any, memory_blocked: Any,
                   target_in: Any) -> Any:
            t = target_in.shape[1]
            causal = torch.ones(t, t, dtype=torch.bool).triu(1).unsqueeze(0)
            y = self.dec.embedded(target_in)
            for layer in self.dec.layers:
                y = layer(y, causal, memory, memory_blocked)
            return torch.log_softmax(self.out(self.dec.norm(y)), -1)

        def forward(self, source: Any, target_in: Any) -> Any:
            return self.decode(*self.encode(source), target_in)

    return Transformer()


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
                  architecture: NeuralArchitecture,
                  graphemes: Sequence[str], phonemes: Sequence[str],
                  form: str | None = None, reverse: bool = False) -> None:
    """Writes `module` (from build_transformer) as a model file.

    `graphemes` and `phonemes` are the symbol tables without their special
    symbols, in id order after them. The file replaces `path` once it is
    complete.
    """
    write_whole(path, _model_bytes(module, architecture, graphemes,
                                   phonemes, form, reverse))


def _model_bytes(module: Any, architecture: NeuralArchitecture,
                 graphemes: Sequence[str], phonemes: Sequence[str],
                 form: str | None, reverse: bool) -> bytes:
    """The model file of export_neural's arguments."""
    if form not in _FORM_CODES:
        raise ValueError(f"unknown grapheme form {form!r}")
    a = architecture
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
        "<12IQ", FORMAT_VERSION, TRANSFORMER, a.d_model, a.heads, a.d_ff,
        a.encoder_layers, a.decoder_layers, _FORM_CODES[form], int(reverse),
        len(grapheme_table), len(phoneme_table), len(tensors), len(data))
    body = bytearray(head + _symbols(grapheme_table) +
                     _symbols(phoneme_table) + table)
    body += bytes(-len(body) % 4) + data.tobytes()
    body += struct.pack("<I", zlib.crc32(body))
    return bytes(body)


def _lexicon(source: str | os.PathLike[str] | Lexicon,
             strip_stress: bool) -> Lexicon:
    if isinstance(source, Lexicon):
        return source
    return read_lexicon(source, strip_stress=strip_stress)


def _split_dev(words: list[str], share: float, seed: int) -> set[str]:
    """A deterministic share of the distinct words, at least one when there
    are ten or more words."""
    count = round(len(words) * share)
    if count == 0 and len(words) >= 10 and share > 0:
        count = 1
    return set(random.Random(seed).sample(sorted(words), count))


def _batch(torch: Any, sequences: Sequence[Sequence[int]]) -> Any:
    width = max(len(s) for s in sequences)
    return torch.tensor([list(s) + [PAD] * (width - len(s))
                         for s in sequences], dtype=torch.long)


def _batches(examples: Sequence[tuple[list[int], list[int]]],
             batch_size: int, order: random.Random) -> list[list[int]]:
    """One epoch's batches of example indices: shuffled, then sorted by
    length within pools of 32 batches, so that a batch holds words of
    about one length (little padding, the work of a batch is mostly real),
    and the batches themselves shuffled."""
    indices = list(range(len(examples)))
    order.shuffle(indices)
    pool = 32 * batch_size
    batches: list[list[int]] = []
    for first in range(0, len(indices), pool):
        chunk = sorted(indices[first:first + pool],
                       key=lambda i: (len(examples[i][0]), len(examples[i][1])))
        batches += [chunk[k:k + batch_size]
                    for k in range(0, len(chunk), batch_size)]
    order.shuffle(batches)
    return batches


def _hold_threads(torch: Any, threads: int) -> None:
    """Gives this process's matrix products `threads` threads: OpenBLAS's
    where PyTorch uses it (set_num_threads does not reach it, and an
    OpenBLAS built with pthreads starts one thread per processor), with
    PyTorch's own pool at one. Its pool on top of OpenBLAS's oversubscribes
    the cores: one epoch of Dutch took 62 s on 2+2 threads, 17 s on
    OpenBLAS's 2 and 20 s on 1+1. Process-wide: only the training child
    calls it."""
    try:
        ctypes.CDLL("libblas.so.3").openblas_set_num_threads(threads)
    except (OSError, AttributeError):
        torch.set_num_threads(threads)
    else:
        torch.set_num_threads(1)


def _greedy(torch: Any, model: Any, sources: list[list[int]],
            batch_size: int) -> list[tuple[int, ...]]:
    """Greedy transcriptions (phoneme ids) of grapheme id sequences."""
    results: list[tuple[int, ...]] = []
    for first in range(0, len(sources), batch_size):
        chunk = sources[first:first + batch_size]
        memory, blocked = model.encode(_batch(torch, chunk))
        limit = 2 * max(len(s) for s in chunk) + 8
        out = torch.full((len(chunk), 1), START, dtype=torch.long)
        done = torch.zeros(len(chunk), dtype=torch.bool)
        for _ in range(limit):
            best = model.decode(memory, blocked, out)[:, -1].argmax(-1)
            best = best.masked_fill(done, PAD)
            out = torch.cat([out, best.unsqueeze(1)], 1)
            done |= best == END
            if bool(done.all()):
                break
        for row in out[:, 1:].tolist():
            results.append(tuple(row[:row.index(END)] if END in row else row))
    return results


@dataclass(frozen=True)
class _Options:
    """train_neural's options, as the training child gets them."""
    dev_share: float
    architecture: NeuralArchitecture
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


def train_neural(lexicon: str | os.PathLike[str] | Lexicon,
                 output: str | os.PathLike[str], *,
                 dev: str | os.PathLike[str] | Lexicon | None = None,
                 dev_share: float = 0.05,
                 architecture: NeuralArchitecture = NeuralArchitecture(),
                 epochs: int = 200,
                 time_budget: float | None = None,
                 patience: int = 15,
                 batch_size: int = 32,
                 learning_rate: float = 2e-3,
                 warmup_steps: int = 100,
                 dropout: float = 0.1,
                 label_smoothing: float = 0.1,
                 average: int = 3,
                 seed: int = 0,
                 threads: int = 1,
                 graphemes: str = "auto",
                 strip_stress: bool = False,
                 reverse: bool = False,
                 progress: Callable[[EpochProgress], object] | None = None,
                 ) -> NeuralTrainReport:
    """Trains a neural model on `lexicon` and writes it to `output`.

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
    `warmup_steps` batches, then falls as 1/sqrt(step). The defaults
    follow the usual curve (1e-3 * sqrt(400 / step)) from step 100 on but
    reach it after 100 batches instead of 400: a pre-norm transformer
    needs little warm-up, and 400 batches are seven epochs of a 3,600-word
    lexicon, most of a short budget on a busy machine.

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
    if graphemes != "auto" and graphemes not in FORMS:
        raise ValueError(f"graphemes must be 'auto', 'nfc' or 'nfd', not "
                         f"{graphemes!r}")
    if min(threads, epochs, batch_size, patience, average) < 1:
        raise ValueError("threads, epochs, batch_size, patience and average "
                         "must be at least 1")
    if not 0.0 <= dev_share < 1.0:
        raise ValueError("dev_share must be at least 0 and below 1")
    directory = os.path.dirname(os.path.abspath(output))
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write the model to {os.fspath(output)}:"
                              f" {directory} is not a writable directory")
    options = _Options(
        dev_share=dev_share, architecture=architecture, epochs=epochs,
        time_budget=time_budget, patience=patience, batch_size=batch_size,
        learning_rate=learning_rate, warmup_steps=warmup_steps,
        dropout=dropout, label_smoothing=label_smoothing, average=average,
        seed=seed, threads=threads, graphemes=graphemes,
        strip_stress=strip_stress, reverse=reverse)
    report, data = run_in_child(
        "tamsu.neural:train_here",
        {"lexicon": _picklable(lexicon), "dev": _picklable(dev),
         "output": os.fspath(output), "options": options}, progress)
    write_whole(output, data)
    assert isinstance(report, NeuralTrainReport)
    return report


def _picklable(source: str | os.PathLike[str] | Lexicon | None
               ) -> str | Lexicon | None:
    return os.fspath(source) if isinstance(source, os.PathLike) else source


def train_here(lexicon: str | Lexicon, dev: str | Lexicon | None,
               output: str, options: _Options,
               progress: Callable[[EpochProgress], object]
               ) -> tuple[NeuralTrainReport, bytes]:
    """train_neural's training in this process (the child it starts):
    the report and the model file's bytes. Sets the process's thread
    counts and seeds PyTorch's global random state."""
    started, cpu_started = time.monotonic(), time.process_time()
    o = options
    architecture = o.architecture
    torch = _import_torch()
    source = _lexicon(lexicon, o.strip_stress)
    form = (choose_form(e.word for e in source.entries)
            if o.graphemes == "auto" else o.graphemes)

    def pairs(lex: Lexicon) -> list[tuple[str, tuple[str, ...]]]:
        return [(normalise_word(e.word, form), e.phonemes)
                for e in lex.entries]

    train_pairs = pairs(source)
    if dev is None:
        held = _split_dev(list({w for w, _ in train_pairs}), o.dev_share,
                          o.seed)
        dev_pairs = [p for p in train_pairs if p[0] in held]
        train_pairs = [p for p in train_pairs if p[0] not in held]
    else:
        dev_pairs = pairs(_lexicon(dev, o.strip_stress))
    dev_references: dict[str, list[tuple[str, ...]]] = {}
    for w, ps in dev_pairs:
        dev_references.setdefault(w, []).append(ps)
    if o.reverse:
        train_pairs = [(w[::-1], p[::-1]) for w, p in train_pairs]
        dev_pairs = [(w[::-1], p[::-1]) for w, p in dev_pairs]
    grapheme_list = sorted({c for w, _ in train_pairs for c in w})
    phoneme_list = sorted({p for _, ps in train_pairs for p in ps})
    g_ids = {g: i for i, g in enumerate(grapheme_list, len(GRAPHEME_SPECIALS))}
    p_ids = {p: i for i, p in enumerate(phoneme_list, len(PHONEME_SPECIALS))}
    examples = [([g_ids[c] for c in w], [p_ids[p] for p in ps])
                for w, ps in train_pairs]
    references: dict[str, set[tuple[int, ...]]] = {}
    for w, ps in dev_pairs:
        references.setdefault(w, set()).add(
            tuple(p_ids.get(p, -1) for p in ps))
    # By length, so that each greedy batch stops near its own longest word.
    dev_words = sorted(references, key=lambda w: (len(w), w))
    dev_sources = [[g_ids[c] for c in w if c in g_ids] or [PAD]
                   for w in dev_words]

    _hold_threads(torch, o.threads)
    torch.manual_seed(o.seed)
    model = build_transformer(architecture, len(g_ids) + 1,
                              len(p_ids) + 3, o.dropout)
    optimiser = torch.optim.Adam(model.parameters(), lr=o.learning_rate,
                                 betas=(0.9, 0.98))
    schedule = torch.optim.lr_scheduler.LambdaLR(
        optimiser, lambda step: min((step + 1) / o.warmup_steps,
                                    math.sqrt(o.warmup_steps / (step + 1))))
    loss_fn = torch.nn.NLLLoss(ignore_index=PAD)
    order = random.Random(o.seed)
    # The best epochs (dev WER, -epoch, weights), best first: ties
    # go to the later, better-trained epoch, and without dev words
    # (every WER 0) the latest epoch leads.
    leaders: list[tuple[float, int, Any]] = []

    def measure() -> float:
        """The model's greedy word error rate on the dev words."""
        model.eval()
        with torch.no_grad():
            guesses = _greedy(torch, model, dev_sources, 64)
        errors = sum(g not in references[w]
                     for w, g in zip(dev_words, guesses))
        return 100.0 * errors / len(dev_words) if dev_words else 0.0

    stopped, epoch = "epochs", 0
    for epoch in range(1, o.epochs + 1):
        model.train()
        total, batches = 0.0, 0
        for batch in _batches(examples, o.batch_size, order):
            chunk = [examples[i] for i in batch]
            src = _batch(torch, [g for g, _ in chunk])
            tgt_in = _batch(torch, [[START, *p] for _, p in chunk])
            tgt_out = _batch(torch, [[*p, END] for _, p in chunk])
            log_probs = model(src, tgt_in)
            flat = log_probs.reshape(-1, log_probs.shape[-1])
            nll = loss_fn(flat, tgt_out.reshape(-1))
            mask = tgt_out.reshape(-1) != PAD
            smooth = -flat[mask].mean()
            loss = (1 - o.label_smoothing) * nll + o.label_smoothing * smooth
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
            total += float(loss)
            batches += 1
        wer = measure()
        leaders = sorted(
            [*leaders, (wer, -epoch, copy.deepcopy(model.state_dict()))],
            key=lambda leader: leader[:2])[:o.average]
        best_wer, best_epoch = leaders[0][0], -leaders[0][1]
        progress(EpochProgress(epoch, o.epochs, total / max(batches, 1), wer,
                               best_wer, time.monotonic() - started))
        if epoch - best_epoch >= o.patience:
            stopped = "patience"
            break
        # Another epoch like this one would overrun the budget.
        elapsed = time.monotonic() - started
        if (o.time_budget is not None
                and elapsed * (epoch + 1) / epoch > o.time_budget):
            stopped = "time budget"
            break
    best_state, averaged = leaders[0][2], 1
    if len(leaders) > 1 and dev_words:
        model.load_state_dict({
            key: sum(state[key] for _, _, state in leaders)
            / len(leaders) for key in best_state})
        averaged_wer = measure()
        if averaged_wer <= best_wer:
            best_wer, averaged = averaged_wer, len(leaders)
    if averaged == 1:
        model.load_state_dict(best_state)
    data = _model_bytes(model, architecture, grapheme_list, phoneme_list,
                        form, o.reverse)
    report = NeuralTrainReport(
        path=output, entries=len(examples),
        dev_words=len(dev_words), graphemes=form,
        parameters=sum(p.numel() for p in model.parameters()),
        epochs=epoch, best_epoch=best_epoch, averaged=averaged,
        dev_wer=best_wer,
        stopped=stopped, seconds=time.monotonic() - started,
        cpu_seconds=time.process_time() - cpu_started,
        dev=list(dev_references.items()))
    return report, data

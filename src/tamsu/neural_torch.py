"""The neural model in PyTorch: its modules and its training loop.

Imported only where a model is trained or exported (the training child of
:func:`tamsu.neural.train_neural`, :func:`tamsu.neural.build_network`),
never by ``import tamsu``: it imports PyTorch itself. The networks'
equations are the C++ core's (src/neural/neural_model.h), so that the
exported file decodes there exactly as here. Both networks answer
``forward(source, target_in)`` (teacher-forced log-probabilities) and
``greedy(source, limit)`` (greedy decoding from <s>).
"""

from __future__ import annotations

import copy
import ctypes
import math
import random
import time
from dataclasses import dataclass
from typing import Any, Callable, Sequence

from tamsu.graphemes import choose_form, normalise_word
from tamsu.lexicon import Lexicon, split_words, words_digest
from tamsu.neural import (END, GRAPHEME_SPECIALS, PAD, PHONEME_SPECIALS,
                          START, TORCH_HINT, EpochProgress, LstmArchitecture,
                          NetworkFile, NeuralArchitecture, NeuralTrainReport,
                          NeuralOptions, _file_name, build_network,
                          lexicon_of, model_bytes, read_network)

try:
    import torch
except ImportError:
    raise ImportError(TORCH_HINT) from None

__all__ = ["LstmAttention", "Transformer", "train_here"]

nn: Any = torch.nn
_Module: Any = nn.Module


def _positions(length: int, d: int) -> Any:
    """Sinusoidal position encodings [length, d], computed in float64 like
    the C++ core does, then rounded to float32."""
    pos = torch.arange(length, dtype=torch.float64).unsqueeze(1)
    j = torch.arange(d, dtype=torch.float64)
    angle = pos / torch.pow(10000.0, (j - j % 2) / d)
    pe = torch.where(j % 2 == 0, torch.sin(angle), torch.cos(angle))
    return pe.to(torch.float32)


class Dropout(_Module):  # type: ignore[misc]
    """nn.Dropout's function with a uniform draw per element, which costs
    a third less than its Bernoulli sampler on the CPU."""

    def __init__(self, rate: float) -> None:
        super().__init__()
        self.rate = rate

    def forward(self, x: Any) -> Any:
        if not self.training or self.rate == 0.0:
            return x
        keep = torch.rand_like(x) >= self.rate
        return x * keep * (1.0 / (1.0 - self.rate))


class Attention(_Module):  # type: ignore[misc]
    """Multi-head attention of `x` over `memory`."""

    def __init__(self, a: NeuralArchitecture, dropout: float) -> None:
        super().__init__()
        self.heads = a.heads
        self.q, self.k, self.v, self.o = (
            nn.Linear(a.d_model, a.d_model) for _ in range(4))
        self.drop = Dropout(dropout)

    def forward(self, x: Any, memory: Any, blocked: Any) -> Any:
        b, t, d = x.shape
        s, w = memory.shape[1], d // self.heads
        q = self.q(x).view(b, t, self.heads, w).transpose(1, 2)
        k = self.k(memory).view(b, s, self.heads, w).transpose(1, 2)
        v = self.v(memory).view(b, s, self.heads, w).transpose(1, 2)
        scores = q @ k.transpose(-1, -2) / math.sqrt(w)
        scores = scores.masked_fill(blocked.unsqueeze(1), float("-inf"))
        mixed = self.drop(scores.softmax(-1)) @ v
        return self.o(mixed.transpose(1, 2).reshape(b, t, d))


class Layer(_Module):  # type: ignore[misc]
    """A pre-norm layer: self-attention, cross-attention in the decoder
    (`cross`), then the ReLU feed-forward."""

    def __init__(self, a: NeuralArchitecture, dropout: float,
                 cross: bool) -> None:
        super().__init__()
        self.norm1, self.norm2 = nn.LayerNorm(a.d_model), nn.LayerNorm(a.d_model)
        self.attn = Attention(a, dropout)
        if cross:
            self.norm3 = nn.LayerNorm(a.d_model)
            self.cross = Attention(a, dropout)
        self.ff1 = nn.Linear(a.d_model, a.d_ff)
        self.ff2 = nn.Linear(a.d_ff, a.d_model)
        self.drop = Dropout(dropout)

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


class Stack(_Module):  # type: ignore[misc]
    """The encoder's or the decoder's embedding, layers and final norm."""

    def __init__(self, a: NeuralArchitecture, dropout: float, symbols: int,
                 layers: int, cross: bool) -> None:
        super().__init__()
        self.d_model = a.d_model
        self.embed = nn.Embedding(symbols, a.d_model)
        # Unit-norm rows once scaled by sqrt(d_model): the positions stay
        # audible next to the symbols.
        nn.init.normal_(self.embed.weight, 0.0, a.d_model ** -0.5)
        self.layers = nn.ModuleList(Layer(a, dropout, cross)
                                    for _ in range(layers))
        self.norm = nn.LayerNorm(a.d_model)
        self.drop = Dropout(dropout)

    def embedded(self, tokens: Any) -> Any:
        x = self.embed(tokens) * math.sqrt(self.d_model)
        return self.drop(x + _positions(tokens.shape[1], self.d_model))


class Transformer(_Module):  # type: ignore[misc]
    """The model file's network for `graphemes` and `phonemes` symbols,
    specials included. forward(source, target_in) gives log-probabilities
    [batch, target length, phonemes]; source and target_in are padded with
    id 0."""

    def __init__(self, a: NeuralArchitecture, graphemes: int, phonemes: int,
                 dropout: float = 0.0) -> None:
        super().__init__()
        self.enc = Stack(a, dropout, graphemes, a.encoder_layers, False)
        self.dec = Stack(a, dropout, phonemes, a.decoder_layers, True)
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

    def greedy(self, source: Any, limit: int) -> Any:
        memory, blocked = self.encode(source)
        out = torch.full((source.shape[0], 1), START, dtype=torch.long)
        done = torch.zeros(source.shape[0], dtype=torch.bool)
        for _ in range(limit):
            best = self.decode(memory, blocked, out)[:, -1].argmax(-1)
            best = best.masked_fill(done, PAD)
            out = torch.cat([out, best.unsqueeze(1)], 1)
            done |= best == END
            if bool(done.all()):
                break
        return out


class _Side(_Module):  # type: ignore[misc]
    """An embedding and the LSTM layers reading it."""

    def __init__(self, symbols: int, embedding: int, lstm: Any) -> None:
        super().__init__()
        self.embed = nn.Embedding(symbols, embedding)
        self.lstm = lstm


class _StepProduct(torch.autograd.Function):
    """x @ weight.T at one decoder step. Its weight gradient is left to
    the batch's :class:`_StepWeights`: the (gradient, input) pair is kept,
    and `token`, the weights' stand-in, gets a zero gradient, so that the
    weights' own node runs after every step's."""

    @staticmethod
    def forward(ctx: Any, *args: Any, **kwargs: Any) -> Any:
        x, weight, token, kept = args
        ctx.save_for_backward(x, weight)
        ctx.kept = kept
        return x @ weight.t()

    @staticmethod
    def backward(ctx: Any, *grad_outputs: Any) -> Any:
        (grad,) = grad_outputs
        x, weight = ctx.saved_tensors
        ctx.kept.append((grad, x))
        return (grad @ weight if ctx.needs_input_grad[0] else None,
                None, grad.new_zeros(()), None)


class _Gathered(torch.autograd.Function):
    """A scalar standing for a batch's step weights in its products;
    backward, which autograd runs once every product's backward has run,
    gives the weights' gradient in one product over the kept rows."""

    @staticmethod
    def forward(ctx: Any, *args: Any, **kwargs: Any) -> Any:
        weights, kept = args
        ctx.kept = kept
        return weights.new_zeros(())

    @staticmethod
    def backward(ctx: Any, *grad_outputs: Any) -> Any:
        kept = ctx.kept
        grad = (torch.cat([g for g, _ in kept]).t()
                @ torch.cat([x for _, x in kept]))
        kept.clear()
        return grad, None


class _StepWeights:
    """The weights a decoder step multiplies by: parameters' column ranges
    side by side, one matrix per product. Their gradients come in one
    product over all the batch's steps, not in a small product and a
    full-size addition per step, which were most of a training step's
    time."""

    def __init__(self, pieces: Sequence[Sequence[tuple[Any, int, int]]]
                 ) -> None:
        self.weights, self.tokens, self.kept = [], [], []
        for product in pieces:
            weights = torch.cat([p[:, a:b] for p, a, b in product], 1)
            kept: list[tuple[Any, Any]] = []
            self.weights.append(weights.detach())
            self.tokens.append(_Gathered.apply(weights, kept))
            self.kept.append(kept)

    def product(self, i: int, x: Any) -> Any:
        return _StepProduct.apply(x, self.weights[i], self.tokens[i],
                                  self.kept[i])


class LstmAttention(_Module):  # type: ignore[misc]
    """The LSTM network: a bidirectional LSTM encoder; a decoder LSTM fed
    each step the last phoneme's embedding and the previous attentional
    vector; attention by the decoder state's dot product with the
    encoder's outputs through `attn`; the attentional vector
    tanh(comb([context; state])) gives the log-probabilities through
    `out`. Same interface as :class:`Transformer`.

    The decoder's cell is written out (nn.LSTM's equations and
    parameters) so that the products repeated at every step take their
    weight gradients in one product per batch."""

    def __init__(self, a: LstmArchitecture, graphemes: int, phonemes: int,
                 dropout: float = 0.0) -> None:
        super().__init__()
        h = a.hidden
        self.hidden = h
        self.embedding = a.embedding
        self.enc = _Side(graphemes, a.embedding, nn.LSTM(
            a.embedding, h // 2, a.encoder_layers, batch_first=True,
            bidirectional=True,
            dropout=dropout if a.encoder_layers > 1 else 0.0))
        self.dec = _Side(phonemes, a.embedding, nn.LSTM(
            a.embedding + h, h, a.decoder_layers, batch_first=True,
            dropout=dropout if a.decoder_layers > 1 else 0.0))
        self.attn = nn.Linear(h, h, bias=False)
        self.comb = nn.Linear(2 * h, h)
        self.out = nn.Linear(h, phonemes)
        self.drop = Dropout(dropout)

    def encode(self, source: Any) -> tuple[Any, Any, Any]:
        """The encoder's outputs, their attention keys and the padding."""
        blocked = source == PAD
        lengths = (~blocked).sum(1)
        packed = nn.utils.rnn.pack_padded_sequence(
            self.drop(self.enc.embed(source)), lengths, batch_first=True,
            enforce_sorted=False)
        memory, _ = nn.utils.rnn.pad_packed_sequence(
            self.enc.lstm(packed)[0], batch_first=True,
            total_length=source.shape[1])
        return memory, self.attn(memory), blocked

    def _step_weights(self) -> _StepWeights:
        """This batch's step products: per decoder layer [input; state]
        (layer 0's input the attentional vector fed back, its embedding
        part taken apart for all steps at once), then comb's."""
        e, h, lstm = self.embedding, self.hidden, self.dec.lstm
        layers = []
        for k in range(lstm.num_layers):
            w_ih = getattr(lstm, f"weight_ih_l{k}")
            layers.append([(w_ih, e if k == 0 else 0, w_ih.shape[1]),
                           (getattr(lstm, f"weight_hh_l{k}"), 0, h)])
        return _StepWeights([*layers, [(self.comb.weight, 0, 2 * h)]])

    def _embedded_gates(self, embedded: Any) -> Any:
        """Layer 0's gates from the phoneme embeddings, biases included."""
        lstm = self.dec.lstm
        return (embedded @ lstm.weight_ih_l0[:, :self.embedding].t()
                + lstm.bias_ih_l0 + lstm.bias_hh_l0)

    def step(self, encoded: tuple[Any, Any, Any], gates: Any, feed: Any,
             state: list[tuple[Any, Any]], weights: _StepWeights) -> Any:
        """One decoder step from layer 0's embedding gates: the
        attentional vector; `state` ((h, c) per layer) is updated."""
        memory, keys, blocked = encoded
        lstm, x = self.dec.lstm, feed
        for k, (h, c) in enumerate(state):
            if k > 0:
                x = self.drop(x) if lstm.dropout else x
                gates = (getattr(lstm, f"bias_ih_l{k}")
                         + getattr(lstm, f"bias_hh_l{k}"))
            gates = gates + weights.product(k, torch.cat([x, h], -1))
            i, f, g, o = gates.chunk(4, -1)
            c = torch.sigmoid(f) * c + torch.sigmoid(i) * torch.tanh(g)
            x = torch.sigmoid(o) * torch.tanh(c)
            state[k] = (x, c)
        scores = (keys @ x.unsqueeze(-1)).squeeze(-1)
        attention = scores.masked_fill(blocked, float("-inf")).softmax(-1)
        context = (attention.unsqueeze(1) @ memory).squeeze(1)
        return torch.tanh(weights.product(len(state),
                                          torch.cat([context, x], -1))
                          + self.comb.bias)

    def _start(self, rows: int, like: Any) -> tuple[Any, list[Any]]:
        zeros = like.new_zeros(rows, self.hidden)
        return zeros, [(zeros, zeros)] * self.dec.lstm.num_layers

    def forward(self, source: Any, target_in: Any) -> Any:
        encoded = self.encode(source)
        gates = self._embedded_gates(self.drop(self.dec.embed(target_in)))
        weights = self._step_weights()
        feed, state = self._start(source.shape[0], encoded[0])
        steps = []
        # unbind, not gates[:, t]: one gradient for all the steps, not a
        # zero-filled copy of the whole per step.
        for step_gates in gates.unbind(1):
            feed = self.drop(self.step(encoded, step_gates, feed, state,
                                       weights))
            steps.append(feed)
        return torch.log_softmax(self.out(torch.stack(steps, 1)), -1)

    def greedy(self, source: Any, limit: int) -> Any:
        encoded = self.encode(source)
        weights = self._step_weights()
        out = torch.full((source.shape[0], 1), START, dtype=torch.long)
        feed, state = self._start(source.shape[0], encoded[0])
        done = torch.zeros(source.shape[0], dtype=torch.bool)
        for _ in range(limit):
            feed = self.step(encoded, self._embedded_gates(
                self.dec.embed(out[:, -1])), feed, state, weights)
            best = self.out(feed).argmax(-1).masked_fill(done, PAD)
            out = torch.cat([out, best.unsqueeze(1)], 1)
            done |= best == END
            if bool(done.all()):
                break
        return out


def _batch(sequences: Sequence[Sequence[int]]) -> Any:
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


def _hold_threads(threads: int) -> None:
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


def _greedy(model: Any, sources: list[list[int]],
            batch_size: int) -> list[tuple[int, ...]]:
    """Greedy transcriptions (phoneme ids) of grapheme id sequences."""
    results: list[tuple[int, ...]] = []
    for first in range(0, len(sources), batch_size):
        chunk = sources[first:first + batch_size]
        out = model.greedy(_batch(chunk), 2 * max(len(s) for s in chunk) + 8)
        for row in out[:, 1:].tolist():
            results.append(tuple(row[:row.index(END)] if END in row else row))
    return results


Pairs = list[tuple[str, tuple[str, ...]]]


@dataclass
class _Data:
    """A training run's words as symbol ids."""
    form: str
    graphemes: list[str]
    phonemes: list[str]
    examples: list[tuple[list[int], list[int]]]
    # The dev words by length (each greedy batch stops near its own
    # longest word), their grapheme ids and their references' ids.
    dev_words: list[str]
    dev_sources: list[list[int]]
    references: dict[str, set[tuple[int, ...]]]
    # The dev words, left to right, and their references: what a bundle's
    # weight is tuned on.
    dev: dict[str, list[tuple[str, ...]]]
    trained_on: str  # the digest of the training words, as written


def _split(lexicon: str | Lexicon, dev: str | Lexicon | None,
           o: NeuralOptions) -> tuple[str, Pairs, Pairs, str]:
    """The grapheme form, the training pairs, the dev pairs and the
    digest of the training words."""
    source = lexicon_of(lexicon, o.strip_stress)
    form = (choose_form(e.word for e in source.entries)
            if o.graphemes == "auto" else o.graphemes)

    def pairs(lex: Lexicon) -> Pairs:
        return [(normalise_word(e.word, form), e.phonemes)
                for e in lex.entries]

    if dev is None:
        # Set aside as tamsu train --hold-out does, by the words as written.
        held = split_words((e.word for e in source.entries), o.dev_share,
                           o.seed)
        kept = Lexicon([e for e in source.entries if e.word not in held])
        return (form, pairs(kept),
                pairs(Lexicon([e for e in source.entries if e.word in held])),
                words_digest(e.word for e in kept.entries))
    return (form, pairs(source), pairs(lexicon_of(dev, o.strip_stress)),
            words_digest(e.word for e in source.entries))


def _data(lexicon: str | Lexicon, dev: str | Lexicon | None,
          o: NeuralOptions) -> _Data:
    form, train_pairs, dev_pairs, trained_on = _split(lexicon, dev, o)
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
    references: dict[str, set[tuple[int, ...]]] = {}
    for w, ps in dev_pairs:
        references.setdefault(w, set()).add(
            tuple(p_ids.get(p, -1) for p in ps))
    dev_words = sorted(references, key=lambda w: (len(w), w))
    return _Data(
        form, grapheme_list, phoneme_list,
        [([g_ids[c] for c in w], [p_ids[p] for p in ps])
         for w, ps in train_pairs],
        dev_words, [[g_ids[c] for c in w if c in g_ids] or [PAD]
                    for w in dev_words], references, dev_references,
        trained_on)


def _dev_wer(model: Any, data: _Data) -> float:
    """The model's greedy word error rate on the dev words."""
    model.eval()
    with torch.no_grad():
        guesses = _greedy(model, data.dev_sources, 64)
    errors = sum(g not in data.references[w]
                 for w, g in zip(data.dev_words, guesses))
    return 100.0 * errors / len(data.dev_words) if data.dev_words else 0.0


class _Epochs:
    """The optimiser, its schedule and the loss of a training run."""

    def __init__(self, model: Any, o: NeuralOptions,
                 examples: Sequence[object]) -> None:
        self.model = model
        self.options = o
        self.optimiser = torch.optim.Adam(model.parameters(),
                                          lr=o.learning_rate,
                                          betas=(0.9, 0.98))
        # Rises over the warm-up, then falls as 1/sqrt(step), counting
        # the batches of the epochs an initial model was trained for.
        done = o.init_epochs * -(-len(examples) // o.batch_size)
        self.schedule = torch.optim.lr_scheduler.LambdaLR(
            self.optimiser, lambda step: min(
                (step + 1) / o.warmup_steps, 1.0,
                math.sqrt(o.warmup_steps / (step + done + 1))))
        self.loss = torch.nn.NLLLoss(ignore_index=PAD)
        self.order = random.Random(o.seed)

    def run(self, examples: list[tuple[list[int], list[int]]]) -> float:
        """One epoch over `examples`; its mean loss."""
        o, model = self.options, self.model
        model.train()
        total, batches = 0.0, 0
        for batch in _batches(examples, o.batch_size, self.order):
            chunk = [examples[i] for i in batch]
            src = _batch([g for g, _ in chunk])
            tgt_in = _batch([[START, *p] for _, p in chunk])
            tgt_out = _batch([[*p, END] for _, p in chunk])
            log_probs = model(src, tgt_in)
            flat = log_probs.reshape(-1, log_probs.shape[-1])
            nll = self.loss(flat, tgt_out.reshape(-1))
            mask = tgt_out.reshape(-1) != PAD
            smooth = -flat[mask].mean()
            loss = (1 - o.label_smoothing) * nll + o.label_smoothing * smooth
            self.optimiser.zero_grad()
            loss.backward()
            self.optimiser.step()
            self.schedule.step()
            total += float(loss)
            batches += 1
        return total / max(batches, 1)


# The best epochs (dev WER, -epoch, weights), best first: ties go to the
# later, better-trained epoch, and without dev words (every WER 0) the
# latest epoch leads.
Leaders = list[tuple[float, int, Any]]


def _fit(model: Any, data: _Data, o: NeuralOptions, started: float,
         progress: Callable[[EpochProgress], object]
         ) -> tuple[Leaders, int, str]:
    """Trains until the epochs, the patience or the time budget run out:
    the best epochs' weights, the epochs run and why it stopped."""
    epochs = _Epochs(model, o, data.examples)
    leaders: Leaders = []
    stopped, epoch = "epochs", 0
    for epoch in range(1, o.epochs + 1):
        loss = epochs.run(data.examples)
        wer = _dev_wer(model, data)
        leaders = sorted(
            [*leaders, (wer, -epoch, copy.deepcopy(model.state_dict()))],
            key=lambda leader: leader[:2])[:o.average]
        progress(EpochProgress(epoch, o.epochs, loss, wer, leaders[0][0],
                               time.monotonic() - started))
        if epoch + leaders[0][1] >= o.patience:
            stopped = "patience"
            break
        # Another epoch like this one would overrun the budget.
        elapsed = time.monotonic() - started
        if (o.time_budget is not None
                and elapsed * (epoch + 1) / epoch > o.time_budget):
            stopped = "time budget"
            break
    return leaders, epoch, stopped


def _settle(model: Any, data: _Data, leaders: Leaders) -> tuple[float, int]:
    """Loads the weights to write into `model`: the mean of the leaders'
    when that measures at least as well on the dev words, else the best
    epoch's. Their dev WER and the number of epochs averaged."""
    best_wer, best_state = leaders[0][0], leaders[0][2]
    if len(leaders) > 1 and data.dev_words:
        model.load_state_dict({
            key: sum(state[key] for _, _, state in leaders) / len(leaders)
            for key in best_state})
        averaged_wer = _dev_wer(model, data)
        if averaged_wer <= best_wer:
            return averaged_wer, len(leaders)
    model.load_state_dict(best_state)
    return best_wer, 1


def network_of(file: NetworkFile, dropout: float = 0.0) -> Any:
    """The PyTorch module of a model file read by read_network."""
    model = build_network(file.architecture,
                          len(GRAPHEME_SPECIALS) + len(file.graphemes),
                          len(PHONEME_SPECIALS) + len(file.phonemes), dropout)
    model.load_state_dict({
        key: torch.tensor(file.tensors[_file_name(key)][1],
                          dtype=value.dtype).reshape(value.shape)
        for key, value in model.state_dict().items()})
    return model


def _initial(path: str, data: _Data, o: NeuralOptions) -> NetworkFile:
    """The model file to start from, once its symbols and direction are
    the lexicon's."""
    start = read_network(path)
    for what, mine, theirs in (
            ("graphemes", data.graphemes, start.graphemes),
            ("phonemes", data.phonemes, start.phonemes),
            ("grapheme form", data.form, start.form),
            ("direction", o.reverse, start.reverse)):
        if mine != theirs:
            raise ValueError(f"cannot go on training {path}: its {what} "
                             f"differ from the lexicon's")
    return start


def train_here(lexicon: str | Lexicon, dev: str | Lexicon | None,
               output: str, options: NeuralOptions,
               progress: Callable[[EpochProgress], object]
               ) -> tuple[NeuralTrainReport, bytes]:
    """train_neural's training in this process (the child it starts):
    the report and the model file's bytes. Sets the process's thread
    counts and seeds PyTorch's global random state."""
    started, cpu_started = time.monotonic(), time.process_time()
    o = options
    data = _data(lexicon, dev, o)
    _hold_threads(o.threads)
    torch.manual_seed(o.seed)
    if o.init is None:
        architecture = o.architecture
        model = build_network(architecture,
                              len(GRAPHEME_SPECIALS) + len(data.graphemes),
                              len(PHONEME_SPECIALS) + len(data.phonemes),
                              o.dropout)
    else:
        start = _initial(o.init, data, o)
        architecture = start.architecture
        model = network_of(start, o.dropout)
    leaders, epochs, stopped = _fit(model, data, o, started, progress)
    wer, averaged = _settle(model, data, leaders)
    report = NeuralTrainReport(
        path=output, entries=len(data.examples),
        dev_words=len(data.dev_words), graphemes=data.form,
        parameters=sum(p.numel() for p in model.parameters()),
        epochs=epochs, best_epoch=-leaders[0][1], averaged=averaged,
        dev_wer=wer, stopped=stopped, seconds=time.monotonic() - started,
        cpu_seconds=time.process_time() - cpu_started,
        dev=list(data.dev.items()), trained_on=data.trained_on)
    return report, model_bytes(model, architecture, data.graphemes,
                               data.phonemes, data.form, o.reverse)

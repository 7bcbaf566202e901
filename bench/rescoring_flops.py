"""The arithmetic rate of the shipped bundle's neural rescoring.

    .venv/bin/python bench/rescoring_flops.py [--count N] [--reps R]

Takes the n-gram model's 10 best pronunciations of N held-out words
spread over data/en_us/test.dict (the candidates `rescore` scores), times
`NeuralModel.score_batch` on them (processor time, one thread, best of R)
and counts the floating-point operations of the LSTM's matrix products
from its dimensions: per letter, the encoder's two directions of each layer
and the attention keys; per row scored (a distinct
prefix of a word's candidates, the empty one included, fed once however
many candidates share it), the decoder cell, the attention over the
word's letters, the combining layer and the output layer. A multiply-add
is two operations. Prints MFLOP per word, ms per word and GFLOP/s.
"""

from __future__ import annotations

import argparse
import os
import time
from pathlib import Path

from tamsu import G2P
from tamsu._neural import NeuralModel
from tamsu.bundle import read_bundle
from tamsu.catalogue import shipped_path
from tamsu.lexicon import read_lexicon

TEST = Path(__file__).resolve().parent.parent / "data" / "en_us" / "test.dict"

def flops(model: NeuralModel, words: list[str],
          candidates: list[list[tuple[str, ...]]]) -> int:
    """Operations of the LSTM's matrix products scoring `candidates`."""
    hyper = model.hyper_parameters
    if hyper["architecture"] != "lstm":
        raise SystemExit("counts only the LSTM network's products")
    big, embedding = hyper["hidden"], hyper["embedding"]
    half, phonemes = big // 2, len(model.phonemes)
    letter = sum(2 * 2 * 4 * half * ((embedding if layer == 0 else big) + half)
                 for layer in range(hyper["encoder_layers"]))
    letter += 2 * big * big  # the attention keys
    # Each decoder layer's input (the attentional vector, or the layer
    # below's h; the phoneme's embedding term comes from a table made at
    # load) and h, then combining [context; s] and the output layer.
    row = (hyper["decoder_layers"] * 2 * 4 * big * 2 * big
           + 2 * 2 * big * big + 2 * big * phonemes)
    total = 0
    for word, paths in zip(words, candidates):
        prefixes = {path[:k] for path in paths for k in range(len(path) + 1)}
        total += len(word) * letter + len(prefixes) * (
            row + 2 * 2 * big * len(word))  # attention scores and context
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    # Spread over the whole list (it is in alphabetical order).
    every = list(read_lexicon(TEST).references())
    words = every[::max(len(every) // args.count, 1)][:args.count]
    bundle = read_bundle(shipped_path("en_us"))
    model = NeuralModel(bundle.neural[0])
    ngram = G2P("en_us-ngram", None, nbest=bundle.depth)
    candidates = [[tuple(p.phonemes) for p in found]
                  for found in ngram.map(words)]
    operations = flops(model, words, candidates)
    best = float("inf")
    for _ in range(args.reps):
        started = time.process_time()
        model.score_batch(words, candidates)
        best = min(best, time.process_time() - started)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"{len(words)} held-out words, {bundle.depth}-best candidates, "
          f"one thread, best of {args.reps}, load average {load}: "
          f"{operations / len(words) / 1e6:.1f} MFLOP per word, "
          f"{1000 * best / len(words):.3f} ms per word, "
          f"{operations / best / 1e9:.1f} GFLOP/s")


if __name__ == "__main__":
    main()

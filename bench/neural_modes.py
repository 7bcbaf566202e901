"""Words per second of every decoding mode, n-gram and neural, in one run.

    nice .venv/bin/python bench/neural_modes.py MODEL.fst MODEL.tnn LANG_dev.tsv

Tunes a bundle of the two models on the dev lexicon (`tune_bundle`: its
weights for rescoring the n-gram list and the neural beam), then decodes the
dev words through `tamsu.G2P` (no dictionary, one thread, words in chunks as
`G2P.map` gives them) in each mode: the n-gram model's 1-best, the neural
beam with widths 1 and 5, the n-gram 10-best rescored by the neural model
(b), and the neural beam rescored by the n-gram model (c). G2P's `beam`
caps the answers and never narrows the neural search (at least
NEURAL_BEAM wide), so width 1 is `NeuralModel.phoneticize_batch` in
G2P.map's chunks of 256 words. Prints, per mode,
the processor time per word (best of --reps runs, interleaved so that load
from other processes falls on all alike), words per second, the cost
against the n-gram route, and the dev WER; and the machine's load
average, since other processes slow every mode. Test sets are never read.
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import os
import shutil
import tempfile
import time
from typing import (Callable, Iterable, Iterator, NamedTuple, Protocol,
                    Sequence)

from tamsu import G2P
from tamsu._neural import NeuralModel
from tamsu.bundle import tune_bundle, write_bundle
from tamsu.lexicon import read_lexicon


class BestPath(NamedTuple):
    phonemes: tuple[str, ...]


class Answered(Protocol):
    @property
    def phonemes(self) -> tuple[str, ...]: ...


class Decodes(Protocol):
    def map(self, words: Iterable[str]) -> Iterator[Sequence[Answered]]: ...


class BeamOne:
    """The neural model's beam search of width 1, shaped as G2P.map's
    answers (each word's best pronunciation)."""

    def __init__(self, path: str) -> None:
        self._model = NeuralModel(path)

    def map(self, words: Iterable[str]) -> Iterator[list[BestPath]]:
        listed = list(words)
        for i in range(0, len(listed), 256):
            for paths in self._model.phoneticize_batch(
                    listed[i:i + 256], 1, 1):
                yield [BestPath(tuple(p)) for p, _ in paths[:1] if p]


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ngram", help="n-gram model (tamsu train)")
    parser.add_argument("neural", help="neural model (tamsu train-neural)")
    parser.add_argument("dev", help="dev lexicon: tuning and timing words")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--words", type=int, default=0,
                        help="time only the first N dev words (0: all)")
    return parser.parse_args()


def main() -> None:
    args = parse_arguments()
    references = read_lexicon(args.dev).references()
    dev = list(references.items())
    words = [w for w, _ in dev][:args.words or None]
    with tempfile.TemporaryDirectory() as directory:
        # A bundle names only models inside its own folder: copies of
        # them go beside the temporary bundles.
        for model in ("ngram", "neural"):
            copy = os.path.join(directory, f"{model}.model")
            shutil.copyfile(getattr(args, model), copy)
            setattr(args, model, copy)
        tuned = tune_bundle(args.ngram, args.neural, dev,
                            os.path.join(directory, "tuned.bundle"))
        print(f"tuned: mode {tuned.mode}, weights {tuned.weights}, dev WER "
              f"{tuned.dev_wer}")
        modes: dict[str, Callable[[], Decodes]] = {
            "n-gram 1-best": lambda: G2P(args.ngram, None),
            "neural beam 1": lambda: BeamOne(args.neural),
            "neural beam 5": lambda: G2P(args.neural, None),
        }
        for mode, name in (("rescore", "rescore n-gram 10-best (b)"),
                           ("rescore-beam", "rescore neural beam (c)")):
            path = os.path.join(directory, f"{mode}.bundle")
            write_bundle(path, dataclasses.replace(
                tuned, mode=mode, weight=tuned.weights[mode]))
            modes[name] = functools.partial(G2P, path, None)
        g2ps = {name: make() for name, make in modes.items()}
        best: dict[str, float] = {}
        errors: dict[str, int] = {}
        for _ in range(args.reps):
            for name, g2p in g2ps.items():
                started = time.process_time()
                found = list(g2p.map(words))
                seconds = time.process_time() - started
                best[name] = min(best.get(name, seconds), seconds)
                errors[name] = sum(
                    not p or p[0].phonemes not in references[w]
                    for w, p in zip(words, found))
    base = best["n-gram 1-best"]
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"{len(words)} words, best of {args.reps} runs, processor time "
          f"(load average {load}, {os.cpu_count()} processors):")
    for name, seconds in best.items():
        print(f"  {name:28s} {1000 * seconds / len(words):7.3f} ms/word "
              f"{len(words) / seconds:9.0f} words/s {seconds / base:6.1f}x "
              f"WER {100 * errors[name] / len(words):5.2f}%")


if __name__ == "__main__":
    main()

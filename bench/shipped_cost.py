"""What every decoding mode of the shipped English models costs, per word.

    .venv/bin/python bench/shipped_cost.py [--count N] [--reps R]

Decodes N distinct held-out words, spread evenly over the list
(data/en_us/test.dict, never looked up in the dictionary), on one thread
in each mode of the shipped models: the n-gram model's 1-best
(`en_us-ngram`), the neural model (en_us.tnn) alone with beam widths 1
and 5, its bundle with the n-gram 10-best rescored (`rescore`: `en_us`,
the default) and with the neural beam rescored (`rescore-beam`: the
shipped bundle with its mode and tuned weight rewritten into a temporary
bundle). Each mode decodes the words all at once through `G2P.map`
(batched) and one word per call (`g2p(word)`).

`G2P` decodes a neural model with a beam at least NEURAL_BEAM wide (its
`beam` caps the answers and never narrows the search), so beam 1 is timed
through the core's `NeuralModel` (`phoneticize_batch` in G2P.map's chunks
of 256 words, `phoneticize` per word), with beam 5 the same way beside it:
their gap to the G2P row is the front end's share.

Prints a Markdown table of processor milliseconds per word (the best of R
repetitions, the modes interleaved so that other load falls on each
alike), the per-call/batched ratio, the cost against the n-gram 1-best, the
held-out WER of the best answers, and how many words' best answer differs
between the two ways; above it the date, the load average before and after
and the processor. `models show` and `apply --help` quote the batched
figures of `en_us` and `en_us-ngram`.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import shutil
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

from tamsu import G2P
from tamsu._neural import NeuralModel
from tamsu.bundle import read_bundle, write_bundle
from tamsu.catalogue import shipped_path
from tamsu.lexicon import read_lexicon
from tamsu.normalise import normalise

TEST = Path(__file__).resolve().parent.parent / "data" / "en_us" / "test.dict"
BASE = "n-gram 1-best (`en_us-ngram`)"
# G2P.map's default chunk: the words of one decoder call.
CHUNK = 256

Best = tuple[str, ...] | None  # a word's best pronunciation


@dataclass(frozen=True)
class Mode:
    batched: Callable[[list[str]], list[Best]]
    one: Callable[[str], Best]


def through_g2p(g2p: G2P) -> Mode:
    def best(found: Sequence[object]) -> Best:
        return tuple(found[0].phonemes) if found else None  # type: ignore
    return Mode(lambda words: [best(p) for p in list(g2p.map(words))],
                lambda word: best(g2p(word)))


def through_core(model: NeuralModel, beam: int) -> Mode:
    def best(paths: list[tuple[list[str], float]]) -> Best:
        return tuple(paths[0][0]) if paths and paths[0][0] else None

    def batched(words: list[str]) -> list[Best]:
        found = []
        for i in range(0, len(words), CHUNK):
            found += model.phoneticize_batch(words[i:i + CHUNK], 1, beam)
        return [best(paths) for paths in found]
    return Mode(batched, lambda word: best(model.phoneticize(word, 1, beam)))


def rescore_beam_bundle(folder: str) -> str:
    """The shipped bundle in mode rescore-beam, with that mode's tuned
    weight, written into `folder` beside copies of its models (a bundle
    names only models inside its own folder)."""
    shipped = read_bundle(shipped_path("en_us"))
    models = [shipped.ngram, *shipped.neural]
    for model in models:
        shutil.copyfile(model, os.path.join(folder, os.path.basename(model)))
    moved = dataclasses.replace(
        shipped, ngram=os.path.join(folder, os.path.basename(shipped.ngram)),
        neural=tuple(os.path.join(folder, os.path.basename(n))
                     for n in shipped.neural),
        mode="rescore-beam", weight=shipped.weights["rescore-beam"])
    path = os.path.join(folder, "rescore-beam.bundle")
    write_bundle(path, moved)
    return path


def processor() -> str:
    """The processor's model name, family and model (/proc/cpuinfo)."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return "unknown processor"
    return (f"{fields.get('model name', '?')}, family "
            f"{fields.get('cpu family', '?')} model {fields.get('model', '?')}"
            f", {os.cpu_count()} processors")


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    lexicon = read_lexicon(TEST).references()
    # Spread over the whole list (it is in alphabetical order).
    every = list(lexicon)
    words = every[::max(len(every) // args.count, 1)][:args.count]
    neural_path = read_bundle(shipped_path("en_us")).neural[0]
    with tempfile.TemporaryDirectory() as folder:
        neural = G2P(neural_path, None)
        core = NeuralModel(neural_path)
        modes = {
            BASE: through_g2p(G2P("en_us-ngram", None)),
            "neural beam 1 (`NeuralModel`)": through_core(core, 1),
            "neural beam 5 (`NeuralModel`)": through_core(core, 5),
            "neural beam 5 (`G2P`, en_us.tnn)": through_g2p(neural),
            "`rescore` (`en_us`, the default)":
                through_g2p(G2P("en_us", None)),
            "`rescore-beam`": through_g2p(
                G2P(rescore_beam_bundle(folder), None)),
        }
        # The core reads words as G2P spells them for the model.
        spelled = ["".join(normalise(w, neural.alphabet).parts)
                   for w in words]
        before = load()
        best: dict[tuple[str, str], float] = {}
        found: dict[tuple[str, str], list[Best]] = {}
        for _ in range(args.reps):
            for name, mode in modes.items():
                given = spelled if "NeuralModel" in name else words
                runs: dict[str, Callable[[], list[Best]]] = {
                    "batched": lambda: mode.batched(given),
                    "per call": lambda: [mode.one(w) for w in given]}
                for how, run in runs.items():
                    started = time.process_time()
                    found[name, how] = run()
                    ms = 1000 * (time.process_time() - started) / len(words)
                    best[name, how] = min(best.get((name, how), ms), ms)
    print(f"{time.strftime('%Y-%m-%d')}: {len(words)} held-out words "
          f"without the dictionary, one thread, processor ms per word, best "
          f"of {args.reps} interleaved runs; load average {before} before, "
          f"{load()} after; {processor()}")
    print()
    print("| mode | batched (`G2P.map`) | one per call (`g2p(word)`) | "
          "per call / batched | batched against n-gram | per call against "
          "n-gram | held-out WER | best answer differs per call |")
    print("|---|---|---|---|---|---|---|---|")
    for name in modes:
        batched, one = best[name, "batched"], best[name, "per call"]
        answers = found[name, "batched"]
        wrong = sum(a is None or a not in lexicon[w]
                    for w, a in zip(words, answers))
        differ = sum(a != b for a, b in zip(answers,
                                            found[name, "per call"]))
        print(f"| {name} | {batched:.3f} | {one:.3f} | {one / batched:.2f}x "
              f"| {batched / best[BASE, 'batched']:.1f}x "
              f"| {one / best[BASE, 'per call']:.1f}x "
              f"| {100 * wrong / len(words):.2f}% | {differ} |")


if __name__ == "__main__":
    main()

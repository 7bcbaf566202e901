"""A neural model on one SIGMORPHON 2020 language: dev WER and C++ decoding cost.

    nice -n 19 .venv/bin/python bench/neural_language.py dut --time-budget 900

Trains `tamsu.neural.train_neural` on LANG_train.tsv (early stopping on
LANG_dev.tsv, one torch thread by default), then decodes every dev word
with the C++ core (`tamsu._neural.NeuralModel`, beam search, the words in
one batch) and prints the dev word error rate, the training time and the
processor time per word of decoding. Test sets are never read.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

from tamsu import neural
from tamsu._neural import NeuralModel
from tamsu.graphemes import normalise_word
from tamsu.lexicon import read_lexicon

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data" / "g2p-2020"


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("language", help="e.g. dut (LANG_train/dev.tsv)")
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--time-budget", type=float, default=900.0,
                        help="training seconds (default 900)")
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--beam", type=int, default=5)
    parser.add_argument("--output", help="keep the model file here")
    parser.add_argument("--combine", action="store_true",
                        help="also train the n-gram model (tamsu train "
                             "defaults) and tune their bundle on the dev set")
    return parser.parse_args()


def main() -> None:
    args = parse_arguments()
    train = args.data / f"{args.language}_train.tsv"
    dev = read_lexicon(args.data / f"{args.language}_dev.tsv")
    with tempfile.TemporaryDirectory() as directory:
        output = args.output or os.path.join(directory, "model.tnn")

        def show(p: neural.EpochProgress) -> None:
            print(f"epoch {p.epoch}: loss {p.loss:.3f}, dev WER (greedy) "
                  f"{p.dev_wer:.2f}%, best {p.best_dev_wer:.2f}%, "
                  f"{p.seconds:.0f} s", flush=True)

        report = neural.train_neural(
            train, output, dev=dev, epochs=args.epochs,
            time_budget=args.time_budget, threads=args.threads,
            seed=args.seed, progress=show)
        model = NeuralModel(output)
        references = dev.references()
        started = time.process_time()
        found = model.phoneticize_batch(
            [normalise_word(word, model.grapheme_form) for word in references],
            beam=args.beam)
        seconds = time.process_time() - started
        errors = sum(not best or tuple(best[0][0]) not in variants
                     for best, variants in zip(found, references.values()))
        if args.combine:
            combine(train, output, references, directory)
    print(f"{args.language}: {report.parameters} parameters, "
          f"{report.epochs} epochs ({report.stopped}), best epoch "
          f"{report.best_epoch}, training {report.seconds / 60:.1f} min "
          f"({report.cpu_seconds / 60:.1f} CPU-min)")
    print(f"{args.language}: dev WER {100 * errors / len(references):.2f}% "
          f"(C++ beam {args.beam}; greedy in PyTorch {report.dev_wer:.2f}%), "
          f"decoding {1000 * seconds / len(references):.2f} ms per word "
          f"(processor time, {len(references)} words)")


def combine(train: Path, neural_model: str,
            references: dict[str, list[tuple[str, ...]]],
            directory: str) -> None:
    """The n-gram model, the bundle tuned on the dev words, and each
    route's processor time per word through G2P."""
    from tamsu import G2P
    from tamsu.bundle import tune_bundle
    from tamsu.training import train as train_ngram
    ngram = os.path.join(directory, "ngram.fst")
    train_ngram(train, ngram, progress=False)
    bundle = os.path.join(directory, "model.bundle")
    tuned = tune_bundle(ngram, neural_model, list(references.items()), bundle)
    print(f"bundle: mode {tuned.mode}, weight {tuned.weight:g}, dev WER "
          f"{tuned.dev_wer} (tuned on these dev words)")
    for path in (ngram, neural_model, bundle):
        g2p = G2P(path, None)
        started = time.process_time()
        for word in references:
            g2p(word)
        seconds = time.process_time() - started
        print(f"{os.path.basename(path)}: {len(references) / seconds:.0f} "
              f"words/s (processor time)")


if __name__ == "__main__":
    main()

"""Does `tamsu train-neural --refit` pay? SIGMORPHON 2020 dev sets.

    nice .venv/bin/python bench/refit.py --out runs/refit --only ady,geo,arm

Each language's dev words are split in two halves by a hash of the word,
A and B. Tuned: the n-gram model on LANG_train.tsv, the neural model and
its partner (train_neural's defaults, early stopping on A) and their
bundle tuned on A, as `train-neural --dev A --ngram` makes them. Refit:
all three trained again on the training words and A, the neural models
for their tuned best epochs, the bundle's mode and weight kept, as
`--refit` does. Both bundles are measured on B, which neither saw. Prints
a line per language (dev WER on B, training CPU-minutes) and the totals.
Test sets are never read.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import sys
from pathlib import Path
from typing import Any

from tamsu.bundle import tune_bundle, write_bundle
from tamsu.evaluation import evaluate
from tamsu.lexicon import Lexicon, read_lexicon
from tamsu.neural import PARTNER, train_neural
from tamsu.training import train

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = ROOT.parent / "shared" / "data" / "g2p-2020"


def halves(dev: Lexicon) -> tuple[Lexicon, Lexicon]:
    """The dev words split in two by a hash of the word."""
    def side(word: str) -> int:
        return int(hashlib.sha256(word.encode()).hexdigest(), 16) % 2
    first, second = (dataclasses.replace(dev, entries=[
        e for e in dev.entries if side(e.word) == k]) for k in (0, 1))
    return first, second


def measure(data: Path, out: Path, language: str) -> dict[str, float]:
    train_words = read_lexicon(data / f"{language}_train.tsv")
    tune, held = halves(read_lexicon(data / f"{language}_dev.tsv"))
    every = dataclasses.replace(
        train_words, entries=[*train_words.entries, *tune.entries])

    def path(name: str) -> str:
        return str(out / f"{language}.{name}")

    networks: tuple[dict[str, Any], ...] = (
        {}, {"reverse": True, "architecture": PARTNER})
    row: dict[str, float] = {}
    train(train_words, path("tuned.fst"), hold_out=0.0)
    reports = [train_neural(train_words, path(f"tuned.{k}.tnn"), dev=tune,
                            **extra) for k, extra in enumerate(networks)]
    tuned = tune_bundle(path("tuned.fst"),
                        [path(f"tuned.{k}.tnn") for k in (0, 1)],
                        list(tune.references().items()), path("tuned.bundle"))
    train(every, path("refit.fst"), hold_out=0.0)
    again = [train_neural(every, path(f"refit.{k}.tnn"), dev_share=0.0,
                          epochs=report.best_epoch, **extra)
             for k, (report, extra) in enumerate(zip(reports, networks))]
    write_bundle(path("refit.bundle"), dataclasses.replace(
        tuned, ngram=path("refit.fst"),
        neural=tuple(path(f"refit.{k}.tnn") for k in (0, 1))))
    for kind, trained in (("tuned", reports), ("refit", again)):
        result = evaluate(path(f"{kind}.bundle"), held)
        row[kind] = 100.0 * result.word_error_rate
        row[f"{kind} CPU-min"] = sum(r.cpu_seconds for r in trained) / 60
    row["words"] = len(held.references())
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--only", required=True,
                        help="comma-separated language codes")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    errors = {"tuned": 0.0, "refit": 0.0}
    for language in args.only.split(","):
        row = measure(args.data, args.out, language)
        print(f"{language}: B words {row['words']:.0f}; tuned "
              f"{row['tuned']:.2f} ({row['tuned CPU-min']:.1f} CPU-min), "
              f"refit {row['refit']:.2f} "
              f"({row['refit CPU-min']:.1f} CPU-min)", flush=True)
        for kind in errors:
            errors[kind] += round(row[kind] * row["words"] / 100)
    print(f"word errors on B: tuned {errors['tuned']:.0f}, "
          f"refit {errors['refit']:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

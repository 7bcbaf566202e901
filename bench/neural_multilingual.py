"""Neural models and bundles across the SIGMORPHON 2020 languages: dev WER.

    nice .venv/bin/python bench/neural_multilingual.py --out runs/ [--only dut,bul]

For each language: the n-gram model (`tamsu train` defaults), the neural
model (`tamsu.neural.train_neural` on LANG_train.tsv with early stopping on
LANG_dev.tsv, one thread), and their bundle tuned on the dev words
(`tamsu.bundle.tune_bundle`). Prints the dev word error rate of the
n-gram model, the neural beam, and the bundle, with the training cost
(processor minutes), then the macro-averages and a Markdown table. Each
language's result is kept in OUT/LANG.json, so an interrupted run resumes
where it stopped; the models stay in OUT too (with LANG.trained.json,
their training record: a run that stops after training tunes without
training again). Two languages train at a
time (--jobs). Test sets are never read.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LANGUAGES = ("ady arm bul dut fre geo gre hin hun ice jpn kor lit rum "
             "vie").split()
DEFAULT_DATA = ROOT.parent / "shared" / "data" / "g2p-2020"


def measure(task: tuple[str, Path, Path, dict, bool, bool]) -> dict | None:
    language, data, out, settings, retune, train_only = task
    from tamsu import neural
    from tamsu.bundle import tune_bundle
    from tamsu.lexicon import read_lexicon
    from tamsu.training import train

    result_path = out / f"{language}.json"
    trained_path = out / f"{language}.trained.json"
    train_path = data / f"{language}_train.tsv"
    dev = read_lexicon(data / f"{language}_dev.tsv")
    ngram, network = out / f"{language}.fst", out / f"{language}.tnn"
    if result_path.exists() and not retune:
        return json.loads(result_path.read_text())
    if not trained_path.exists():
        # Training is kept apart from tuning: a run stopped (or a decoder
        # changed) after training tunes again without training again.
        cpu = time.process_time()
        train(train_path, ngram, progress=False)
        ngram_cpu = time.process_time() - cpu
        report = neural.train_neural(train_path, network, dev=dev,
                                     **settings)
        trained_path.write_text(json.dumps(dict(
            language=language, ngram_cpu_min=ngram_cpu / 60,
            neural_cpu_min=report.cpu_seconds / 60, epochs=report.epochs,
            best_epoch=report.best_epoch, averaged=report.averaged,
            greedy_dev_wer=report.dev_wer, parameters=report.parameters,
            stopped=report.stopped), indent=1))
    result = json.loads(trained_path.read_text())
    if train_only:
        return None
    bundle = tune_bundle(ngram, network, list(dev.references().items()),
                         out / f"{language}.bundle")
    result.update(mode=bundle.mode, weight=bundle.weight, **bundle.dev_wer)
    result_path.write_text(json.dumps(result, indent=1))
    return result


def row(r: dict) -> str:
    return (f"| {r['language']} | {r['ngram']:.2f} | {r['neural']:.2f} | "
            f"{r['rescore']:.2f} | {r.get('rescore-beam', math.nan):.2f} | "
            f"{r[r['mode']]:.2f} ({r['mode']} "
            f"{r['weight']:g}) | "
            f"{r['neural_cpu_min']:.1f} ({r['epochs']} epochs) |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--only", default="")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--epochs", type=int, default=16)
    parser.add_argument("--patience", type=int, default=5)
    parser.add_argument("--retune", action="store_true",
                        help="tune the bundles of the languages done again "
                             "(with the models trained in OUT)")
    parser.add_argument("--train-only", action="store_true",
                        help="train the models and stop (tune later)")
    parser.add_argument("--dropout", type=float, default=0.1)
    parser.add_argument("--time-budget", type=float, default=None,
                        help="wall seconds of neural training per language")
    parser.add_argument("--architecture", choices=("transformer", "lstm"),
                        default="transformer")
    parser.add_argument("--d-ff", type=int, default=None,
                        help="the transformer's feed-forward width "
                             "(default: the trainer's)")
    parser.add_argument("--hidden", type=int, default=None,
                        help="the LSTM's width (default: the trainer's)")
    parser.add_argument("--option", action="append", default=[],
                        metavar="NAME=VALUE",
                        help="another train_neural option, e.g. "
                             "batch_size=64 (repeatable)")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    settings: dict = dict(epochs=args.epochs, patience=args.patience,
                          time_budget=args.time_budget, dropout=args.dropout,
                          threads=1, seed=0)
    from tamsu.neural import LstmArchitecture, NeuralArchitecture
    if args.architecture == "lstm":
        settings["architecture"] = LstmArchitecture(
            **({} if args.hidden is None else {"hidden": args.hidden}))
    elif args.d_ff is not None:
        settings["architecture"] = NeuralArchitecture(d_ff=args.d_ff)
    for option in args.option:
        name, _, value = option.partition("=")
        settings[name] = float(value) if "." in value else int(value)
    languages = args.only.split(",") if args.only else LANGUAGES
    print(f"settings: {settings}", flush=True)
    print("| language | n-gram | neural | n-gram 10-best rescored | neural "
          "beam rescored | bundle (mode, weight) | neural training, CPU-min "
          "|\n|---|---|---|---|---|---|---|", flush=True)
    results = []
    with multiprocessing.Pool(args.jobs) as pool:
        for r in pool.imap(measure, [(lang, args.data, args.out, settings,
                                      args.retune, args.train_only)
                                     for lang in languages]):
            if r is None:
                continue
            print(row(r), flush=True)
            results.append(r)
    n = len(results)
    if not n:
        return 0
    best = [r[r["mode"]] for r in results]
    print(f"| macro ({n}) | {sum(r['ngram'] for r in results) / n:.2f} | "
          f"{sum(r['neural'] for r in results) / n:.2f} | "
          f"{sum(r['rescore'] for r in results) / n:.2f} | "
          f"{sum(r.get('rescore-beam', math.nan) for r in results) / n:.2f} | "
          f"{sum(best) / n:.2f} | "
          f"{sum(r['neural_cpu_min'] for r in results) / n:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Neural models and bundles across the SIGMORPHON 2020 languages: dev WER.

    nice .venv/bin/python bench/neural_multilingual.py --out runs/ [--only dut,bul]
        [--members 5 [--alternate [--partner 128]]] [--architecture transformer]

For each language: the n-gram model (`tamsu train` defaults), the neural
model (`tamsu.neural.train_neural`'s defaults on LANG_train.tsv with early
stopping on LANG_dev.tsv, one thread), and their bundle tuned on the dev words
(`tamsu.bundle.tune_bundle`). Prints the dev word error rate of the
n-gram model, the neural beam, and the bundle, with the training cost
(processor minutes), then the macro-averages and a Markdown table; with
--members N, also the ensembles of the first 1 .. N seeds (dev WER of
their tuned bundle, processor time per dev word through G2P); with
--alternate, the odd-numbered members read right to left, and with
--partner H their network is LstmArchitecture(hidden=H, embedding=H/2)
(tamsu.neural.PARTNER is 128; they are kept as LANG-r2lK-hH). Each
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
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LANGUAGES = ("ady arm bul dut fre geo gre hin hun ice jpn kor lit rum "
             "vie").split()
DEFAULT_DATA = ROOT.parent / "shared" / "data" / "g2p-2020"


@dataclass(frozen=True)
class Members:
    """Which members read right to left (the odd seeds, when `alternate`)
    and the hidden width of those, when `partner` is given (else the
    default network's)."""
    alternate: bool = False
    partner: int | None = None


def _member(out: Path, language: str, seed: int, members: Members
            ) -> tuple[Path, Path, bool]:
    """The neural model of `seed`, its training record and whether it reads
    right to left."""
    reverse = members.alternate and seed % 2 == 1
    stem = (language if seed == 0 else
            f"{language}-{'r2l' if reverse else 'seed'}{seed}")
    if reverse and members.partner is not None:
        stem += f"-h{members.partner}"
    return out / f"{stem}.tnn", out / f"{stem}.trained.json", reverse


def measure(task: tuple[str, Path, Path, dict, bool, bool, int, Members]
            ) -> dict | None:
    language, data, out, settings, retune, train_only, members, kinds = task
    from tamsu import neural
    from tamsu.bundle import tune_bundle
    from tamsu.lexicon import read_lexicon
    from tamsu.neural import LstmArchitecture
    from tamsu.training import train

    result_path = out / f"{language}.json"
    train_path = data / f"{language}_train.tsv"
    dev = read_lexicon(data / f"{language}_dev.tsv")
    ngram = out / f"{language}.fst"
    if result_path.exists() and not retune:
        return json.loads(result_path.read_text())
    for seed in range(members):
        network, trained_path, reverse = _member(out, language, seed, kinds)
        if trained_path.exists():
            continue
        # Training is kept apart from tuning: a run stopped (or a decoder
        # changed) after training tunes again without training again.
        cpu = time.process_time()
        if seed == 0:
            train(train_path, ngram, progress=False)
        ngram_cpu = time.process_time() - cpu
        member = dict(settings, seed=seed, reverse=reverse)
        if reverse and kinds.partner is not None:
            member["architecture"] = LstmArchitecture(
                hidden=kinds.partner, embedding=kinds.partner // 2)
        report = neural.train_neural(train_path, network, dev=dev, **member)
        trained_path.write_text(json.dumps(dict(
            language=language, ngram_cpu_min=ngram_cpu / 60,
            neural_cpu_min=report.cpu_seconds / 60, epochs=report.epochs,
            best_epoch=report.best_epoch, averaged=report.averaged,
            greedy_dev_wer=report.dev_wer, parameters=report.parameters,
            stopped=report.stopped), indent=1))
    result = json.loads(_member(out, language, 0, kinds)[1].read_text())
    if train_only:
        return None
    references = list(dev.references().items())
    networks = [_member(out, language, seed, kinds)[0]
                for seed in range(members)]
    bundle = tune_bundle(ngram, networks[0], references,
                         out / f"{language}.bundle")
    result.update(mode=bundle.mode, weight=bundle.weight, **bundle.dev_wer)
    # Ensembles of the first k seeds: their tuned bundle's dev WER and its
    # processor time per dev word.
    result["ensembles"] = {}
    for k in range(1, members + 1):
        path = out / f"{language}-{k}.bundle"
        tuned = tune_bundle(ngram, networks[:k], references, path)
        trained = [json.loads(_member(out, language, seed, kinds)[1]
                              .read_text()) for seed in range(k)]
        # Keyed as JSON keeps it: by the text of k.
        result["ensembles"][str(k)] = dict(
            mode=tuned.mode, weight=tuned.weight,
            wer=tuned.dev_wer[tuned.mode],
            neural_cpu_min=sum(t["neural_cpu_min"] for t in trained),
            ms_per_word=_cost(path, [w for w, _ in references]))
    result_path.write_text(json.dumps(result, indent=1))
    return result


def _cost(model: Path, words: list[str]) -> float:
    """Processor milliseconds per word through G2P, best of 3 runs."""
    from tamsu import G2P
    g2p = G2P(model, None)
    best = math.inf
    for _ in range(3):
        cpu = time.process_time()
        list(g2p.map(words))
        best = min(best, time.process_time() - cpu)
    return 1000 * best / len(words)


def row(r: dict, members: int) -> str:
    """A language's row: with members > 1, the largest ensemble's tuned
    bundle and its members' training minutes too."""
    line = (f"| {r['language']} | {r['ngram']:.2f} | {r['neural']:.2f} | "
            f"{r['rescore']:.2f} | {r.get('rescore-beam', math.nan):.2f} | "
            f"{r[r['mode']]:.2f} ({r['mode']} "
            f"{r['weight']:g}) | "
            f"{r['neural_cpu_min']:.1f} ({r['epochs']} epochs) |")
    if members > 1:
        e = r["ensembles"][str(members)]
        line += (f" {e['wer']:.2f} ({e['mode']} {e['weight']:g}) | "
                 f"{e['neural_cpu_min']:.1f} |")
    return line


def macro(results: list[dict], members: str, key: str) -> float:
    """The mean of an ensemble figure over the languages."""
    return sum(r["ensembles"][members][key] for r in results) / len(results)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--only", default="")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--patience", type=int, default=15)
    parser.add_argument("--members", type=int, default=1,
                        help="also train seeds 1 .. N-1 and measure the "
                             "ensembles of the first 1 .. N")
    parser.add_argument("--alternate", action="store_true",
                        help="train the odd-numbered members right to left")
    parser.add_argument("--partner", type=int, metavar="HIDDEN",
                        help="with --alternate, the right-to-left members' "
                        "hidden width (embedding half of it)")
    parser.add_argument("--retune", action="store_true",
                        help="tune the bundles of the languages done again "
                             "(with the models trained in OUT)")
    parser.add_argument("--train-only", action="store_true",
                        help="train the models and stop (tune later)")
    parser.add_argument("--dropout", type=float, default=0.1)
    parser.add_argument("--time-budget", type=float, default=None,
                        help="wall seconds of neural training per language")
    parser.add_argument("--architecture", choices=("lstm", "transformer"),
                        default="lstm")
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
    if args.partner is not None and not args.alternate:
        parser.error("--partner needs --alternate: it sizes the right-to-left "
                     "members")
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
    ensemble = (f" ensemble of {args.members} (mode, weight) | its "
                f"training, CPU-min |" if args.members > 1 else "")
    print("| language | n-gram | neural | n-gram 10-best rescored | neural "
          "beam rescored | bundle (mode, weight) | neural training, CPU-min "
          f"|{ensemble}\n|---|---|---|---|---|---|---|"
          f"{'---|---|' if ensemble else ''}", flush=True)
    results = []
    with multiprocessing.Pool(args.jobs) as pool:
        for r in pool.imap(measure, [(lang, args.data, args.out, settings,
                                      args.retune, args.train_only,
                                      args.members,
                                      Members(args.alternate, args.partner))
                                     for lang in languages]):
            if r is None:
                continue
            print(row(r, args.members), flush=True)
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
          f"{sum(r['neural_cpu_min'] for r in results) / n:.1f} |"
          + (f" {macro(results, str(args.members), 'wer'):.2f} | "
             f"{macro(results, str(args.members), 'neural_cpu_min'):.1f} |"
             if args.members > 1 else ""))
    if args.members > 1:
        print("\n| language | members | bundle (mode, weight) | ms per word "
              "| neural training, CPU-min |\n|---|---|---|---|---|")
        for r in results:
            for k, e in r["ensembles"].items():
                print(f"| {r['language']} | {k} | {e['wer']:.2f} "
                      f"({e['mode']} {e['weight']:g}) | "
                      f"{e['ms_per_word']:.2f} | "
                      f"{e['neural_cpu_min']:.1f} |")
        for k in map(str, range(1, args.members + 1)):
            print(f"| macro | {k} | {macro(results, k, 'wer'):.2f} | "
                  f"{macro(results, k, 'ms_per_word'):.2f} | "
                  f"{macro(results, k, 'neural_cpu_min'):.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

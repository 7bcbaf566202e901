"""Accuracy of `tamsu train` across languages: dev-set WER and PER.

    .venv/bin/python bench/multilingual.py                 # 15 languages
    .venv/bin/python bench/multilingual.py --cmu           # and CMU dev
    .venv/bin/python bench/multilingual.py --only kor,jpn --set order=8

Trains each SIGMORPHON 2020 language (../shared/data/g2p-2020 or --data) on
its training set with tamsu's defaults (plus any --set overrides), decodes
its development set and prints, per language, word and phoneme error
rates, training time, model size and decoding time per word, then the
macro-average. --cmu does the same for the CMU development split (trained
on the training part minus that tenth, as data/build_model.py --tune does).
Two languages train at a time, one thread each. Test sets are never read.
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import json
import multiprocessing
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterator

ROOT = Path(__file__).resolve().parent.parent
LANGUAGES = ("ady arm bul dut fre geo gre hin hun ice jpn kor lit rum "
             "vie").split()
DEFAULT_DATA = ROOT.parent / "shared" / "data" / "g2p-2020"


def measure(name: str, train_path: str, dev_path: str, settings: dict,
            threads: int, jobs: int) -> dict:
    from tamsu.evaluation import evaluate
    from tamsu.training import train

    with tempfile.TemporaryDirectory() as folder:
        model = os.path.join(folder, name + ".fst")
        started = time.monotonic()
        report = train(train_path, model, threads=threads, progress=False,
                       **settings)
        seconds = time.monotonic() - started
        with stderr_discarded():
            started = time.monotonic()
            result = evaluate(model, dev_path, jobs=jobs)
            decoding = time.monotonic() - started
    return measured(name, result, report, seconds, report.file_size,
                    decoding * jobs)


@contextlib.contextmanager
def stderr_discarded() -> Iterator[None]:
    """The decoder reports unknown graphemes on file descriptor 2; the
    count of words without a pronunciation says enough here."""
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def measured(name: str, result, report, seconds: float, size: int,
             decoding: float) -> dict:
    """One table row: error rates on the dev set, cost of training and
    decoding (`decoding`: processor-seconds over all words)."""
    return dict(name=name, wer=100 * result.word_error_rate,
                per=100 * result.phoneme_error_rate, seconds=seconds,
                size=size, words=result.words,
                graphemes=report.graphemes, floor=report.floor_tokens,
                unaligned=len(report.unaligned),
                no_pronunciation=result.no_pronunciation,
                ms_per_word=1000 * decoding / max(result.words, 1))


def measure_ensemble(name: str, train_path: str, dev_path: str,
                     variants: list[dict], threads: int, jobs: int) -> dict:
    """Like measure, for the posterior sum of one model per variant."""
    from tamsu.ensemble import Ensemble
    from tamsu.evaluation import EvaluationReport, score
    from tamsu.lexicon import read_lexicon
    from tamsu.training import train

    with tempfile.TemporaryDirectory() as folder:
        models, seconds, size = [], 0.0, 0
        for i, settings in enumerate(variants):
            model = os.path.join(folder, f"{name}{i}.fst")
            started = time.monotonic()
            report = train(train_path, model, threads=threads,
                           progress=False, **settings)
            seconds += time.monotonic() - started
            size += report.file_size
            models.append(model)
        references = read_lexicon(dev_path).references()
        with stderr_discarded():
            started = time.monotonic()
            ensemble = Ensemble(models, depth=int(os.environ.get(
                "TAMSU_BENCH_DEPTH", "8")))
            result = EvaluationReport()
            for word, variants_of_word in references.items():
                best = ensemble.pronounce(word)
                if not best:
                    result.no_pronunciation += 1
                score(result, word, best[0][0] if best else (),
                      variants_of_word)
            decoding = time.monotonic() - started
    return measured(name, result, report, seconds, size, decoding)


def _measure_task(args: tuple) -> dict:
    if isinstance(args[3], list):
        return measure_ensemble(*args)
    return measure(*args)


def row(r: dict) -> str:
    return (f"{r['name']:6} {r['wer']:6.2f} {r['per']:6.2f} "
            f"{r['seconds']:7.1f} {r['size'] / 1e6:7.2f} "
            f"{r['ms_per_word']:8.3f} {r['no_pronunciation']:5} "
            f"{r['graphemes']:>4} {r['floor']:5} {r['unaligned']:5}")


def parse_settings(pairs: list[str]) -> dict:
    settings = {}
    for pair in pairs:
        key, _, value = pair.partition("=")
        try:
            settings[key] = ast.literal_eval(value)
        except (ValueError, SyntaxError):
            settings[key] = value
    return settings


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--only", default="",
                        help="comma-separated languages (default: all 15)")
    parser.add_argument("--cmu", action="store_true",
                        help="also measure the CMU development split")
    parser.add_argument("--cmu-only", action="store_true")
    parser.add_argument("--set", action="append", default=[],
                        metavar="KEY=VALUE", help="a training option")
    parser.add_argument("--ensemble", default="",
                        help="decode with the posterior sum of one model "
                             "per ';'-separated group of KEY=VALUE settings")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--json", type=Path,
                        help="also write the results here")
    args = parser.parse_args()
    settings = parse_settings(args.set)
    if args.ensemble:
        settings = [dict(settings, **parse_settings(group.split()))
                    for group in args.ensemble.split(";")]
    print(f"settings: {settings or 'defaults'}", flush=True)
    header = (f"{'lang':6} {'WER':>6} {'PER':>6} {'train s':>7} "
              f"{'MB':>7} {'ms/word':>8} {'none':>5} {'form':>4} {'floor':>5} "
              f"{'unal':>5}")
    results = []
    if not args.cmu_only:
        languages = args.only.split(",") if args.only else LANGUAGES
        tasks = [(lang, str(args.data / f"{lang}_train.tsv"),
                  str(args.data / f"{lang}_dev.tsv"), settings, 1, 1)
                 for lang in languages]
        print(header, flush=True)
        with multiprocessing.Pool(args.jobs) as pool:
            for r in pool.imap(_measure_task, tasks):
                print(row(r), flush=True)
                results.append(r)
        n = len(results)
        print(f"{'macro':6} {sum(r['wer'] for r in results) / n:6.2f} "
              f"{sum(r['per'] for r in results) / n:6.2f} "
              f"{sum(r['seconds'] for r in results):7.1f}", flush=True)
    if args.cmu or args.cmu_only:
        sys.path.insert(0, str(ROOT / "data"))
        import cmudict
        paths = cmudict.prepare(ROOT / "data" / "cache",
                                ROOT / "data" / "en_us" / "test.dict")
        r = _measure_task(("cmu", str(paths["fit"]), str(paths["dev"]),
                           settings, args.jobs, args.jobs))
        print(header)
        print(row(r), flush=True)
        results.append(r)
    if args.json:
        args.json.write_text(json.dumps(dict(settings=settings,
                                             results=results), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Rebuilds the shipped US English model and its test split from scratch.

    python data/build_model.py            # fetch, split, train, evaluate
    python data/build_model.py --tune     # settings grid on the dev split
    python data/build_model.py --ensemble # and two partner models
    python data/build_model.py --baseline OLD.fst  # and a stress-free model
    python data/build_model.py --neural MINUTES    # and the neural bundle
    python data/build_model.py --partner MINUTES   # and its partner
    python data/build_model.py --refit EPOCHS --resume DONE  # on every word
    python data/build_model.py --rebundle OLD.fst  # bundle the rebuilt model

Needs npm (to fetch cmu-pronouncing-dictionary@3.0.0 into data/cache/) and
an installed tamsu. Writes data/en_us/test.dict (the held-out 10% of words,
kept in the repository), src/tamsu/models/en_us.dict.gz (the whole
dictionary, data/build_dictionary.py) and src/tamsu/models/en_us.fst, then
prints the model's accuracy on the test split. --tune never looks at the
test split: it trains on the training part minus a development tenth and
measures on that tenth. --ensemble also trains the two partner models of
the documented ensemble (two graphemes per chunk; right to left) into
data/cache/ and measures the three together (tamsu.ensemble, depth 1) on
the dev split with --tune, else on the test split (what
`tamsu evaluate -m MODEL -m PARTNER -m PARTNER` does).
--neural builds on the shipped model already at --output (run the plain
build first; the n-gram model is not trained again): it trains the neural
model (tamsu.neural, one thread, a wall-clock budget of MINUTES) on the
training part minus the development tenth, stopping early on a quarter of
that tenth, tunes the bundle's mode and weight on the whole tenth with an
n-gram model of the same words (data/cache/tune.fst), then writes the
shipped bundle (src/tamsu/models/en_us.bundle: the shipped n-gram model,
the neural model en_us.tnn, that weight) and measures it on the test split.
--partner trains the neural model's right-to-left partner
(tamsu.neural.PARTNER, seed 1, the same words and early stopping, a
wall-clock budget of MINUTES) beside it (en_us.r2l.tnn), tunes the bundle of
both as --neural tunes its bundles, and writes it beside the shipped one
(en_us.partner.bundle) with its figures on the test split.
--refit goes on training the neural model at en_us.tnn (trained for DONE
epochs, --resume) on the whole training part, the development tenth
included, for EPOCHS more epochs (no early stopping: no word is left to
stop on), into en_us.refit.tnn, and measures on the test split the
shipped bundle's mode and weight with it (en_us.refit.bundle).
--rebundle points the shipped bundle at a rebuilt n-gram model that answers
exactly as OLD.fst, the one it was tuned with (a model file that records
more, such as its phone set): it refuses when the 10 best pronunciations of
any test word, or their weights, differ.
"""

import argparse
import hashlib
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "data"))

import build_dictionary  # noqa: E402
import cmudict  # noqa: E402

# The shipped model's settings, chosen with --tune.
SETTINGS = dict(order=7, max_graphemes=1, max_phonemes=2, max_deleted=1,
                many_to_many=False, iterations=40, max_ngrams=700_000,
                phones="arpabet")

# Partners of the shipped model in the documented three-model ensemble.
PARTNERS = [dict(SETTINGS, max_graphemes=2), dict(SETTINGS, reverse=True)]

TUNING_GRID = [
    dict(SETTINGS, max_ngrams=0),
    dict(SETTINGS),
    dict(SETTINGS, max_ngrams=550_000),
    dict(SETTINGS, max_ngrams=900_000),
    dict(SETTINGS, order=8),
    dict(SETTINGS, order=6),
    dict(SETTINGS, max_phonemes=3),
    dict(SETTINGS, max_graphemes=2),
    dict(SETTINGS, max_graphemes=2, max_deleted=2),
]


def train_and_measure(train_path, test_path, model_path, settings, jobs):
    from tamsu.evaluation import evaluate
    from tamsu.training import train

    started = time.monotonic()
    report = train(train_path, model_path, **settings)
    seconds = time.monotonic() - started
    result = evaluate(model_path, test_path, jobs=jobs)
    return report, seconds, result


def print_on_test(model, paths, jobs):
    """Measures `model` on the test split and prints its figures, with
    stress counted and not."""
    from tamsu.evaluation import evaluate
    result = evaluate(str(model), paths["test"], jobs=jobs)
    print(model, result.summary())
    print(without_stress(result), flush=True)


def without_stress(result):
    """WER and PER of an evaluation when stress digits are not counted."""
    from tamsu.evaluation import edit_distance
    from tamsu.lexicon import remove_stress
    word_errors = phoneme_errors = 0
    for _, hypothesis, references in result.errors:
        distance = min(edit_distance(remove_stress(hypothesis),
                                     remove_stress(r)) for r in references)
        word_errors += distance > 0
        phoneme_errors += distance
    return (f"without counting stress: WER "
            f"{100 * word_errors / result.words:.2f}%  PER "
            f"{100 * phoneme_errors / result.phonemes:.2f}%")


def measure_ensemble(train_path, test_path, model_path, cache):
    from tamsu.evaluation import evaluate
    from tamsu.training import train

    models = [model_path]
    for i, settings in enumerate(PARTNERS):
        models.append(str(cache / f"partner{i}.fst"))
        report = train(train_path, models[-1], **settings)
        print(report.summary(), flush=True)
    # One answer per word: each model's best path, joint probabilities
    # summed (Ensemble(models, depth=1)).
    return evaluate(models, test_path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tune", action="store_true",
                        help="measure the settings grid on the dev split")
    parser.add_argument("--ensemble", action="store_true",
                        help="also train and measure the partner models")
    parser.add_argument("--baseline", metavar="MODEL",
                        help="also measure this stress-free model on the "
                             "test words without stress")
    parser.add_argument("--neural", type=float, metavar="MINUTES",
                        help="also train the neural model and the bundle")
    parser.add_argument("--threads", type=int, default=1,
                        help="training threads of the neural model")
    parser.add_argument("--resume", type=int, metavar="EPOCHS",
                        help="with --neural or --refit, go on training "
                             "the models already there, trained for EPOCHS "
                             "epochs")
    parser.add_argument("--members", type=int, default=1,
                        help="neural models trained side by side (seeds "
                             "0, 1, ...): bundles of 1 to N are measured")
    parser.add_argument("--partner", type=float, metavar="MINUTES",
                        help="also train the neural model's right-to-left "
                             "partner and measure the bundle of both")
    parser.add_argument("--refit", type=int, metavar="EPOCHS",
                        help="go on training the neural model on every "
                             "training word (with --resume: its epochs)")
    parser.add_argument("--rebundle", metavar="OLD",
                        help="point the bundle at the rebuilt model, which "
                             "must answer as OLD does")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="decoding processes for evaluation")
    parser.add_argument("--output", default=str(
        ROOT / "src" / "tamsu" / "models" / "en_us.fst"))
    args = parser.parse_args()

    paths = cmudict.prepare(ROOT / "data" / "cache",
                            ROOT / "data" / "en_us" / "test.dict")
    cache = ROOT / "data" / "cache"
    if args.tune and args.ensemble:
        model = str(cache / "tune.fst")
        train_and_measure(paths["fit"], paths["dev"], model, SETTINGS,
                          args.jobs)
        result = measure_ensemble(paths["fit"], paths["dev"], model, cache)
        print("ensemble on the dev split:", result.summary())
        return 0
    if args.tune:
        model = str(ROOT / "data" / "cache" / "tune.fst")
        for settings in TUNING_GRID:
            report, seconds, result = train_and_measure(
                paths["fit"], paths["dev"], model, settings, args.jobs)
            print(f"{settings}\n  WER {100 * result.word_error_rate:.2f}%  "
                  f"PER {100 * result.phoneme_error_rate:.2f}%  "
                  f"{report.file_size / 1e6:.1f} MB  {seconds:.0f} s",
                  flush=True)
        return 0

    if args.rebundle:
        return rebundle(paths, args.rebundle, args.output)
    if args.neural:
        build_bundle(paths, args.output, args.neural * 60, args.jobs,
                     args.threads, args.members, args.resume)
    if args.partner:
        build_partner(paths, args.output, args.partner * 60, args.jobs,
                      args.threads)
    if args.refit:
        if args.resume is None:
            parser.error("--refit needs --resume: the neural model's epochs")
        refit(paths, args.output, args.refit, args.resume, args.jobs,
              args.threads)
    if args.neural or args.partner or args.refit:
        return 0
    build_dictionary.main()  # the shipped dictionary, from the same source
    report, seconds, result = train_and_measure(
        paths["train"], paths["test"], args.output, SETTINGS, args.jobs)
    print(report.summary())
    print(f"training took {seconds:.1f} s")
    print(result.summary())
    print(without_stress(result))
    if args.baseline:
        from tamsu.evaluation import evaluate
        baseline = evaluate(args.baseline, paths["test-no-stress"],
                            jobs=args.jobs)
        print("the stress-free baseline:", baseline.summary())
    if args.ensemble:
        result = measure_ensemble(paths["train"], paths["test"], args.output,
                                  cache)
        print("ensemble on the test split:", result.summary())
    return 0


def build_bundle(paths, ngram_path, budget, jobs, threads, members,
                 resume=None):
    """The neural model and the shipped bundle (see --neural)."""
    from concurrent.futures import ThreadPoolExecutor
    from tamsu import neural

    first = Path(ngram_path).with_suffix(".tnn")
    networks = [str(first)] + [
        str(first.with_name(f"{first.stem}.{k + 1}.tnn"))
        for k in range(1, members)]
    dev, stop = dev_words(paths)

    # One thread each: a second gains 10-15% on products this small (it
    # pays to train a second member on the other core instead). Three
    # thousand batches per epoch: a warm-up of 1,000 keeps the rate from
    # decaying through the first epochs as it would after the small
    # lexicons' 100. Members differ by seed only.
    def member(k):
        init = {} if resume is None else {
            "init": networks[k], "init_epochs": resume}
        report = neural.train_neural(
            paths["fit"], networks[k], dev=stop, time_budget=budget,
            threads=threads, warmup_steps=1000, seed=k, **init,
            progress=lambda p: print(
                f"member {k + 1} epoch {p.epoch}: dev WER {p.dev_wer:.2f}% "
                f"({p.seconds / 60:.0f} min)", flush=True))
        print(f"member {k + 1}: {report.epochs} epochs ({report.stopped}), "
              f"{report.cpu_seconds / 60:.0f} CPU-min", flush=True)

    with ThreadPoolExecutor(members) as pool:
        list(pool.map(member, range(members)))
    # Each ensemble size is tuned and measured (en_us.N.bundle): the
    # shipped bundle is chosen by the figures.
    for size in range(1, members + 1):
        measure_bundle(paths, ngram_path, networks[:size], dev,
                       f"{size} member(s)", f"{size}.bundle", jobs)
    print_on_test(networks[0], paths, jobs)


def build_partner(paths, ngram_path, budget, jobs, threads):
    """The neural model's right-to-left partner and the bundle of both
    (see --partner)."""
    from tamsu import neural

    first = Path(ngram_path).with_suffix(".tnn")
    partner = first.with_name(f"{first.stem}.r2l.tnn")
    dev, stop = dev_words(paths)
    report = neural.train_neural(
        paths["fit"], partner, dev=stop, time_budget=budget, threads=threads,
        warmup_steps=1000, seed=1, reverse=True, architecture=neural.PARTNER,
        progress=lambda p: print(
            f"partner epoch {p.epoch}: dev WER {p.dev_wer:.2f}% "
            f"({p.seconds / 60:.0f} min)", flush=True))
    print(f"partner: {report.epochs} epochs ({report.stopped}), "
          f"{report.cpu_seconds / 60:.0f} CPU-min", flush=True)
    measure_bundle(paths, ngram_path, [str(first), str(partner)], dev,
                   "with its partner", "partner.bundle", jobs)


def refit(paths, ngram_path, epochs, done, jobs, threads):
    """The neural model trained on for `epochs` on every training word,
    and the shipped bundle's mode and weight with it (see --refit)."""
    import dataclasses
    from tamsu import bundle as bundles
    from tamsu import neural

    first = Path(ngram_path).with_suffix(".tnn")
    output = first.with_name(f"{first.stem}.refit.tnn")
    # The warm-up and seed of --neural: only the words and the epochs
    # differ.
    report = neural.train_neural(
        paths["train"], output, dev_share=0.0, epochs=epochs,
        threads=threads, warmup_steps=1000, init=str(first),
        init_epochs=done, progress=lambda p: print(
            f"refit epoch {p.epoch}: loss {p.loss:.4f} "
            f"({p.seconds / 60:.0f} min)", flush=True))
    print(f"refit: {report.epochs} epochs, {report.cpu_seconds / 60:.0f} "
          f"CPU-min", flush=True)
    shipped = bundles.read_bundle(Path(ngram_path).with_suffix(".bundle"))
    written = first.with_name(f"{first.stem}.refit.bundle")
    bundles.write_bundle(written, dataclasses.replace(
        shipped, neural=(str(output),)))
    for model in (written, output):
        print_on_test(model, paths, jobs)


def dev_words(paths):
    """The development tenth, and the quarter of it that early stopping
    measures."""
    import dataclasses
    from tamsu.lexicon import read_lexicon
    # Early stopping needs a steady figure, not every dev word: greedy
    # decoding of all 12,694 would cost minutes of each epoch.
    dev = read_lexicon(paths["dev"])
    return dev, dataclasses.replace(dev, entries=[
        e for e in dev.entries if int(hashlib.sha256(
            e.word.encode()).hexdigest(), 16) % 4 == 0])


def measure_bundle(paths, ngram_path, networks, dev, name, suffix, jobs):
    """Tunes the bundle of the shipped n-gram model and `networks` on the
    dev words (with an n-gram model of the neural models' training words),
    writes it beside the n-gram model as en_us.SUFFIX and measures it on
    the test split."""
    import dataclasses
    from tamsu import bundle as bundles
    from tamsu.training import train

    tune = ROOT / "data" / "cache" / "tune.fst"
    # Kept between runs while the words and settings it was made from are
    # the same (the split is rewritten on every run).
    source = hashlib.sha256((Path(paths["fit"]).read_text(encoding="utf-8")
                             + repr(SETTINGS)).encode()).hexdigest()
    stamp = tune.with_suffix(".source")
    if not (tune.exists() and stamp.exists()
            and stamp.read_text(encoding="utf-8") == source):
        train(paths["fit"], str(tune), **SETTINGS)
        stamp.write_text(source, encoding="utf-8")
    tune = str(tune)
    tuned = bundles.tune_bundle(
        tune, tuple(networks), list(dev.references().items()),
        str(ROOT / "data" / "cache" / "tune.bundle"), threads=2)
    print(f"{name}: dev WER {tuned.dev_wer} ({tuned.mode}, weight "
          f"{tuned.weight})", flush=True)
    written = Path(ngram_path).with_name(
        f"{Path(ngram_path).stem}.{suffix}")
    bundles.write_bundle(written, dataclasses.replace(
        tuned, ngram=ngram_path, neural=tuple(networks)))
    print_on_test(written, paths, jobs)


def rebundle(paths, old, ngram_path):
    """Points the bundle beside `ngram_path` at it, once its 10 best answers
    and weights on every test word are `old`'s."""
    import json
    from tamsu import bundle as bundles
    from tamsu._batch import BatchDecoder
    from tamsu.lexicon import read_lexicon
    words = list(dict.fromkeys(e.word for e in read_lexicon(
        paths["test"]).entries))
    found = [BatchDecoder(model).decode(words, 10, 10000, None, None, False,
                                        2) for model in (old, ngram_path)]
    if found[0] != found[1]:
        print(f"{ngram_path} answers differently from {old}: the bundle "
              f"must be tuned again (--neural)", file=sys.stderr)
        return 1
    bundle = Path(ngram_path).with_suffix(".bundle")
    data = json.loads(bundle.read_text(encoding="utf-8"))
    here = bundle.parent
    bundles.write_bundle(bundle, bundles.Bundle(
        ngram_path, (str(here / data["neural"]),), data["mode"], data["weight"],
        data["depth"], data["dev_wer"], data.get("weights", {})))
    print(f"{bundle}: now bundles {ngram_path} ({len(words)} test words "
          f"answered alike)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

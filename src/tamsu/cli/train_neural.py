"""`tamsu train-neural`: a neural model, and optionally its bundle with an
n-gram model, from a pronunciation dictionary.

The lexicon is read and checked as `tamsu train` reads it (the same
options, from tamsu.training.TrainOptions); training is
tamsu.neural.train_neural, the bundle's tuning tamsu.bundle.tune_bundle.
Every input and output is checked before training starts, which takes
minutes.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING

from tamsu.cli.options import (RunError, add_progress_option,
                               add_train_option, add_training_files, real,
                               say, say_skipped, whole)
from tamsu.files import check_outputs
from tamsu.lexicon import Lexicon
from tamsu.progress import Bar
from tamsu.training import (TrainOptions, check_output, lexicon_of,
                            recorded_options)

if TYPE_CHECKING:
    from tamsu.bundle import Bundle
    from tamsu.neural import EpochProgress, NeuralTrainReport

__all__ = ["DESCRIPTION", "SUMMARY", "add_options", "run"]

SUMMARY = ("train a neural model (needs PyTorch), alone or bundled with an "
           "n-gram model")
DESCRIPTION = (
    "Train a neural model (a small LSTM or transformer encoder-decoder; "
    "PyTorch is needed to train, not to decode) from a pronunciation "
    "dictionary, with early stopping on dev words. With --ngram, also "
    "train a smaller partner that reads the other way round (unless "
    "--no-partner) and write a bundle that rescores the n-gram model's "
    "best pronunciations with both, tuned on the dev words.")

# The networks by name, the default first.
ARCHITECTURES = ("lstm", "transformer")

# The n-gram training options that also decide how a neural model reads
# its lexicon.
_SHARED = ("graphemes", "strip_stress", "reverse", "max_malformed",
           "inventory_check")


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu train-neural`."""
    add_training_files(parser, "the neural model")
    parser.add_argument(
        "--ngram", metavar="MODEL",
        help="an n-gram model of the same lexicon: also write a bundle of "
             "both (see --bundle) whose combination is tuned on the dev "
             "words")
    parser.add_argument(
        "--bundle", metavar="PATH",
        help="where to write the bundle (default: MODEL.bundle); decode "
             "with it like with any model file")
    parser.add_argument(
        "--refit", metavar="NGRAM_OUT",
        help="after tuning, train both models again on every word (the "
             "dev words too): the n-gram model with the options --ngram "
             "records, into NGRAM_OUT; each neural model for as many "
             "epochs as its tuned one's best, into its file; the bundle "
             "names them, with the tuned mode and weight")
    partner = parser.add_mutually_exclusive_group()
    partner.add_argument(
        "--partner", metavar="MODEL",
        help="with --ngram, where to write the bundle's second neural model, "
             "which reads the other way round with a smaller network "
             "(tamsu.neural.PARTNER) and trains on the same words (default: "
             "the output's name with .r2l before its extension): the bundle "
             "rescores with both, for about a third more time per word and "
             "half as much training again")
    partner.add_argument(
        "--no-partner", action="store_true",
        help="with --ngram, bundle the neural model alone")
    parser.add_argument(
        "--dev", metavar="LEXICON",
        help="dev words for early stopping and tuning (default: a share "
             "of the lexicon's words, set aside)")
    _add_run_options(parser)
    shared = {option.name: option for option in fields(TrainOptions)}
    for name in _SHARED:
        if name != "reverse":
            add_train_option(parser, shared[name])
    parser.add_argument(
        "--reverse", action="store_true",
        help="train right to left (the model records it; decoding still "
             "gives phonemes in reading order)")
    add_progress_option(parser, "a progress bar of the epochs")


def _add_run_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--architecture", choices=ARCHITECTURES,
                        default=ARCHITECTURES[0],
                        help=f"the network (default: {ARCHITECTURES[0]}): a "
                             f"bidirectional LSTM encoder with an attending "
                             f"LSTM decoder, or a transformer")
    parser.add_argument("--dev-share", type=real(0.0, 0.5),
                        default=0.05, metavar="SHARE",
                        help="the share set aside without --dev (default: "
                             "0.05)")
    parser.add_argument("--epochs", type=whole(1, 100000), default=200,
                        metavar="N", help="most epochs (default: 200)")
    parser.add_argument("--patience", type=whole(1, 100000), default=15,
                        metavar="N",
                        help="stop after N epochs without a better dev word "
                             "error rate (default: 15)")
    parser.add_argument("--time-budget", type=real(1.0, math.inf),
                        default=None, metavar="SECONDS",
                        help="stop before an epoch that would end later "
                             "(default: none)")
    parser.add_argument("--threads", type=whole(1, 64), default=1,
                        metavar="N",
                        help="PyTorch threads (default: 1; more are "
                             "slower on a busy machine)")
    parser.add_argument("--seed", type=whole(0, 2**32 - 1), default=0,
                        metavar="N", help="random seed (default: 0)")
    parser.add_argument("--init", metavar="MODEL",
                        help="go on training this neural model (its "
                             "network; the lexicon must have its symbols)")
    parser.add_argument("--init-epochs", type=whole(0, 100000), default=0,
                        metavar="N",
                        help="with --init, the epochs it was trained for: "
                             "the learning rate goes on falling from there "
                             "(default: 0)")


@dataclass(frozen=True)
class _Inputs:
    """The run's inputs, read and checked."""
    options: TrainOptions
    lexicon: Lexicon
    dev: Lexicon | None
    bundle: str | None  # where the bundle goes, with --ngram
    partner: str | None  # where its second neural model goes, if any
    # The n-gram model's training options, with --refit.
    ngram_options: TrainOptions | None


def run(args: argparse.Namespace) -> int:
    """Trains as `args` ask and prints the summary; returns the exit
    status."""
    try:
        inputs = _checked_inputs(args)
        report = _train(args, inputs)
        summary = _summary(report)
        partner = None
        if inputs.partner is not None:
            partner = _train(args, inputs, partner=True)
            summary += "\n" + _summary(partner)
        if inputs.bundle is not None:
            from tamsu.bundle import tune_bundle
            tuned = tune_bundle(
                args.ngram, (args.output, inputs.partner) if inputs.partner
                else args.output, report.dev, inputs.bundle)
            summary += "\n" + _bundle_summary(inputs.bundle, tuned)
            if inputs.ngram_options is not None:
                summary += "\n" + _refit(args, inputs, report, partner,
                                         tuned)
    except (ImportError, OSError, ValueError) as error:
        raise RunError.of(error)
    print(summary, file=sys.stderr)
    return 0


def _checked_inputs(args: argparse.Namespace) -> _Inputs:
    """Reads the lexicons and checks the n-gram model and the outputs,
    so that no input fails after the training. Raises OSError or
    ValueError (LexiconError) naming what is unusable."""
    for option in ("bundle", "refit", "partner", "no_partner"):
        if getattr(args, option) and not args.ngram:
            raise ValueError(f"--{option.replace('_', '-')} needs --ngram: "
                             f"the n-gram model to combine with")
    bundle = (args.bundle or f"{args.output}.bundle") if args.ngram else None
    partner = None
    if args.ngram and not args.no_partner:
        root, extension = os.path.splitext(args.output)
        partner = args.partner or f"{root}.r2l{extension}"
    options = TrainOptions(**{name: getattr(args, name) for name in _SHARED})
    check_outputs({"the output": args.output, "the bundle": bundle,
                   "--refit": args.refit, "the partner": partner},
                  {"the lexicon": args.lexicon, "the dev lexicon": args.dev,
                   "the n-gram model": args.ngram})
    # Outputs not written yet have no inode for check_outputs to compare.
    named = [os.path.abspath(o) for o in (args.output, bundle, args.refit,
                                          partner) if o is not None]
    if len(set(named)) < len(named):
        raise ValueError("the output, the bundle, --refit and the partner "
                         "must be different files")
    for output in (args.output, bundle, args.refit, partner):
        if output is not None:
            check_output(output, args.lexicon)
    trained_on, ngram_options = (_check_ngram(args.ngram) if args.ngram
                                 else (None, None))
    if args.refit and ngram_options is None:
        raise ValueError(
            f"--refit: {args.ngram} records no training options to train it "
            f"again with (it was trained without --hold-out, or by an older "
            f"tamsu): train it again with tamsu train --hold-out")
    lexicon = lexicon_of(args.lexicon, options)
    say(lexicon.summary())
    say_skipped(lexicon.malformed)
    dev = None if args.dev is None else lexicon_of(args.dev, options)
    if args.ngram:
        _check_unseen(args, lexicon, trained_on)
    return _Inputs(options, lexicon, dev, bundle, partner,
                   ngram_options if args.refit else None)


def _check_unseen(args: argparse.Namespace, lexicon: Lexicon,
                  trained_on: str | None) -> None:
    """Refuses an n-gram model that was not trained on exactly the neural
    model's training words: the bundle is tuned on the dev words, and an
    n-gram model that has seen them looks nearly perfect there, so the
    tuning would choose it alone."""
    from tamsu.lexicon import split_words, words_digest
    words = {e.word for e in lexicon.entries}
    if args.dev is None:
        words -= split_words(words, args.dev_share, args.seed)
    if trained_on == words_digest(words):
        return
    how = (f"--hold-out {args.dev_share:g} --seed {args.seed}"
           if args.dev is None else "--hold-out 0")
    raise ValueError(
        f"--ngram {args.ngram} {'was' if trained_on else 'may have been'} "
        f"trained on other words than the neural model, the dev words "
        f"perhaps: the bundle would be tuned on words it has seen. Train it "
        f"on the same words: tamsu train {args.lexicon} {how} -o "
        f"{args.ngram}")


def _check_ngram(path: str) -> tuple[str | None, TrainOptions | None]:
    """Refuses a --ngram file that is no n-gram model or does not load;
    the digest of the words it records it was trained on, and the options
    it records it was trained with."""
    from tamsu.decoders import (NgramDecoder, SearchOptions, load_decoder,
                                model_kind)
    kind = model_kind(path)
    if kind != "ngram":
        what = "a bundle" if kind == "bundle" else f"a {kind} model"
        raise ValueError(f"--ngram {path} is {what}, not an n-gram model")
    try:
        decoder = load_decoder(path, "", SearchOptions())
    except (OSError, ValueError) as error:
        raise ValueError(f"--ngram: {RunError.of(error)}") from None
    assert isinstance(decoder, NgramDecoder)  # its kind, checked above
    return decoder.trained_on, recorded_options(decoder.model)


def _train(args: argparse.Namespace, inputs: _Inputs,
           refit: tuple[Lexicon, int] | None = None,
           partner: bool = False) -> NeuralTrainReport:
    """Trains the neural model, or with `partner` the bundle's second one
    (which reads the other way round, and starts afresh even with --init);
    with `refit` (every word, and the epochs to run) on all of them,
    without early stopping. Both set the same dev words aside (the
    seed)."""
    from tamsu.neural import (PARTNER, LstmArchitecture, NeuralArchitecture,
                              train_neural)
    lexicon, dev, epochs = ((inputs.lexicon, inputs.dev, args.epochs)
                            if refit is None else (refit[0], None, refit[1]))
    output = inputs.partner if partner else args.output
    assert output is not None  # a partner is trained only when named
    with Bar(args.progress, epochs, "epochs", "epochs") as bar:
        def epoch_done(epoch: EpochProgress) -> None:
            bar.note(f"dev WER {epoch.dev_wer:.1f}% "
                     f"(best {epoch.best_dev_wer:.1f}%)")
            bar.reach(epoch.epoch, _expected_epochs(epoch, args.time_budget))

        return train_neural(
            lexicon, output, dev=dev,
            architecture=(PARTNER if partner
                          else LstmArchitecture() if args.architecture == "lstm"
                          else NeuralArchitecture()),
            dev_share=args.dev_share if refit is None else 0.0,
            epochs=epochs,
            time_budget=args.time_budget, patience=args.patience,
            seed=args.seed, threads=args.threads,
            graphemes=inputs.options.graphemes,
            reverse=inputs.options.reverse != partner,
            init=None if partner else args.init,
            init_epochs=0 if partner else args.init_epochs,
            progress=epoch_done)


def _refit(args: argparse.Namespace, inputs: _Inputs,
           report: NeuralTrainReport, partner: NeuralTrainReport | None,
           tuned: Bundle) -> str:
    """Trains the models (the partner too) again on every word and
    rewrites the bundle to name them with the tuned mode and weight; what
    was done."""
    import dataclasses
    from tamsu.bundle import write_bundle
    from tamsu.training import train
    assert inputs.ngram_options is not None and inputs.bundle is not None
    every = dataclasses.replace(inputs.lexicon, entries=[
        *inputs.lexicon.entries,
        *(inputs.dev.entries if inputs.dev is not None else ())])
    # Recording every word as trained on: the refitted model cannot be
    # mistaken for a held-out one.
    train(every, args.refit, inputs.ngram_options, hold_out=0.0,
          progress=args.progress)
    again = [_train(args, inputs, (every, report.best_epoch))]
    if partner is not None:
        again.append(_train(args, inputs, (every, partner.best_epoch),
                            partner=True))
    write_bundle(inputs.bundle, dataclasses.replace(
        tuned, ngram=args.refit,
        neural=(args.output, *([inputs.partner] if inputs.partner else []))))
    neural = " and ".join(f"{r.path} ({r.epochs} epochs)" for r in again)
    return (f"refitted on {len({e.word for e in every.entries})} words: "
            f"{args.refit}, and {neural}; "
            f"{inputs.bundle} names them (its dev figures are the tuned "
            f"models')")


def _expected_epochs(epoch: EpochProgress, budget: float | None) -> int:
    """The epochs the run is expected to reach, as the trainer stops: all
    of them, or under a time budget those that fit in it at the mean
    epoch so far (the bar's total, so that its time left is the
    budget's, not that of every epoch)."""
    if budget is None or epoch.seconds <= 0:
        return epoch.epochs
    fitting = math.floor(budget * epoch.epoch / epoch.seconds)
    return max(epoch.epoch, min(epoch.epochs, fitting))


def _summary(report: NeuralTrainReport) -> str:
    """What was trained, how long it took and how good it is on dev."""
    kept = (f"epoch {report.best_epoch} of {report.epochs} kept (stopped "
            f"by {report.stopped})")
    return (f"trained {report.path} in {report.seconds:.0f} s "
            f"({report.cpu_seconds:.0f} CPU s): {report.entries} entries, "
            f"{report.parameters} parameters, {kept}, dev WER "
            f"{report.dev_wer:.2f}% greedy on {report.dev_words} words")


def _bundle_summary(path: str, bundle: Bundle) -> str:
    """The bundle's tuning: the mode chosen, its weight and its dev word
    error rate beside each model's alone."""
    wer = bundle.dev_wer
    return (f"bundle {path}: {bundle.mode}, weight {bundle.weight:g}; dev "
            f"WER n-gram {wer['ngram']:.2f}%, neural {wer['neural']:.2f}%, "
            f"the bundle ({bundle.mode}) {wer[bundle.mode]:.2f}%")

"""The tamsu models command: list the catalogued models, build one into the
cache, print where it is."""

from __future__ import annotations

import argparse
import sys
import time

from tamsu import catalogue
from tamsu.command import PROG, RunError

__all__ = ["add_options", "run"]


def add_options(parser: argparse.ArgumentParser) -> None:
    """Adds the actions of `tamsu models` to `parser`."""
    actions = parser.add_subparsers(dest="action", metavar="ACTION",
                                    required=True)
    actions.add_parser(
        "list", help="show the catalogued models: cached or not, phone set, "
        "held-out error rates, licence")
    get = actions.add_parser(
        "get", help="build a catalogued model into the cache",
        description="Build a catalogued model into the cache: obtain its "
        "pronunciation list (from --source, else by downloading it from "
        "its pinned address), train it with the catalogued settings and "
        "check that the result is the catalogued model. Then -m NAME "
        "uses it.")
    get.add_argument("name", metavar="NAME", nargs="+")
    get.add_argument(
        "--source", metavar="PATH",
        help="a local copy of the list: the file itself, or a folder "
             "holding it (also in a tsv/ subfolder, as WikiPron keeps them)")
    get.add_argument("--threads", type=int, default=None, metavar="N",
                     help="training threads (default: one per CPU; the "
                          "model is the same whatever the number)")
    path = actions.add_parser("path", help="print a cached model's path")
    path.add_argument("name", metavar="NAME")


# The shipped models (data/build_model.py measures them on the held-out
# words, stress counted): name, held-out WER (without stress), PER.
SHIPPED = [("en_us", "28.5% (23.3% without stress)", "7.5%"),
           ("en_us-ngram", "33.4% (25.4% without stress)", "8.5%")]


def _list() -> None:
    print("name\tcached\tlanguage\tphones\twer\tper\tlicence")
    for name, wer, per in SHIPPED:
        print(f"{name}\tshipped\tEnglish (Latin, US)\tARPAbet with stress\t"
              f"{wer}\t{per}\tBSD (the CMU Pronouncing Dictionary)")
    for name, item in sorted(catalogue.entries().items()):
        cached = "yes" if catalogue.cached_path(name).exists() else "no"
        where = ", ".join(filter(None, (item.script, item.dialect)))
        mark = "  experimental" if item.experimental else ""
        print(f"{name}\t{cached}\t{item.language_name} ({where})\t"
              f"{item.phones}\t"
              f"{100 * item.wer:.1f}%{mark}\t{100 * item.per:.1f}%\t"
              f"{item.licence}")
    print(catalogue.ATTRIBUTION, file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    """Does what `args` ask; RunError when a model cannot be had."""
    try:
        if args.action == "list":
            _list()
        elif args.action == "path":
            catalogue.entry(args.name)  # an unknown name fails here
            print(catalogue.cached_model(args.name))
        else:
            for name in args.name:
                started = time.monotonic()
                path = catalogue.get(
                    name, args.source, threads=args.threads,
                    say=lambda note: print(f"{PROG}: {note}",
                                           file=sys.stderr))
                print(f"{PROG}: built {name} in "
                      f"{time.monotonic() - started:.0f} s. "
                      f"{catalogue.ATTRIBUTION}", file=sys.stderr)
                print(path)
    except (catalogue.CatalogueError, OSError, ValueError) as error:
        raise RunError(str(error))
    return 0

"""`tamsu models`: list the catalogued models, build one into the cache,
print where it is, show what a model is."""

from __future__ import annotations

import argparse
import os
import sys
import time

from tamsu import catalogue, phones
from tamsu.cli.options import RunError, add_progress_option, say, whole

__all__ = ["DESCRIPTION", "SUMMARY", "add_options", "run"]

SUMMARY = "list the catalogued models, build one into the cache"
DESCRIPTION = (
    "Named models for many languages, trained on demand from public "
    "pronunciation lists (Wiktionary via WikiPron, CC BY-SA) and kept in the "
    "cache ($TAMSU_CACHE, else $XDG_CACHE_HOME/tamsu, else ~/.cache/tamsu; "
    "a relative path in either variable is ignored); -m NAME then uses one.")


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
        "its pinned address), train it with the catalogued settings, write "
        "the list's own dictionary beside it (consulted first, as the "
        "shipped dictionary is for English) and check both against the "
        "catalogue. Then -m NAME uses them. A model built before catalogued "
        "models had dictionaries is not trained again: it gets its "
        "dictionary.")
    get.add_argument("name", metavar="NAME", nargs="+",
                     help="catalogued names, or language tags or names "
                          "that mean one (fr, pt-BR, French)")
    get.add_argument(
        "--source", metavar="PATH",
        help="a local copy of the list: the file itself, or a folder "
             "holding it (also in a tsv/ subfolder, as WikiPron keeps them)")
    get.add_argument("--threads", type=whole(1, 64), default=None,
                     metavar="N",
                     help="training threads (default: one per CPU; the "
                          "model is the same whatever the number)")
    add_progress_option(get, "progress bars of the download and training")
    path = actions.add_parser("path", help="print a cached model's path")
    path.add_argument("name", metavar="NAME")
    show = actions.add_parser(
        "show", help="show what a model is: its kind, phone set and "
        "graphemes, and for a named one its language, accuracy and licence")
    show.add_argument("model", metavar="MODEL",
                      help="a model file, a shipped or catalogued name, or "
                           "a language tag or name that means one (fr, "
                           "pt-BR, French)")


def _wer(shipped: catalogue.Shipped) -> str:
    return (f"{100 * shipped.wer:.1f}% ({100 * shipped.wer_without_stress:.1f}"
            f"% without stress)")


def _cached(name: str) -> str:
    """The cached column: "yes", "no", or "yes, no dictionary" for a model
    built before catalogued models had dictionaries."""
    if not catalogue.cached_path(name).exists():
        return "no"
    if not catalogue.cached_dictionary_path(name).exists():
        return "yes, no dictionary"
    return "yes"


def _list() -> None:
    """One line per model, tab-separated under a header; the experimental
    column says why a model's accuracy is poor (empty when it is not)."""
    print("name\tcached\tlanguage\tphones\twer\tper\tlicence\t"
          "experimental")
    for name, shipped in catalogue.SHIPPED.items():
        print(f"{name}\tshipped\t{shipped.language_name}\t{shipped.phones}\t"
              f"{_wer(shipped)}\t{100 * shipped.per:.1f}%\t{shipped.licence}"
              f"\t")
    for name, item in sorted(catalogue.entries().items()):
        where = ", ".join(filter(None, (item.script, item.dialect)))
        print(f"{name}\t{_cached(name)}\t{item.language_name} ({where})\t"
              f"{item.phones}\t{100 * item.wer:.1f}%\t"
              f"{100 * item.per:.1f}%\t{item.licence}\t{item.experimental}")
    print(catalogue.ATTRIBUTION, file=sys.stderr)


def _show(model: str) -> None:
    """Prints what `model` (a file, a name, a language tag) is, one fact
    per line."""
    from tamsu.decoders import KINDS, SearchOptions, load_decoder, model_kind
    facts = []
    name = catalogue.model_name(model)
    if name is not None and name != model:
        facts.append(("name", name))
    item = catalogue.entries().get(name) if name is not None else None
    if item is not None and not catalogue.cached_path(item.name).exists():
        facts.append(("file", f"not built yet (tamsu models get "
                              f"{item.name})"))
    else:
        path = catalogue.resolve(model)
        decoder = load_decoder(path, "", SearchOptions())
        alphabet = decoder.alphabet
        facts += [("file", os.path.abspath(path)),
                  *_dictionary(item),
                  ("kind", KINDS[model_kind(path)]),
                  ("phones", phones.PHONE_SET_NAMES.get(decoder.phones or "",
                                                        "not known")),
                  ("graphemes", f"{len(alphabet.graphemes)}, "
                                f"{alphabet.form.upper()}")]
    shipped = catalogue.SHIPPED.get(name) if name is not None else None
    if shipped is not None:
        facts += [("language", f"{shipped.language_name}, "
                               f"{shipped.language}"),
                  ("transcription", shipped.phones),
                  ("held-out", f"WER {_wer(shipped)}, PER "
                               f"{100 * shipped.per:.1f}%"),
                  ("cost", f"about {shipped.ms_per_word:g} ms per word the "
                           f"dictionary lacks (one thread)"),
                  ("licence", shipped.licence)]
    if item is not None:
        where = ", ".join(filter(None, (item.script, item.dialect)))
        facts += [("language", f"{item.language_name} ({where}), "
                               f"{item.language}"),
                  ("transcription", item.phones),
                  ("held-out", f"WER {100 * item.wer:.1f}%, PER "
                               f"{100 * item.per:.1f}% on {item.test_words:,} "
                               f"words"),
                  ("licence", item.licence)]
        if item.experimental:
            facts.append(("experimental", item.experimental))
    for fact, value in facts:
        print(f"{fact}\t{value}")


def _dictionary(item: catalogue.Entry | None) -> list[tuple[str, str]]:
    """The dictionary fact of a cached catalogued model."""
    if item is None:
        return []
    path = catalogue.cached_dictionary_path(item.name)
    if not path.exists():
        return [("dictionary", f"none (built before catalogued models had "
                               f"one: tamsu models get {item.name} adds it)")]
    return [("dictionary", str(path))]


def _named(name: str) -> str:
    """The catalogued model `name` (or a language tag or name) means."""
    found = catalogue.model_name(name)
    catalogue.entry(found if found is not None else name)  # fails unknown
    return found if found is not None else name


def run(args: argparse.Namespace) -> int:
    """Does what `args` ask; RunError when a model cannot be had."""
    try:
        if args.action == "list":
            _list()
        elif args.action == "show":
            _show(args.model)
        elif args.action == "path":
            print(catalogue.cached_model(_named(args.name)))
        else:
            _get(args.name, args.source, args.threads, args.progress)
    except BrokenPipeError:
        raise  # the reader went away: main stops quietly
    except (catalogue.CatalogueError, OSError, ValueError) as error:
        raise RunError.of(error)
    return 0


def _get(names: list[str], source: str | None, threads: int | None,
         progress: bool | None) -> None:
    """Builds the models `names` into the cache, printing their paths."""
    for name in map(_named, names):
        started, processor = time.monotonic(), time.process_time()
        path = catalogue.get(name, source, threads=threads,
                             progress=progress, say=say)
        say(f"built {name} in {time.monotonic() - started:.0f} s "
            f"({time.process_time() - processor:.0f} s of processor time). "
            f"{catalogue.ATTRIBUTION}")
        print(path)

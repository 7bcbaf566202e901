"""The tamsu command: apply, phonemize, train, train-neural, evaluate and
models.

Each command is a module of this package with SUMMARY, DESCRIPTION,
``add_options(parser)`` and ``run(args) -> int``; what they share is in
:mod:`tamsu.cli.options`. This module only wires them.

Exit status: 0 on success, 1 when a run fails (unreadable input, a bad
model or lexicon), 2 for usage errors. Messages go to standard error.
"""

from __future__ import annotations

import argparse
import os
import sys
from types import ModuleType
from typing import Sequence

from tamsu.cli import (apply, evaluate, models, phonemize, train,
                       train_neural)
from tamsu.cli.options import PROG, RunError, UsageError, say
from tamsu.progress import available

__all__ = ["PROG", "RunError", "build_parser", "main"]

# The commands in the order --help lists them.
_COMMANDS: dict[str, ModuleType] = {
    "apply": apply, "phonemize": phonemize, "train": train,
    "train-neural": train_neural,
    "evaluate": evaluate, "models": models}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Grapheme-to-phoneme conversion: decode "
        "words, train models, measure their accuracy.")
    from tamsu import __version__
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND",
                                     required=True)
    for name, command in _COMMANDS.items():
        sub = commands.add_parser(name, help=command.SUMMARY,
                                  description=command.DESCRIPTION)
        sub.set_defaults(run=command.run, parser=sub)
        command.add_options(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "progress", None) and not available():
        say("cannot show progress bars: tqdm is not installed "
            "(apt install python3-tqdm)")
    try:
        status: int = args.run(args)
        return status
    except UsageError as error:
        command: argparse.ArgumentParser = args.parser
        command.error(str(error))  # exits with status 2
    except RunError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # A reader such as head went away: a normal end. Stop quietly, and
        # keep the interpreter's last flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0

"""`tamsu apply --jobs N` on a long word list: wall time, and the same output.

    python bench/apply_jobs.py [WORDS] [--jobs 1 2 4] [--model NAME]

Runs `tamsu apply -f WORDS` (the default model unless --model is given)
once for each job count, and prints the wall-clock time of each, its
speed-up over the first, and how many output lines differ from the
first's (the first few shown). Exits with 1 when any do: every job count
must print the same lines. WORDS defaults to the first --count (100,000)
words of /usr/share/dict/american-english, or, without it, the words of
data/en_us/test.dict repeated to that many lines.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SYSTEM_WORDS = Path("/usr/share/dict/american-english")
SHOWN = 5


def word_list(count: int) -> tuple[list[str], str]:
    """`count` words, and where they came from."""
    if SYSTEM_WORDS.is_file():
        words = SYSTEM_WORDS.read_text().splitlines()[:count]
        return words, f"the first {len(words):,} words of {SYSTEM_WORDS}"
    path = ROOT / "data" / "en_us" / "test.dict"
    words = list(dict.fromkeys(
        line.split("\t", 1)[0] for line in path.read_text().splitlines()))
    return ((words * (count // len(words) + 1))[:count],
            f"{path.name}'s words repeated to {count:,} lines")


def timed_apply(words_file: str, jobs: int,
                model: list[str]) -> tuple[float, list[bytes]]:
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "tamsu", "apply", "-f", words_file,
         "--jobs", str(jobs), "--no-progress", *model],
        capture_output=True, check=True)
    return time.monotonic() - started, result.stdout.splitlines()


def differing(first: list[bytes], other: list[bytes]) -> list[int]:
    """The line numbers (from 1) where `other` differs from `first`,
    a missing or extra line included."""
    return [i + 1 for i in range(max(len(first), len(other)))
            if first[i:i + 1] != other[i:i + 1]]


def shown(lines: list[bytes], number: int) -> str:
    """Line `number` (from 1), or "(none)" past the end."""
    if number > len(lines):
        return "(none)"
    return repr(lines[number - 1].decode("utf-8", "replace"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("words", nargs="?")
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--model", help="default: apply's own default")
    args = parser.parse_args()
    model = ["--model", args.model] if args.model else []
    with tempfile.TemporaryDirectory() as directory:
        words_file = args.words
        if words_file is None:
            words, source = word_list(args.count)
            words_file = os.path.join(directory, "words.txt")
            Path(words_file).write_text("\n".join(words) + "\n")
        else:
            source = words_file
        count = len(Path(words_file).read_text().splitlines())
        print(f"{source}, model {args.model or 'the default'}, load "
              f"average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
        runs = [(jobs, *timed_apply(words_file, jobs, model))
                for jobs in args.jobs]
    first_jobs, first_time, first = runs[0]
    failed = False
    for jobs, seconds, lines in runs:
        lost = differing(first, lines)
        print(f"--jobs {jobs}: {seconds:.2f} s ({count / seconds:,.0f} "
              f"words/s, {first_time / seconds:.2f}x), {len(lost)} of "
              f"{len(first):,} lines differ from --jobs {first_jobs}'s")
        for number in lost[:SHOWN]:
            print(f"  line {number}: {shown(first, number)} -> "
                  f"{shown(lines, number)}")
        failed = failed or bool(lost)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

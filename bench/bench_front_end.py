"""What the G2P front end changes for a newcomer, and what it costs.

    .venv/bin/python bench/bench_front_end.py            # everything
    .venv/bin/python bench/bench_front_end.py --only overhead

Sections (each prints its own lines):

- newcomer: 60,000 words drawn with a fixed seed from Debian's wamerican
  list (/usr/share/dict/american-english: mixed case, possessives, accents),
  decoded the old way (the model alone, words as given: what `tamsu apply`
  did before the front end) and with `tamsu apply`; the share of words that
  get a pronunciation and the lines written to standard error.
- accuracy: word error rate on data/en_us/test.dict with the dictionary
  (every test word is in it) and with the model alone.
- dictionary: the shipped dictionary's load time and memory, the cost of a
  look-up through G2P.
- overhead: G2P's cost per decoded word against Model.phoneticize on the same
  words (words the dictionary does not have), processor time, interleaved;
  `--model` another model (given the shipped dictionary all the same).
"""

import argparse
import gc
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORDLIST = Path("/usr/share/dict/american-english")
SEED = 2024
SIZE = 60_000

# The old `tamsu apply`: the model alone, each word as given.
BEFORE = """
import sys
from tamsu import Model, default_model_path
words = [line.rstrip("\\n") for line in open(sys.argv[1], encoding="utf-8")]
out = sys.stdout
model = Model(default_model_path())
for word in words:
    for rank, p in enumerate(model.phoneticize_paths(word), start=1):
        phonemes = " ".join(model.find_osym(label) for label in p.uniques)
        out.write(f"{word}\\t{rank}\\t{p.path_weight:.4f}\\t{phonemes}\\n")
"""

# The shipped n-gram model by name: what Model loads (G2P's default is the
# slower neural bundle).
NGRAM = "en_us-ngram"


def newcomer_words(path: Path) -> int:
    """Writes the 60,000-word list; returns its length."""
    lines = WORDLIST.read_text(encoding="utf-8").splitlines()
    chosen = sorted(random.Random(SEED).sample(range(len(lines)), SIZE))
    path.write_text("".join(lines[i] + "\n" for i in chosen),
                    encoding="utf-8")
    return SIZE


def pronounced(stdout: str) -> int:
    """Words with at least one non-empty pronunciation in tsv or lexicon
    output (words are distinct in the list)."""
    words = set()
    for line in stdout.splitlines():
        fields = line.split("\t")
        if fields[-1].strip():
            words.add(fields[0])
    return len(words)


def section_newcomer() -> None:
    if not WORDLIST.exists():
        print("newcomer: skipped, install wamerican")
        return
    with tempfile.TemporaryDirectory() as scratch:
        words = Path(scratch) / "words.txt"
        total = newcomer_words(words)
        text = words.read_text(encoding="utf-8").splitlines()
        import tamsu
        known = tamsu.G2P(NGRAM, None).alphabet.graphemes
        lossy = sum(1 for w in text if any(c not in known for c in w))
        print(f"newcomer: {lossy} words hold characters the model lacks as "
              f"written (the old way lost them)")
        print(f"newcomer: {total} words from {WORDLIST.name} (seed {SEED}); "
              f"{sum(w[:1].isupper() for w in text)} capitalised, "
              f"{sum(chr(39) in w for w in text)} with an apostrophe, "
              f"{sum(not w.isascii() for w in text)} with non-ASCII letters")
        runs = {
            "before (model alone, as given)": [
                sys.executable, "-c", BEFORE, str(words)],
            "after (tamsu apply)": [
                sys.executable, "-m", "tamsu", "apply", "-m", NGRAM, "-f",
                str(words),
                "--oov", str(Path(scratch) / "oov.txt")],
            "after, --no-dictionary": [
                sys.executable, "-m", "tamsu", "apply", "-m", NGRAM, "-f",
                str(words),
                "--no-dictionary"],
        }
        for name, command in runs.items():
            started = time.monotonic()
            result = subprocess.run(command, capture_output=True, text=True,
                                    check=True)
            seconds = time.monotonic() - started
            got = pronounced(result.stdout)
            empty = sum(1 for line in result.stdout.splitlines()
                        if not line.split("\t")[-1].strip())
            print(f"  {name}: {got} of {total} words pronounced "
                  f"({100 * got / total:.2f}%), {empty} empty pronunciations "
                  f"printed, {len(result.stderr.splitlines())} lines on "
                  f"standard error, {seconds:.0f} s")
            for line in result.stderr.splitlines()[-3:]:
                if line.startswith("tamsu:"):
                    print(f"    {line[:150]}")


def section_accuracy() -> None:
    import tamsu
    from tamsu.evaluation import EvaluationReport, score
    from tamsu.lexicon import read_lexicon

    references = read_lexicon(ROOT / "data" / "en_us" / "test.dict"
                              ).references()
    for name, g2p in (("dictionary first", tamsu.G2P(NGRAM)),
                      ("model alone", tamsu.G2P(NGRAM, None))):
        report = EvaluationReport()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", tamsu.G2PWarning)
            for word, pronunciations in zip(references,
                                            g2p.map(references)):
                best = pronunciations[0].phonemes if pronunciations else ()
                score(report, word, best, references[word])
        print(f"accuracy, {name}: {report.words} test words, WER "
              f"{100 * report.word_error_rate:.2f}%, PER "
              f"{100 * report.phoneme_error_rate:.2f}%")


def rss_mb() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


def section_dictionary() -> None:
    import tamsu
    from tamsu.dictionary import PronunciationDictionary

    path = tamsu.default_dictionary_path()
    walls, cpus = [], []
    for _ in range(5):
        gc.collect()
        wall, cpu = time.perf_counter(), time.process_time()
        dictionary = PronunciationDictionary.read_shipped(path)
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
        del dictionary
    gc.collect()
    before = rss_mb()
    dictionary = PronunciationDictionary.read_shipped(path)
    after = rss_mb()
    del dictionary
    gc.collect()
    tracemalloc.start()
    dictionary = PronunciationDictionary.read_shipped(path)
    held, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"dictionary: {len(dictionary)} words, "
          f"{os.path.getsize(path) / 1e6:.2f} MB on disk; load "
          f"{1000 * min(cpus):.0f} ms processor time, {1000 * min(walls):.0f}"
          f" ms wall (best of 5); holds {held / 1e6:.1f} MB of Python "
          f"objects (peak {peak / 1e6:.1f} MB while loading), resident set "
          f"+{after - before:.1f} MB")
    words = [w for w in (ROOT / "data" / "en_us" / "test.dict").read_text(
        encoding="utf-8").split("\n") if w]
    words = list(dict.fromkeys(line.split("\t")[0] for line in words))
    g2p = tamsu.G2P(NGRAM)
    g2p.dictionary  # loaded outside the timing
    best = float("inf")
    for _ in range(5):
        started = time.process_time()
        for word in words:
            g2p(word)
        best = min(best, time.process_time() - started)
    raw = float("inf")
    for _ in range(5):
        started = time.process_time()
        for word in words:
            dictionary.lookup(word)
        raw = min(raw, time.process_time() - started)
    print(f"  look-up of {len(words)} dictionary words through G2P: "
          f"{1e6 * best / len(words):.1f} us per word "
          f"(PronunciationDictionary.lookup alone "
          f"{1e6 * raw / len(words):.2f} us)")


def section_overhead(reps: int, model_path: str | None) -> None:
    import statistics

    import tamsu

    path = model_path or tamsu.default_model_path()
    shipped = tamsu.default_dictionary_path()
    # Any model gets the shipped dictionary here: each word then also
    # costs its look-ups, as with the shipped model.
    g2p = tamsu.G2P(path, shipped)
    bare = tamsu.G2P(path, None)
    model = tamsu.Model(path)
    dictionary = g2p.dictionary
    assert dictionary is not None
    # Words the dictionary lacks, all letters known: decoded either way.
    lines = WORDLIST.read_text(encoding="utf-8").splitlines() \
        if WORDLIST.exists() else []
    words = [w.lower() for w in lines if w.isascii() and w.isalpha()
             and w.lower() not in dictionary][:3000]
    if len(words) < 1000:
        print("overhead: skipped, install wamerican")
        return
    runs = {
        "Model.phoneticize": model.phoneticize,
        "G2P, dictionary miss": g2p,
        "G2P, no dictionary": bare,
    }
    # Interleaved in chunks of 50 words, so that a burst of load from
    # another process falls on every decoder alike.
    totals = dict.fromkeys(runs, 0.0)
    ratios: dict[str, list[float]] = {name: [] for name in runs}
    clock = time.process_time
    for _ in range(reps):
        for start in range(0, len(words), 50):
            chunk = words[start:start + 50]
            spent = {}
            for name, call in runs.items():
                started = clock()
                for word in chunk:
                    call(word)
                spent[name] = clock() - started
                totals[name] += spent[name]
            for name in runs:
                ratios[name].append(spent[name] / spent["Model.phoneticize"])
    base = totals["Model.phoneticize"]
    print(f"overhead: {path}, {len(words)} words the dictionary lacks, "
          f"processor time, {reps} repetitions interleaved in chunks of "
          f"50 words; {os.cpu_count()} processors, load average "
          f"{os.getloadavg()[0]:.2f}")
    for name, total in totals.items():
        print(f"  {name}: {1e6 * total / reps / len(words):.1f} us per word, "
              f"{total / base:.3f} x Model.phoneticize (median of chunks "
              f"{statistics.median(ratios[name]):.3f})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", choices=["newcomer", "accuracy",
                                           "dictionary", "overhead"])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--model", help="overhead: the model file "
                        "(default: the shipped model)")
    args = parser.parse_args()
    sections = {"newcomer": section_newcomer, "accuracy": section_accuracy,
                "dictionary": section_dictionary,
                "overhead": lambda: section_overhead(args.reps, args.model)}
    for name, section in sections.items():
        if args.only in (None, name):
            section()
            sys.stdout.flush()
    print(f"peak resident set {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3:.0f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())

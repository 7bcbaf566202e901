"""Builds the catalogue of named models from a WikiPron snapshot.

    python data/build_catalogue.py --snapshot DIR [--work DIR] [--jobs N]
                                   [--only NAME...]

DIR holds WikiPron's `summary.tsv` and `tsv/*.tsv` (data/scrape at the
commit below). Every language/script/dialect with at least 1,000 entries is
a unit; its list is the broad one (the `_filtered` one where present), or
the narrow one when that is at least twice as large. Each list is split by
word (all variants of a word on one side) by a hash of the word:

    buckets  0-9   test   (only ever measured, never used for a choice)
    buckets 10-19  dev    (chooses the settings)
    buckets 20-99  fit    (what the measured models are trained on)

The settings (one or two graphemes per chunk, order 6, 7 or 8; every limit
and the phone set explicit, so that a refreshed list cannot silently change
the outcome) are chosen on dev; the chosen model trained on fit is measured
on test; the released model is trained on the whole list, once, with one
thread (--jobs units at a time), and the list's dictionary written (the
sha256 of both are recorded). Each unit's results are kept in
WORK/NAME.json, so an interrupted run resumes where it stopped.
Finally the catalogue (src/tamsu/models/catalogue.json) and the table of
languages in docs/languages.md are written from every finished unit.

    python data/build_catalogue.py --snapshot DIR --add-dictionaries

records the dictionary sha256 of every model of the catalogue as it is,
without training (for a catalogue made before models had dictionaries).
"""

import argparse
import csv
import hashlib
import json
import shutil
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import asdict, replace
from multiprocessing import get_context
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
COMMIT = "185dfcf514fe37fe4cfddddeacff1eda3afdca55"
MIN_ENTRIES = 1000
MAX_BYTES = 5_000_000
# An order-7 model takes about 30 bytes per n-gram: this keeps every model
# under MAX_BYTES (checked after training).
MAX_NGRAMS = 150_000
EXPERIMENTAL_WER = 0.5
TEST_BUCKETS = range(0, 10)
DEV_BUCKETS = range(10, 20)
GRID = [dict(max_graphemes=g, order=o) for g in (1, 2) for o in (7, 6, 8)]
CATALOGUE = ROOT / "src" / "tamsu" / "models" / "catalogue.json"
LANGUAGES_PAGE = ROOT / "docs" / "languages.md"
TABLE_START = "<!-- languages: made by data/build_catalogue.py -->"
TABLE_END = "<!-- languages end -->"

# Why a script's lists measure badly, when they do.
REASONS = {
    "Arabic": "written without most vowels",
    "Hebrew": "written without most vowels",
    "Syriac": "written without most vowels",
    "Han": "logographic: a character's reading is not spelled",
    "Thai": "tone and vowel length partly unwritten",
    "Lao": "tone and vowel length partly unwritten",
    "Khmer": "vowel quality depends on consonant series",
    "Burmese": "tone and vowel quality partly unwritten",
    "Tibetan": "spelling centuries older than the pronunciation",
}
# ... or a language's, by ISO 639-3 code, which wins.
LANGUAGE_REASONS = dict.fromkeys(
    ["zul", "xho", "kik", "sot", "tsn", "nso", "lin", "lug", "hau", "nya"],
    "tone is not written")
LANGUAGE_REASONS.update(
    eng="English spelling is far from its sound",
    nor="pitch accent and many spelling variants")
REASON = "transcriptions follow mixed conventions or the spelling is far " \
         "from the sound"


def experimental(record):
    """Why a unit's accuracy is poor, or "" when it is not."""
    if record["wer"] <= EXPERIMENTAL_WER:
        return ""
    return LANGUAGE_REASONS.get(record["language"],
                                REASONS.get(record["script"], REASON))


def bucket(word):
    digest = hashlib.sha256(("tamsu-wikipron:" + word).encode()).digest()
    return int.from_bytes(digest[:8], "big") % 100


def units(snapshot):
    """(name, row) for each unit: the summary row of its chosen list."""
    rows = []
    with open(snapshot / "summary.tsv", encoding="utf-8") as stream:
        for r in csv.reader(stream, delimiter="\t", quoting=csv.QUOTE_NONE):
            if (snapshot / "tsv" / r[0]).exists():
                rows.append(dict(file=r[0], iso=r[1], language=r[3],
                                 script=r[4], dialect=r[5],
                                 filtered=r[6] == "True",
                                 kind=r[7].lower(), entries=int(r[8])))
    groups = {}
    for row in rows:
        groups.setdefault((row["iso"], row["script"], row["dialect"]),
                          []).append(row)
    chosen = []
    for lists in groups.values():
        best = {}
        for kind in ("broad", "narrow"):
            of_kind = [r for r in lists if r["kind"] == kind]
            # The filtered list where present: fewer transcription errors.
            of_kind.sort(key=lambda r: not r["filtered"])
            if of_kind:
                best[kind] = of_kind[0]
        row = best.get("broad") or best["narrow"]
        if "narrow" in best and best["narrow"]["entries"] >= 2 * (
                row["entries"]):
            row = best["narrow"]
        if row["entries"] >= MIN_ENTRIES:
            chosen.append(row)
    count = {}
    for row in chosen:
        count[row["iso"]] = count.get(row["iso"], 0) + 1
    named = []
    for row in chosen:
        stem = row["file"][:-len(".tsv")]
        for suffix in ("_filtered", "_broad", "_narrow"):
            stem = stem.removesuffix(suffix)
        named.append((row["iso"] if count[row["iso"]] == 1 else stem, row))
    return sorted(named)


def split(source, work):
    """Writes the fit, dev and test parts of `source`; their paths."""
    parts = {"fit": [], "dev": [], "test": []}
    with open(source, encoding="utf-8") as stream:
        for line in stream:
            word = line.split("\t", 1)[0]
            b = bucket(word)
            part = ("test" if b in TEST_BUCKETS else
                    "dev" if b in DEV_BUCKETS else "fit")
            parts[part].append(line)
    paths = {}
    for part, lines in parts.items():
        paths[part] = work / f"split.{part}.tsv"
        paths[part].write_text("".join(lines), encoding="utf-8")
    return paths


def settings_of(choice):
    from tamsu.training import TrainOptions
    options = replace(TrainOptions(), max_ngrams=MAX_NGRAMS,
                      max_unaligned=0.1, inventory_check=False, phones="ipa",
                      **choice)
    settings = asdict(options)
    del settings["threads"]  # the model does not depend on it
    return settings


def measure(train_path, test_path, model, settings):
    from tamsu.evaluation import evaluate
    from tamsu.training import train
    report = train(train_path, model, threads=1, progress=False, **settings)
    result = evaluate(str(model), str(test_path))
    return report, result


def dictionary_sha256(source, settings, work):
    """The sha256 of the dictionary `tamsu models get` writes for the list
    `source` trained with `settings`."""
    from tamsu.catalogue import sha256_of, write_list_dictionary
    from tamsu.training import TrainOptions, lexicon_of
    options = TrainOptions(**settings)
    path = work / "dictionary.dict.gz"
    write_list_dictionary(lexicon_of(source, options), options, path)
    digest = sha256_of(path)
    path.unlink()
    return digest


def add_dictionaries(snapshot, work):
    """Records in the catalogue the dictionary sha256 of each model."""
    data = json.loads(CATALOGUE.read_text(encoding="utf-8"))
    for model in data["models"]:
        digest = dictionary_sha256(snapshot / "tsv" / model["source"],
                                   model["settings"], work)
        # Beside the model's own sha256, where a reader looks for it.
        items = list(model.items())
        items = [item for item in items if item[0] != "dictionary_sha256"]
        at = [key for key, _ in items].index("model_size") + 1
        model.clear()
        model.update(items[:at] + [("dictionary_sha256", digest)]
                     + items[at:])
    _write_json(data)


def build_unit(name, row, snapshot, work):
    """The unit's catalogue record, from WORK/NAME.json or built now."""
    done = work / f"{name}.json"
    if done.exists():
        return json.loads(done.read_text(encoding="utf-8"))
    source = snapshot / "tsv" / row["file"]
    scratch = work / "scratch" / name
    scratch.mkdir(parents=True, exist_ok=True)
    paths = split(source, scratch)
    trials = []
    for i, choice in enumerate(GRID):
        settings = settings_of(choice)
        model = scratch / f"fit{i}.fst"
        try:
            report, result = measure(paths["fit"], paths["dev"], model,
                                     settings)
        except ValueError as error:  # a list that cannot be aligned
            print(f"{name}: {choice}: {error}", file=sys.stderr)
            continue
        trials.append((result.word_error_rate, result.phoneme_error_rate,
                       i, settings, model))
        print(f"{name} dev {choice}: WER {100 * result.word_error_rate:.2f}",
              file=sys.stderr, flush=True)
    if not trials:
        record = dict(name=name, failed=True)
        done.write_text(json.dumps(record), encoding="utf-8")
        return record
    from tamsu.catalogue import sha256_of
    from tamsu.evaluation import evaluate
    from tamsu.training import train
    # The best on dev whose released model is small enough (a higher order
    # can take more bytes per n-gram).
    for dev_wer, dev_per, _, settings, model in sorted(
            trials, key=lambda t: t[:3]):
        released = scratch / "released.fst"
        started = time.monotonic()
        report = train(source, released, threads=1, progress=False,
                       **settings)
        seconds = time.monotonic() - started
        if report.file_size <= MAX_BYTES:
            break
        print(f"{name}: {report.file_size} bytes with {settings}",
              file=sys.stderr)
    else:
        raise SystemExit(f"{name}: every model is above {MAX_BYTES} bytes; "
                         f"lower MAX_NGRAMS")
    test = evaluate(str(model), str(paths["test"]))
    record = dict(
        name=name, language=row["iso"], language_name=row["language"],
        script=row["script"], dialect=row["dialect"],
        phones="IPA " + row["kind"], source=row["file"],
        source_commit=COMMIT, source_sha256=sha256_of(source),
        source_entries=row["entries"], settings=settings,
        model_sha256=sha256_of(released), model_size=report.file_size,
        dictionary_sha256=dictionary_sha256(source, settings, scratch),
        test_words=test.words, wer=round(test.word_error_rate, 4),
        per=round(test.phoneme_error_rate, 4), dev_wer=round(dev_wer, 4),
        train_seconds=round(seconds, 1))
    done.write_text(json.dumps(record, ensure_ascii=False, indent=1),
                    encoding="utf-8")
    shutil.rmtree(scratch)
    return record


def write_catalogue(records):
    from tamsu.catalogue import LICENCE
    shipped = []
    for r in records:
        entry = {k: v for k, v in r.items()
                 if k not in ("dev_wer", "train_seconds")}
        shipped.append(dict(entry, licence=LICENCE))
    _write_json(
        {"source_url": "https://raw.githubusercontent.com/CUNY-CL/wikipron/"
                       "{commit}/data/scrape/tsv/{source}",
         "models": shipped})


def _write_json(data):
    CATALOGUE.write_text(json.dumps(data, ensure_ascii=False, indent=1)
                         + "\n", encoding="utf-8")


def table(records):
    lines = ["| name | language | script | dialect | phones | entries | "
             "test WER | PER | size | training | notes |", "|---" * 11 + "|"]
    for r in records:
        note = f"experimental: {r['experimental']}" if r["experimental"] \
            else ""
        lines.append(
            f"| `{r['name']}` | {r['language_name']} | {r['script']} | "
            f"{r['dialect']} | {r['phones']} | {r['source_entries']:,} | "
            f"{100 * r['wer']:.1f}% | {100 * r['per']:.1f}% | "
            f"{r['model_size'] / 1e6:.1f} MB | {r['train_seconds']:.0f} s | "
            f"{note} |")
    under = sum(r["wer"] < 0.3 for r in records)
    wers = sorted(r["wer"] for r in records)
    lines.append("")
    lines.append(
        f"{len(records)} models; test WER from {100 * wers[0]:.1f}% to "
        f"{100 * wers[-1]:.1f}%, median {100 * wers[len(wers) // 2]:.1f}%; "
        f"{under} under 30%; {sum(bool(r['experimental']) for r in records)} "
        f"experimental (above {EXPERIMENTAL_WER:.0%}). Training: the "
        f"released model on one thread, two units at a time on the two-core "
        f"machine (`tamsu models get` uses every core).")
    return "\n".join(lines)


def write_languages_page(records):
    text = LANGUAGES_PAGE.read_text(encoding="utf-8")
    start = text.index(TABLE_START) + len(TABLE_START)
    end = text.index(TABLE_END)
    LANGUAGES_PAGE.write_text(text[:start] + "\n" + table(records) + "\n"
                      + text[end:], encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--snapshot", type=Path, required=True,
                        help="the WikiPron snapshot (summary.tsv, tsv/)")
    parser.add_argument("--work", type=Path,
                        default=ROOT / "data" / "cache" / "catalogue")
    parser.add_argument("--only", nargs="*",
                        help="build only these units (the catalogue still "
                             "holds every finished unit)")
    parser.add_argument("--jobs", type=int, default=1,
                        help="units built at a time (one thread each)")
    parser.add_argument("--first", nargs="*", default=[],
                        help="build these units before the others")
    parser.add_argument("--list", action="store_true",
                        help="print the units and stop")
    parser.add_argument("--write-only", action="store_true",
                        help="write the catalogue from finished units")
    parser.add_argument("--add-dictionaries", action="store_true",
                        help="record the dictionary sha256 of every model "
                             "in the catalogue as it is, and stop")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    if args.add_dictionaries:
        add_dictionaries(args.snapshot, args.work)
        return 0
    chosen = units(args.snapshot)
    if args.list:
        for name, row in chosen:
            print(name, row["file"], row["entries"], sep="\t")
        return 0
    known = {name for name, _ in chosen}
    unknown = sorted((set(args.only or ()) | set(args.first)) - known)
    if unknown:
        parser.error(f"no unit is called {', '.join(unknown)} (--list shows "
                     f"the units)")
    # Smallest first: an interrupted run has catalogued the most units.
    todo = [(name, row) for name, row in sorted(chosen, key=lambda unit: (
        unit[0] not in args.first, unit[1]["entries"]))
        if not (args.only and name not in args.only)
        and not (args.work / f"{name}.json").exists()]
    if todo and not args.write_only:
        with ProcessPoolExecutor(args.jobs,
                                 mp_context=get_context("spawn")) as pool:
            list(pool.map(build_unit, *zip(*todo),
                          [args.snapshot] * len(todo),
                          [args.work] * len(todo)))
    # The catalogue holds every finished unit, not only those built now.
    finished = [json.loads(path.read_text(encoding="utf-8"))
                for path in (args.work / f"{name}.json" for name, _ in chosen)
                if path.exists()]
    records = [dict(record, experimental=experimental(record))
               for record in finished if not record.get("failed")]
    for record in records:  # units finished before models had dictionaries
        if "dictionary_sha256" not in record:
            record["dictionary_sha256"] = dictionary_sha256(
                args.snapshot / "tsv" / record["source"],
                record["settings"], args.work)
    if not records:
        raise SystemExit(f"no finished unit in {args.work}: the catalogue "
                         f"is left as it is")
    records.sort(key=lambda record: record["name"])
    write_catalogue(records)
    write_languages_page(records)
    print(f"{len(records)} of {len(chosen)} units catalogued",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

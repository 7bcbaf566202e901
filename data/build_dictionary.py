"""Writes the pronunciation dictionary shipped next to the US English model.

    python data/build_dictionary.py      # needs npm the first time

The whole CMU Pronouncing Dictionary, normalised exactly as for training
(data/cmudict.py: lower-case words, stress digits kept, variants folded,
duplicates kept once), as gzip-compressed "word<TAB>phonemes" lines sorted by word,
variants in dictionary order. The gzip header carries no name and no time,
so the same source always gives the same bytes. data/build_model.py calls
this too.
"""

import gzip
import io
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "data"))

import cmudict  # noqa: E402

OUTPUT = ROOT / "src" / "tamsu" / "models" / "en_us.dict.gz"


def write_dictionary(lexicon: dict[str, list[str]], path: Path) -> int:
    """Writes `lexicon` (word -> pronunciations) to `path`; returns lines."""
    text = io.StringIO()
    lines = 0
    for word in sorted(lexicon):
        for pronunciation in lexicon[word]:
            text.write(f"{word}\t{pronunciation}\n")
            lines += 1
    with open(path, "wb") as raw, gzip.GzipFile(
            filename="", mode="wb", fileobj=raw, compresslevel=9,
            mtime=0) as out:
        out.write(text.getvalue().encode("utf-8"))
    return lines


def main() -> int:
    lexicon = cmudict.normalise(cmudict.read_package(
        cmudict.fetch(ROOT / "data" / "cache")))
    lines = write_dictionary(lexicon, OUTPUT)
    print(f"dictionary: {len(lexicon)} words, {lines} pronunciations -> "
          f"{OUTPUT}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

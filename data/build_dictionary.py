"""Writes the pronunciation dictionary shipped next to the US English model.

    python data/build_dictionary.py      # needs npm the first time

The whole CMU Pronouncing Dictionary, normalised exactly as for training
(data/cmudict.py: lower-case words, stress digits kept, variants folded,
duplicates kept once), as gzip-compressed "word<TAB>phonemes" lines sorted by word,
variants in dictionary order, written by tamsu.dictionary.write_dictionary
(as catalogued models' dictionaries are): the gzip header carries no name
and no time, so the same source always gives the same bytes.
data/build_model.py calls this too.
"""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "data"))

import cmudict  # noqa: E402

from tamsu.dictionary import write_dictionary  # noqa: E402

OUTPUT = ROOT / "src" / "tamsu" / "models" / "en_us.dict.gz"


def main() -> int:
    lexicon = cmudict.normalise(cmudict.read_package(
        cmudict.fetch(ROOT / "data" / "cache")))
    lines = write_dictionary(lexicon, OUTPUT)
    print(f"dictionary: {len(lexicon)} words, {lines} pronunciations -> "
          f"{OUTPUT}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

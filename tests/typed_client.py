"""A small client of tamsu's typed surface; ./test.sh runs mypy --strict
over it (and tests/test_typing.py checks that mypy sees the types)."""

from __future__ import annotations

import pathlib
import warnings

import tamsu


def lexicon_lines(words: list[str]) -> list[str]:
    g2p = tamsu.G2P(nbest=2, probability_mass=0.9)
    lines: list[str] = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tamsu.UnknownCharacterWarning)
        for pronunciations in g2p.map(words, jobs=1):
            for p in pronunciations:
                source: str = p.source
                lines.append(f"{p.word}\t{p.probability:.3f}\t{source}\t"
                             f"{' '.join(p.phonemes)}\t{p.rank}")
    return lines


def model_paths(path: pathlib.Path) -> list[tuple[float, list[int]]]:
    model = tamsu.Model(str(path))
    label: int | None = model.find_isym("a")
    text: str | None = model.find_osym(3)
    del label, text
    return [(p.path_weight, p.uniques)
            for p in model.phoneticize_paths("hello", nbest=2)]


def dictionary_size(path: pathlib.Path) -> int:
    dictionary = tamsu.PronunciationDictionary.read(path)
    variants: tuple[tuple[str, ...], ...] = dictionary.lookup("hello")
    return len(dictionary) + len(variants)


def trained(lexicon: pathlib.Path, output: pathlib.Path) -> str:
    report = tamsu.train(lexicon, output, order=3, progress=False)
    return report.summary() + tamsu.__version__


if __name__ == "__main__":
    print("\n".join(lexicon_lines(["Hello", "world"])))

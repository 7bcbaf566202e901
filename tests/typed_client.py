"""A small client of tamsu's typed surface: ./test.sh runs mypy --strict
over it, so a stub or annotation that stops fitting real use fails CI."""

import pathlib

import tamsu


def lexicon_lines(words: list[str]) -> list[str]:
    g2p = tamsu.G2P(nbest=2, probability_mass=0.9, threshold=None,
                    partial=False, all_variants=True)
    return [f"{p.word}\t{p.probability:.3f}\t{p.source}\t{p}"
            for pronunciations in g2p.map(words, jobs=1)
            for p in pronunciations]


def reports(g2p: tamsu.G2P, words: list[str]) -> list[str]:
    return [f"{a.word}\t{a.removed}\t{a.skipped or ''}\t{len(a.pronunciations)}"
            for a in g2p.answers(words, jobs=1)]


def spans(g2p: tamsu.G2P, texts: list[str]) -> list[str]:
    from tamsu.text import Token
    lines = []
    for tokens in g2p.phonemize_many(texts, jobs=2, language="en"):
        first: Token = tokens[0]
        lines.append(f"{first.start}-{first.end} {first.kind} "
                     f"{' '.join(first.words)} {' '.join(first.phonemes)} "
                     f"{[r.source for r in first.readings]}")
    return lines + [t.written for t in g2p.phonemize("Dr. Who")]


def trained(lexicon: pathlib.Path, output: pathlib.Path) -> str:
    dictionary = tamsu.PronunciationDictionary.read(lexicon)
    variants: tuple[tuple[str, ...], ...] = dictionary.lookup("hello")
    report = tamsu.train(lexicon, output, order=3, progress=False)
    return f"{report.summary()} {len(variants)} {tamsu.__version__}"


def misuses(g2p: tamsu.G2P, model: tamsu.Model) -> None:
    """Each line must stay an error: a looser type leaves its ignore unused,
    which mypy --strict reports."""
    phonemes: list[str] = g2p("a")[0].phonemes  # type: ignore[assignment]
    label: str = model.find_isym("a")  # type: ignore[assignment]
    paths = model.phoneticize_paths("a")
    weight: str = paths[0].path_weight  # type: ignore[assignment]
    g2p(5)  # type: ignore[arg-type]
    g2p.phonemize(["a"])  # type: ignore[arg-type]
    print(phonemes, label, weight)

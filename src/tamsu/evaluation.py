"""Measuring a model against a test lexicon: word and phoneme error rates."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable, Sequence

from tamsu.batch import DecodeSettings, decode_words
from tamsu.graphemes import grapheme_form, normalise_word
from tamsu.lexicon import Lexicon, read_lexicon

__all__ = ["EvaluationReport", "edit_distance", "evaluate"]


def edit_distance(a: Sequence[str], b: Sequence[str]) -> int:
    """Levenshtein distance: insertions, deletions, substitutions cost 1."""
    if len(a) < len(b):
        a, b = b, a
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, start=1):
        diagonal, row[0] = row[0], i
        for j, y in enumerate(b, start=1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1,
                                           diagonal + (x != y))
    return row[-1]


@dataclass
class EvaluationReport:
    words: int = 0
    word_errors: int = 0
    # Reference phonemes and edit operations, each word scored against the
    # reference closest to its best pronunciation.
    phonemes: int = 0
    phoneme_errors: int = 0
    no_pronunciation: int = 0  # words the model could not decode at all
    errors: list[tuple[str, tuple[str, ...], list[tuple[str, ...]]]] = field(
        default_factory=list, repr=False)

    @property
    def word_error_rate(self) -> float:
        return self.word_errors / self.words if self.words else 0.0

    @property
    def phoneme_error_rate(self) -> float:
        return self.phoneme_errors / self.phonemes if self.phonemes else 0.0

    def summary(self) -> str:
        return (f"words: {self.words}  word errors: {self.word_errors}  "
                f"WER: {100 * self.word_error_rate:.2f}%\n"
                f"phonemes: {self.phonemes}  phoneme errors: "
                f"{self.phoneme_errors}  PER: "
                f"{100 * self.phoneme_error_rate:.2f}%\n"
                f"words without a pronunciation: {self.no_pronunciation}")


def score(report: EvaluationReport, word: str, hypothesis: tuple[str, ...],
          references: list[tuple[str, ...]]) -> None:
    """Adds one decoded word to `report`.

    The word is right when the hypothesis equals any reference. Its phoneme
    errors are the edit distance to the closest reference (the longer one
    among equally close), over that reference's length.
    """
    distance, length = min(
        ((edit_distance(hypothesis, r), -len(r)) for r in references))
    report.words += 1
    report.phonemes += -length
    report.phoneme_errors += distance
    if distance:
        report.word_errors += 1
        report.errors.append((word, hypothesis, references))


def evaluate(model: str | os.PathLike[str],
             test: str | os.PathLike[str] | Lexicon, *,
             delim: str = "", jobs: int = 1,
             progress: Callable[[int], None] | None = None
             ) -> EvaluationReport:
    """Decodes every word of `test` with its best pronunciation and scores it.

    `test` is a lexicon file or a Lexicon; `progress`, if given, is called
    with the number of words done after each word. Words are written in
    the grapheme form the model records (tamsu.graphemes) before decoding.
    """
    lexicon = test if isinstance(test, Lexicon) else read_lexicon(
        test, delim=delim)
    references = lexicon.references()
    settings = DecodeSettings(os.fspath(model), delim)
    form = grapheme_form(settings.model)
    words = list(references)
    report = EvaluationReport()
    decoded = decode_words((normalise_word(w, form) for w in words),
                           settings, jobs=jobs)
    for done, (word, (_, pronunciations)) in enumerate(
            zip(words, decoded), start=1):
        if not pronunciations:
            report.no_pronunciation += 1
        best = pronunciations[0].phonemes if pronunciations else ()
        score(report, word, best, references[word])
        if progress is not None:
            progress(done)
    return report

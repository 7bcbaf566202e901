"""Measuring a model against a test lexicon: word and phoneme error rates."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable, Sequence

from tamsu.g2p import G2P
from tamsu.lexicon import Lexicon, read_lexicon
from tamsu.normalise import printable_characters

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
    # Words holding characters the model does not know (removed before
    # decoding), and those characters, in order of appearance.
    with_unknown: int = 0
    unknown: dict[str, None] = field(default_factory=dict, repr=False)
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
                f"words without a pronunciation: {self.no_pronunciation}"
                + self._unknown_line())

    def _unknown_line(self) -> str:
        if not self.with_unknown:
            return ""
        return (f"\nwords with characters the model does not know: "
                f"{self.with_unknown} (removed before decoding: "
                f"{printable_characters(self.unknown)})")


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


def evaluate(model: str | os.PathLike[str]
             | Sequence[str | os.PathLike[str]],
             test: str | os.PathLike[str] | Lexicon, *,
             delim: str = "", jobs: int = 1,
             progress: Callable[[int], None] | None = None
             ) -> EvaluationReport:
    """Decodes every word of `test` with its best pronunciation and scores it.

    `model` is a model file, or a sequence of two or more decoding as an
    ensemble (see :class:`tamsu.G2P`; one decode per model and word).
    `test` is a lexicon file or a Lexicon; `progress`, if given, is called
    with the number of words done after each word. Each word is decoded
    as `tamsu apply --no-dictionary` decodes it: normalised for the model
    (tamsu.normalise); characters the model does not know are removed and
    counted. Raises
    ValueError for a model that cannot be loaded or a right-to-left model
    alone.
    """
    lexicon = test if isinstance(test, Lexicon) else read_lexicon(
        test, delim=delim)
    references = lexicon.references()
    # The model alone (no dictionary), on each word as the front end
    # normalises it, so that a score says what apply gives.
    g2p = G2P(model, None, delim=delim)
    report = EvaluationReport()
    answers = g2p.answers(references, jobs=jobs)
    for done, answer in enumerate(answers, start=1):
        if answer.removed:
            report.with_unknown += 1
            report.unknown.update(dict.fromkeys(answer.removed))
        best = answer.pronunciations
        if not best:
            report.no_pronunciation += 1
        score(report, answer.word, best[0].phonemes if best else (),
              references[answer.word])
        if progress is not None:
            progress(done)
    return report

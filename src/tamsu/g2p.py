"""The pronunciation front end: words in, ranked pronunciations out.

:class:`G2P` puts three layers above :class:`tamsu.Model`: input
normalisation (:mod:`tamsu.normalise`), a pronunciation dictionary consulted
before the model, and one loaded model shared by every thread, decoding on
native threads without the interpreter lock, so that any thread may use one
G2P.

Problems with a word are reported with Python's :mod:`warnings`, once per
word, and never stop a run: characters the model does not know are removed
before decoding (:class:`UnknownCharacterWarning`), and a word that is not
valid text or is longer than :data:`MAX_WORD_LENGTH` characters gets no
pronunciation (:class:`SkippedWordWarning`). The model's own per-letter
message on standard error never appears.
"""

from __future__ import annotations

import dataclasses
import enum
import itertools
import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import (TYPE_CHECKING, Callable, Final, Iterable, Iterator,
                    Sequence, TypeVar)

from tamsu.catalogue import SHIPPED, dictionary_for, shipped_path
from tamsu.decoders import (PartDecoder, Scored, SearchOptions, load_decoder,
                            resolve_model)
from tamsu.decoding import (MAX_WORD_LENGTH, Answer, Batch, PathOptions,
                            Pronunciation, answer_words, finish_batch,
                            plan_batch)
from tamsu.dictionary import PronunciationDictionary, default_dictionary_path
from tamsu.files import same_file
from tamsu.normalise import Alphabet, printable
from tamsu.phones import converter

if TYPE_CHECKING:
    from tamsu.text import Token

__all__ = ["DEFAULT", "G2P", "G2PWarning", "G2PSettings", "MAX_WORD_LENGTH",
           "Pronunciation", "SkippedWordWarning", "UnknownCharacterWarning"]

_T = TypeVar("_T")


class G2PWarning(UserWarning):
    """Base class of the warnings :class:`G2P` gives about words."""


class UnknownCharacterWarning(G2PWarning):
    """Characters the model does not know were removed from a word."""


class SkippedWordWarning(G2PWarning):
    """A word was not decoded at all: it is not valid text (a lone
    surrogate, made from bytes that are not UTF-8) or it is too long."""


class _Default(enum.Enum):
    DICTIONARY = "default dictionary"

    def __repr__(self) -> str:
        return "tamsu.DEFAULT"


DEFAULT: Final = _Default.DICTIONARY
"""The default `dictionary` of :class:`G2P`: the shipped CMU dictionary
with a shipped model, a catalogued model's own dictionary (built beside
it by ``tamsu models get``) with a catalogued model, no dictionary with
any other model."""


@dataclass(frozen=True)
class G2PSettings:
    """Everything another process needs to build the same front end
    (:attr:`G2P.settings`, :meth:`G2P.of_settings`)."""
    model: str | tuple[str, ...]  # a tuple (two or more) is an ensemble
    dictionary: str | PronunciationDictionary | None
    # The dictionary is a file tamsu wrote (the shipped one, a catalogued
    # model's), read with PronunciationDictionary.read_shipped.
    shipped_dictionary: bool
    delim: str
    options: PathOptions


class G2P:
    """Pronunciations of words: dictionary first, then the model.

    ``G2P()`` uses the shipped US English model ("en_us": the neural +
    n-gram bundle, the most accurate; "en_us-ngram" is its n-gram model
    alone, far faster) and the shipped CMU Pronouncing Dictionary. `model`
    is a model file (str or path-like), a shipped or catalogued name, or
    a sequence of two or more model files decoding as an ensemble (below);
    a model file may also be a neural model or a neural + n-gram bundle
    (:mod:`tamsu.bundle`; see :mod:`tamsu.decoders`, which tells them apart by
    the file's first bytes);
    `dictionary` is a dictionary file (see :mod:`tamsu.dictionary`), a
    :class:`~tamsu.dictionary.PronunciationDictionary`, None for none, or
    :data:`DEFAULT` (the shipped dictionary with a shipped model, a
    catalogued model's own dictionary with a catalogued model, none
    otherwise, ensembles included; a catalogued model built before
    catalogued models had dictionaries has none until ``tamsu models get``
    adds it). The model and the dictionary are loaded at once, side by
    side, so a bad path fails here with ValueError, as does a catalogued
    model's dictionary that is not the one catalogued.

    Words are normalised for the model (`normalise`, see
    :mod:`tamsu.normalise`); a word in the dictionary (as given or
    normalised) gets its first `nbest` variants in dictionary order (all
    of them with `all_variants`), any other word up to `nbest` model
    pronunciations. `beam`, `threshold` (None: none) and `accumulate` are passed to
    :meth:`tamsu.Model.phoneticize_paths`; `probability_mass` (in (0, 1])
    keeps the best pronunciations until their probabilities add up to at
    least that much. `delim` is the model's grapheme delimiter. Words
    longer than `max_word_length` characters are skipped. A word that lost
    characters the model does not know is answered with what is left of it
    (and a warning); with ``partial=False`` it gets no answer instead, so
    that a lexicon never holds a pronunciation of part of a word. With
    ``normalise=False`` words are decoded as given, except that the
    grapheme form the model records (NFC or NFD) is applied. With
    ``stress=False`` stress digits and marks are removed from the answers
    (``AH0`` -> ``AH``), and answers that differed only in stress become
    one, their probabilities summed. `phones` is what the answers are
    written in (:data:`tamsu.phones.OUTPUTS`): "model" (as the model and
    dictionary give them), "ipa" (ARPAbet through the phone table, stress
    marks on their vowels; an IPA model's marks moved onto its vowels) or
    "xsampa" (ARPAbet through the phone table); with ``stress=False`` the
    marks go but the reduced vowels stay (AH0 is ə). ValueError for
    X-SAMPA of a model in IPA. With ``confidence=True`` each
    pronunciation also gets its :attr:`~Pronunciation.confidence`, the
    number to threshold on across model kinds and settings (the n-gram
    model then searches CONFIDENCE_DEPTH paths, several times the work of
    one).

    An ensemble (see :mod:`tamsu.ensemble`) ranks pronunciations by the
    members' scores summed; it costs one decode per member and word (three
    models: about three times one). With `nbest` 1 each member gives its
    best path and their joint probabilities are summed (exactly
    ``Ensemble(paths, depth=1)``, the setting measured best); with `nbest`
    N above 1 each member gives its N best paths, whose posteriors are
    summed (``depth=N``), so N distinct answers come back whenever one
    member has N, and the top answer may differ from the `nbest` 1 one. A
    pronunciation's probability is its share of the summed scores among all
    the members' answers (how far they agree), its weight -ln of that share.
    All members are loaded with the one `delim`. Words are normalised for
    the first member that reads left to right (or the first of all) and
    keep only the graphemes every member knows. A model trained right to
    left (``tamsu train --reverse``) is refused alone but welcome in an
    ensemble, which turns its words and answers round.

    One G2P may be used from any number of threads at once: they share its
    one loaded model (or ensemble), and decode without holding the
    interpreter lock.
    """

    def __init__(self, model: str | os.PathLike[str]
                 | Sequence[str | os.PathLike[str]] | None = None,
                 dictionary: str | os.PathLike[str] | PronunciationDictionary
                 | None | _Default = DEFAULT, *,
                 normalise: bool = True, delim: str = "", nbest: int = 1,
                 beam: int = 10000, threshold: float | None = None,
                 probability_mass: float | None = None,
                 accumulate: bool = False, partial: bool = True,
                 all_variants: bool = False, stress: bool = True,
                 phones: str = "model", confidence: bool = False,
                 max_word_length: int = MAX_WORD_LENGTH) -> None:
        path = resolve_model(model)
        options = PathOptions(
            SearchOptions(nbest, beam, threshold, probability_mass,
                          accumulate, confidence),
            normalise=normalise, partial=partial, all_variants=all_variants,
            stress=stress, phones=phones,
            max_word_length=max_word_length)
        source, shipped = _dictionary_source(dictionary, model, path)
        self._settings = G2PSettings(path, source, shipped, delim, options)
        self._start()

    @classmethod
    def of_settings(cls, settings: G2PSettings) -> G2P:
        """The front end `settings` describe, loaded anew."""
        g2p = cls.__new__(cls)
        g2p._settings = settings
        g2p._start()
        return g2p

    def _start(self) -> None:
        settings = self._settings
        source = settings.dictionary
        if not isinstance(source, str):
            self._decoder = _load(settings)  # fails fast
            self._dictionary = source
        else:
            read: Callable[[str], PronunciationDictionary] = \
                PronunciationDictionary.read
            if settings.shipped_dictionary:
                read = PronunciationDictionary.read_shipped
            # The model's load releases the interpreter lock: the
            # dictionary is read beside it (a bad model still fails first).
            with ThreadPoolExecutor(1, thread_name_prefix="tamsu") as helper:
                reading = helper.submit(read, source)
                self._decoder = _load(settings)
                self._dictionary = reading.result()
        self._alphabet = self._decoder.alphabet
        options = settings.options
        self._options = dataclasses.replace(options, convert=converter(
            options.phones, self._decoder.phones, marks=options.stress))

    @property
    def model_path(self) -> str:
        """The model file (an ensemble's first)."""
        return self.model_paths[0]

    @property
    def model_paths(self) -> tuple[str, ...]:
        """The model file, or the ensemble's files, in the order given."""
        model = self._settings.model
        return model if isinstance(model, tuple) else (model,)

    @property
    def alphabet(self) -> Alphabet:
        """The model's graphemes and the normalisation they call for."""
        return self._alphabet

    @property
    def phones(self) -> str | None:
        """The model's phone set, "arpabet" or "ipa" (what it records, else
        what its phonemes show; an ensemble's first member's), or None."""
        return self._decoder.phones

    @property
    def options(self) -> PathOptions:
        """What answers are made with: the settings' options, the phone
        conversion made for this model."""
        return self._options

    @property
    def dictionary(self) -> PronunciationDictionary | None:
        """The pronunciation dictionary, or None."""
        return self._dictionary

    @property
    def settings(self) -> G2PSettings:
        """What this front end was made with (see :meth:`of_settings`)."""
        return self._settings

    def __reduce__(self) -> tuple[object, tuple[G2PSettings]]:
        # Pickled as its settings: another process loads its own model.
        return (G2P.of_settings, (self._settings,))

    def __repr__(self) -> str:
        s = self._settings
        source = ("the shipped dictionary" if s.shipped_dictionary
                  and s.dictionary == default_dictionary_path()
                  else repr(s.dictionary))
        return f"<G2P model={s.model!r} dictionary={source}>"

    def __call__(self, word: str) -> list[Pronunciation]:
        """The ranked pronunciations of `word`; [] when it has none.

        Warns (:class:`UnknownCharacterWarning`, :class:`SkippedWordWarning`)
        about characters removed or a word skipped. Raises TypeError if
        `word` is not a str.
        """
        answer = answer_words((word,), self._decoder, self._dictionary,
                              self._options)[0]
        if answer.removed or answer.skipped is not None:
            _warn(answer, self._options.partial, stacklevel=2)
        return answer.pronunciations

    def phonemize(self, text: str, *, language: str | None = None
                  ) -> list[Token]:
        """The tokens of running `text`, in order, each pronounced.

        A token (:class:`tamsu.text.Token`) has its offsets in `text`,
        its kind (word, number, abbreviation, initialism, run of a script
        without spaces, punctuation, symbol), the words it is read as
        (a number's, an abbreviation's) and the best pronunciation of each
        with its source ("dictionary", "model", or "context" for a US
        English homograph decided by its sentence). Punctuation is kept,
        without phonemes. Numbers are read in the model's language, or in
        `language` (ISO 639-1 or 639-3) when given. Problems are warnings
        (:class:`G2PWarning`), naming the token. Needs ICU (python3-icu).
        """
        for tokens in self.phonemize_many((text,), language=language):
            return tokens
        raise AssertionError("one text gives one list of tokens")

    def phonemize_many(self, texts: Iterable[str], *, jobs: int = 1,
                       language: str | None = None
                       ) -> Iterator[list[Token]]:
        """Yields the tokens of each text (:meth:`phonemize`), in input
        order; the words of many texts go to the model together, in
        chunks, decoded on `jobs` native threads."""
        from tamsu.text.phonemize import phonemize_texts
        return phonemize_texts(self, texts, jobs=jobs, language=language)

    def map(self, words: Iterable[str], *, jobs: int = 1,
            chunk_size: int = 256) -> Iterator[list[Pronunciation]]:
        """Yields the pronunciations of each word, in input order.

        Like ``map(g2p, words)``, streamed a chunk at a time: `words` may
        be a generator of any length. The words are decoded `chunk_size`
        per thread at a time, each chunk in one call of the model, on
        `jobs` native threads in this process with the one shared model (an
        ensemble's words one after the other). Warnings are given here, in
        input order.
        """
        for answer in self.answers(words, jobs=jobs, chunk_size=chunk_size):
            if answer.removed or answer.skipped is not None:
                _warn(answer, self._options.partial, stacklevel=2)
            yield answer.pronunciations

    def answers(self, words: Iterable[str], *, jobs: int = 1,
                chunk_size: int = 256) -> Iterator[Answer]:
        """Like :meth:`map`, one :class:`tamsu.decoding.Answer` per word
        (the pronunciations, the characters removed, why a word was
        skipped) and no warnings: for callers that report on their own."""
        for answers in self.map_chunks(_same, words, jobs=jobs,
                                       chunk_size=chunk_size):
            yield from answers

    def map_chunks(self, post: Callable[[list[Answer]], _T],
                   words: Iterable[str], *, jobs: int = 1,
                   chunk_size: int = 256) -> Iterator[_T]:
        """Yields ``post(answers)`` for each chunk of the words' answers
        (:meth:`answers`), in input order: `chunk_size` words per thread at
        a time. With `jobs` above 1, `post` and the reading of `words` run
        on a helper thread while the next chunk is decoded, so that turning
        answers into output (formatting lines, counting) overlaps the
        decoding: `post` must not need the calling thread. Each chunk is
        one call of the decoder."""
        if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
            raise ValueError("jobs must be a whole number of at least 1")
        if chunk_size < 1:
            raise ValueError("chunk_size must be at least 1")
        iterator = iter(words)
        decoder, options = self._decoder, self._options
        if jobs == 1:
            while True:
                batch, failure = _next_batch(iterator, chunk_size,
                                             decoder.alphabet,
                                             self._dictionary, options)
                if batch.plans:
                    yield post(finish_batch(batch, decoder.decode(
                        batch.parts) if batch.parts else [], options))
                if failure is not None:
                    raise failure
                if not batch.plans:
                    return
        yield from _overlapped(iterator, chunk_size * jobs, decoder,
                               self._dictionary, options, jobs, post)


def _dictionary_source(dictionary: str | os.PathLike[str]
                       | PronunciationDictionary | None | _Default,
                       model: object, path: str | tuple[str, ...]
                       ) -> tuple[str | PronunciationDictionary | None, bool]:
    """The settings' form of G2P's `dictionary`, and whether it is a file
    tamsu wrote (read by G2P._start as the shipped one is)."""
    if isinstance(dictionary, _Default):
        if model is None or (isinstance(path, str) and any(
                same_file(path, shipped_path(name)) for name in SHIPPED)):
            source = default_dictionary_path()
            if not os.path.isfile(source):  # said plainly, not as OSError
                raise FileNotFoundError(
                    f"the shipped dictionary is missing ({source}); "
                    f"pass dictionary=None to decode without it")
            return source, True
        own = dictionary_for(path) if isinstance(path, str) else None
        return own, own is not None
    if dictionary is None or isinstance(dictionary, PronunciationDictionary):
        return dictionary, False
    return os.fspath(dictionary), False


def _load(settings: G2PSettings) -> PartDecoder:
    return load_decoder(settings.model, settings.delim,
                        settings.options.search)


def _overlapped(words: Iterator[str], size: int, decoder: PartDecoder,
                dictionary: PronunciationDictionary | None,
                options: PathOptions, jobs: int,
                post: Callable[[list[Answer]], _T]) -> Iterator[_T]:
    """post(answers) of each chunk of `size` words, in order, each chunk
    decoded on `jobs` native threads. This thread decodes one chunk (the
    interpreter lock released, Ctrl-C polled) while a helper reads and
    plans the next and finishes the one before, through `post`: the
    Python work, output included, no longer leaves the native threads
    idle, and at most three chunks are held. When reading or planning
    fails, every word before the failure is answered, then it is raised."""

    def prepare(done: tuple[Batch, list[list[Scored]]] | None
                ) -> tuple[_T | None, Batch, Exception | None]:
        finished = None if done is None else post(finish_batch(*done,
                                                               options))
        return finished, *_next_batch(words, size, decoder.alphabet,
                                      dictionary, options)

    with ThreadPoolExecutor(1, thread_name_prefix="tamsu") as helper:
        _, batch, failure = prepare(None)
        done = None
        while batch.plans:
            if failure is None:  # read on while this chunk is decoded
                side = helper.submit(prepare, done)
                decoded = decoder.decode(batch.parts, jobs)
                finished, following, failure = side.result()
                if finished is not None:
                    yield finished
            else:  # the last words before the failure
                decoded = decoder.decode(batch.parts, jobs)
                if done is not None:
                    yield post(finish_batch(*done, options))
                following = Batch([], [])
            done = batch, decoded
            batch = following
        if done is not None:
            yield post(finish_batch(*done, options))
        if failure is not None:
            raise failure


def _next_batch(words: Iterator[str], size: int, alphabet: Alphabet,
                dictionary: PronunciationDictionary | None,
                options: PathOptions) -> tuple[Batch, Exception | None]:
    """The next `size` words planned, and what failed while reading or
    planning them (the words before a failure are planned); an empty
    batch at the end."""
    chunk: list[str] = []
    failure: Exception | None = None
    try:
        chunk.extend(itertools.islice(words, size))  # kept on failure
    except Exception as error:
        failure = error
    try:
        return plan_batch(chunk, alphabet, dictionary, options), failure
    except TypeError as error:  # a word that is not a str
        kept = next(i for i, word in enumerate(chunk)
                    if not isinstance(word, str))
        return plan_batch(chunk[:kept], alphabet, dictionary, options), error


def _same(answers: list[Answer]) -> list[Answer]:
    return answers


def _warn(answer: Answer, partial: bool, stacklevel: int) -> None:
    """Warns about `answer`'s word; `stacklevel` 2 blames _warn's caller's
    caller (the user's line)."""
    if answer.skipped is not None:
        warnings.warn(f"{printable(answer.word)!r} skipped: {answer.skipped}",
                      SkippedWordWarning, stacklevel=stacklevel + 1)
    elif answer.removed:
        shown = ", ".join(repr(c) for c in answer.removed)
        outcome = "" if partial else " (no answer: partial=False)"
        warnings.warn(f"{answer.word!r}: removed characters the model does "
                      f"not know: {shown}{outcome}", UnknownCharacterWarning,
                      stacklevel=stacklevel + 1)

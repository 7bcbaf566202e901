"""Pronouncing words on a Dask cluster (``python3-dask``, ``python3-distributed``).

    import dask.bag
    from tamsu.dask_support import pronounce_bag

    words = dask.bag.from_sequence(word_list, npartitions=16)
    lexicon = pronounce_bag(words, tamsu.G2P()).compute()  # [(word, "HH AH L OW"), ...]

Running text goes the same way: :func:`phonemize_bag` (a bag of texts, a
bag of token lists as :meth:`tamsu.G2P.phonemize` gives them) and
:func:`phonemize_series` (a column of texts, a column of pronunciations).

Each worker process loads the model once, at its first task, and keeps it
for every later task of the same front end (the settings travel with each
task, a few hundred bytes; the model does not). The model reaches the
workers by path (a file system they share with the client) or, with
``ship_model=True``, as its bytes, read once on the client and written once
per worker to a file in a private folder of its own (a bundle with its two
models). On each worker the partition's words are decoded on `jobs` native
threads. Dask is imported here, never by
``import tamsu``.
"""

from __future__ import annotations

import atexit
import hashlib
import json
import os
import pickle
import shutil
import tempfile
import itertools
import threading
from collections import deque
from typing import Any, Callable, Iterable, Iterator, TypeVar

from tamsu.bundle import read_bundle
from tamsu.decoders import model_kind
from tamsu.decoding import Answer, Pronunciation, Source
from tamsu.files import write_whole
from tamsu.g2p import G2P
from tamsu.text import Token
from tamsu.text.phonemize import spoken

__all__ = ["answers", "map_chunks", "phonemize_bag", "phonemize_series",
           "pronounce_bag", "pronounce_series"]

_T = TypeVar("_T")

# The front ends this process has built, by their pickled settings.
_cache: dict[bytes, G2P] = {}
_cache_lock = threading.Lock()
_folder_lock = threading.Lock()


class _Shipped:
    """A front end's settings and, when shipped, its model files' bytes."""

    def __init__(self, g2p: G2P, ship_model: bool) -> None:
        self.settings = pickle.dumps(g2p.settings)
        self.models: tuple[tuple[bytes, ...], ...] = ()
        if ship_model:
            self.models = tuple(_packed(path) for path in g2p.model_paths)

    def front_end(self) -> G2P:
        """This process's front end for these settings, built once."""
        with _cache_lock:
            g2p = _cache.get(self.settings)
            if g2p is None:
                settings = pickle.loads(self.settings)
                if self.models:
                    paths = tuple(_unpacked(files) for files in self.models)
                    settings = type(settings)(
                        paths if len(paths) > 1 else paths[0],
                        *(getattr(settings, name) for name in (
                            "dictionary", "shipped_dictionary", "delim",
                            "options")))
                g2p = _cache[self.settings] = G2P.of_settings(settings)
            return g2p


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _packed(path: str) -> tuple[bytes, ...]:
    """A model's files: the model alone, or a bundle's manifest and the
    n-gram and neural models it names, in its order."""
    if model_kind(path) != "bundle":
        return (_read(path),)
    bundle = read_bundle(path)
    return (_read(path), _read(bundle.ngram),
            *(_read(member) for member in bundle.neural))


def _unpacked(files: tuple[bytes, ...]) -> str:
    """The path of a model packed by _packed, stored in this process's
    private folder (a bundle names its stored models by their file names,
    in the folder they share; their sha256 stays what the manifest
    records)."""
    if len(files) == 1:
        return _stored(files[0])
    manifest, ngram, *neural = files
    data = json.loads(manifest)
    names = [os.path.basename(_stored(member)) for member in neural]
    data.update(ngram=os.path.basename(_stored(ngram)),
                neural=names if isinstance(data["neural"], list) else names[0])
    return _stored(json.dumps(data).encode())


def _stored(data: bytes) -> str:
    """A file holding `data` in this process's private folder, written
    once per content."""
    path = os.path.join(_private_folder(), "model-"
                        + hashlib.sha256(data).hexdigest() + ".fst")
    if not os.path.exists(path):
        write_whole(path, data)
    return path


# This process's private folder, by the id of the process that made it
# (a forked child makes its own).
_folders: dict[int, str] = {}


def _private_folder() -> str:
    # Not a shared name in the temporary folder: on a shared host another
    # user could plant a model there first. mkdtemp's folder is this
    # user's alone (mode 0700); it goes when the process ends.
    with _folder_lock:
        pid = os.getpid()
        if pid not in _folders:
            _folders[pid] = tempfile.mkdtemp(prefix="tamsu-models-")
            atexit.register(_remove_folder, _folders[pid], pid)
        return _folders[pid]


def _remove_folder(folder: str, pid: int) -> None:
    if os.getpid() == pid:
        shutil.rmtree(folder, ignore_errors=True)


def _best(answer: Answer) -> str:
    found = answer.pronunciations
    return " ".join(found[0].phonemes) if found else ""


# An answer as it crosses to the client: plain tuples pickle and unpickle
# in a third of the time of the records (whose word each pronunciation
# repeats), and a task's answers are most of what it sends.
_Row = tuple[str, str, str | None,
             list[tuple[tuple[str, ...], float, Source, float, float | None]]]


def _row(answer: Answer) -> _Row:
    return (answer.word, answer.removed, answer.skipped,
            [(p.phonemes, p.probability, p.source, p.weight, p.confidence)
             for p in answer.pronunciations])


def _answer_of(row: _Row) -> Answer:
    word, removed, skipped, found = row
    return Answer(word, [Pronunciation(word, phonemes, probability, source,
                                       rank, weight, confidence)
                         for rank, (phonemes, probability, source, weight,
                                    confidence)
                         in enumerate(found, start=1)], removed, skipped)


def _answer_chunk(words: bytes, shipped: _Shipped, jobs: int) -> bytes:
    # Words and answers cross as pickled bytes, (un)pickled here on the
    # task's thread: a worker passes bytes on as they are, so its event
    # loop, which competes for the interpreter lock with the running task,
    # has little to do to take in a task or hand over its result.
    # One decoder call for the task's words (on `jobs` threads), which is
    # faster than answering them one by one.
    chunk: list[str] = pickle.loads(words)
    rows = itertools.chain.from_iterable(shipped.front_end().map_chunks(
        _rows, chunk, jobs=jobs, chunk_size=max(len(chunk), 1)))
    return pickle.dumps(list(rows), protocol=pickle.HIGHEST_PROTOCOL)


def _rows(answers: list[Answer]) -> list[_Row]:
    return [_row(answer) for answer in answers]


def answers(g2p: G2P, words: Iterable[str], scheduler: str, *, jobs: int = 1,
            chunk_size: int = 4096, ship_model: bool = False
            ) -> Iterator[Answer]:
    """Like :meth:`tamsu.G2P.answers`, decoded on the Dask cluster whose
    scheduler is at `scheduler` ("tcp://host:8786"): `chunk_size` words per
    task, streamed in input order with three tasks per worker thread in
    flight, so memory stays bounded on any input."""
    return itertools.chain.from_iterable(map_chunks(
        list, g2p, words, scheduler, jobs=jobs, chunk_size=chunk_size,
        ship_model=ship_model))


def map_chunks(post: Callable[[list[Answer]], _T], g2p: G2P,
               words: Iterable[str], scheduler: str, *, jobs: int = 1,
               chunk_size: int = 4096, ship_model: bool = False
               ) -> Iterator[_T]:
    """Like :meth:`tamsu.G2P.map_chunks` (``post`` of each task's answers,
    in input order, on this thread), decoded on the cluster as
    :func:`answers` decodes."""
    import distributed
    connect: Any = distributed.Client  # partly typed: used untyped
    shipped = _Shipped(g2p, ship_model)
    try:
        client = connect(scheduler, timeout="10s")
    except OSError as error:
        failure = OSError(f"cannot reach the Dask scheduler ({error})")
        failure.filename = scheduler
        raise failure from None
    with client:
        lanes = max(sum(client.nthreads().values()), 1) * 3
        iterator = iter(words)
        pending: deque[Any] = deque()

        def refill() -> None:
            while len(pending) < lanes:
                chunk = list(itertools.islice(iterator, chunk_size))
                if not chunk:
                    return
                pending.append(client.submit(
                    _answer_chunk, pickle.dumps(chunk), shipped, jobs,
                    pure=False))

        refill()
        while pending:
            rows: list[_Row] = pickle.loads(pending.popleft().result())
            # The workers go on while the caller consumes this chunk.
            refill()
            yield post([_answer_of(row) for row in rows])


def _pronounce_partition(words: list[str], shipped: _Shipped,
                         jobs: int) -> list[tuple[str, str]]:
    g2p = shipped.front_end()
    return [(word, _best(answer)) for word, answer in
            zip(words, g2p.answers(words, jobs=jobs))]


def pronounce_bag(words: Any, g2p: G2P | None = None, *, jobs: int = 1,
                  ship_model: bool = False) -> Any:
    """From a ``dask.bag.Bag`` of words, a bag of (word, best
    pronunciation) pairs, the phonemes joined by
    spaces ("" for a word without one), partition by partition in order."""
    shipped = _Shipped(g2p if g2p is not None else G2P(), ship_model)
    return words.map_partitions(_pronounce_partition, shipped, jobs)


def _pronounce_values(values: Any, shipped: _Shipped, jobs: int) -> Any:
    import pandas  # type: ignore[import]  # no stubs in Debian
    answers = shipped.front_end().answers(list(values), jobs=jobs)
    return pandas.Series([_best(answer) for answer in answers],
                         index=values.index, name=values.name, dtype=object)


def pronounce_series(column: Any, g2p: G2P | None = None, *, jobs: int = 1,
                     ship_model: bool = False) -> Any:
    """The best pronunciation of each word of a ``dask.dataframe`` column,
    as a
    column of phonemes joined by spaces ("" for a word without one)."""
    shipped = _Shipped(g2p if g2p is not None else G2P(), ship_model)
    return column.map_partitions(_pronounce_values, shipped, jobs,
                                 meta=(column.name, "object"))


def _phonemize_partition(texts: list[str], shipped: _Shipped, jobs: int,
                         language: str | None) -> list[list[Token]]:
    return list(shipped.front_end().phonemize_many(texts, jobs=jobs,
                                                   language=language))


def phonemize_bag(texts: Any, g2p: G2P | None = None, *, jobs: int = 1,
                  language: str | None = None,
                  ship_model: bool = False) -> Any:
    """From a ``dask.bag.Bag`` of texts, a bag of their tokens (one list
    of :class:`tamsu.text.Token` per text, as :meth:`tamsu.G2P.phonemize`
    gives), partition by partition in order; each partition's words are
    decoded together on its worker."""
    shipped = _Shipped(g2p if g2p is not None else G2P(), ship_model)
    return texts.map_partitions(_phonemize_partition, shipped, jobs,
                                language)


def _phonemize_values(values: Any, shipped: _Shipped, jobs: int,
                      language: str | None, separator: str) -> Any:
    import pandas
    texts = shipped.front_end().phonemize_many(list(values), jobs=jobs,
                                               language=language)
    return pandas.Series([spoken(tokens, separator) for tokens in texts],
                         index=values.index, name=values.name, dtype=object)


def phonemize_series(column: Any, g2p: G2P | None = None, *, jobs: int = 1,
                     language: str | None = None, separator: str = " | ",
                     ship_model: bool = False) -> Any:
    """The pronunciation of each text of a ``dask.dataframe`` column, as
    a column of strings: each word's phonemes, words separated by
    `separator`, punctuation kept (:func:`tamsu.text.phonemize.spoken`)."""
    shipped = _Shipped(g2p if g2p is not None else G2P(), ship_model)
    return column.map_partitions(_phonemize_values, shipped, jobs, language,
                                 separator, meta=(column.name, "object"))

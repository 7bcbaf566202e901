"""Named models: a catalogue of models built on demand from public lists.

A catalogued model is not hosted anywhere: training is deterministic, so
the catalogue (models/catalogue.json, made by data/build_catalogue.py)
records the pronunciation list a model is trained on (its name, pinned
version and sha256), the training settings, and the sha256 of the model
they produce. :func:`get` obtains the list (a local copy or a download),
trains, checks the model against the catalogue and moves it into the cache
(``$TAMSU_CACHE``, else ``$XDG_CACHE_HOME/tamsu``, else ``~/.cache/tamsu``;
a relative value of either is ignored), where :func:`resolve` finds it by
name.
"""

from __future__ import annotations

import errno
import functools
import hashlib
import json
import os
import re
import shutil
import socket
import tempfile
import time
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path
from typing import Any, Callable, Final

__all__ = ["ATTRIBUTION", "DEFAULT_MODEL", "LICENCE", "NGRAM_MODEL",
           "SHIPPED", "CatalogueError", "Entry", "NotCachedError", "Shipped",
           "cache_dir", "cached_model", "cached_path", "entries", "entry",
           "get", "resolve", "sha256_of", "shipped_path"]


@dataclass(frozen=True)
class Shipped:
    """A model inside the package: its file and what it is."""
    name: str
    file: str  # in the package's models/ folder
    kind: str  # "bundle" or "ngram" (see tamsu.decoders.model_kind)
    language: str  # ISO 639-3
    language_name: str
    phones: str
    licence: str
    # Held-out figures on the CMU dictionary's test words (made by
    # data/build_model.py, which prints them): WER with stress counted,
    # WER without, PER.
    wer: float
    wer_without_stress: float
    per: float


_CMU = dict(language="eng", language_name="English (Latin, US)",
            phones="ARPAbet with stress",
            licence="BSD (the CMU Pronouncing Dictionary)")
SHIPPED: Final = {shipped.name: shipped for shipped in (
    Shipped("en_us", "en_us.bundle", "bundle", **_CMU, wer=0.285,
            wer_without_stress=0.233, per=0.075),
    Shipped("en_us-ngram", "en_us.fst", "ngram", **_CMU, wer=0.334,
            wer_without_stress=0.254, per=0.085))}
"""The models inside the package, by name: US English as the neural +
n-gram bundle (the default: the most accurate) and its n-gram model alone
(the fast one, what :class:`tamsu.Model` loads)."""
DEFAULT_MODEL: Final = "en_us"
"""The shipped model used when none is given."""
NGRAM_MODEL: Final = "en_us-ngram"
"""The default model's n-gram model: the shipped file :class:`tamsu.Model`
loads."""

LICENCE = "CC BY-SA (Wiktionary via WikiPron)"
ATTRIBUTION = ("Catalogued models are trained on pronunciations from "
               "Wiktionary (CC BY-SA) collected by WikiPron: derived works, "
               "to be used and shared under CC BY-SA with attribution to "
               "Wiktionary's contributors and WikiPron.")
# Seconds without data before a download is given up.
TIMEOUT = 60.0
_BLOCK = 1 << 16


class CatalogueError(Exception):
    """A catalogued model could not be obtained (the message says why)."""


class NotCachedError(FileNotFoundError):
    """A catalogued model was named but has not been built yet."""


@dataclass(frozen=True)
class Entry:
    """One catalogued model: what it is, what it is made from and how, and
    what it must come out as."""

    name: str
    language: str  # ISO 639-3
    language_name: str
    script: str
    dialect: str
    phones: str  # "IPA broad", "IPA narrow" or "ARPAbet"
    source: str  # the list's file name
    source_url: str
    source_commit: str
    source_sha256: str
    source_entries: int
    settings: dict[str, Any] = field(hash=False)  # TrainOptions fields
    model_sha256: str
    model_size: int
    test_words: int
    wer: float  # held-out word error rate, 0..1
    per: float
    experimental: str  # why its accuracy is poor, or ""
    licence: str


@functools.cache
def _load(path: str | None) -> dict[str, Entry]:
    if path is None:
        text = resources.files("tamsu").joinpath(
            "models", "catalogue.json").read_text(encoding="utf-8")
    else:
        text = Path(path).read_text(encoding="utf-8")
    data = json.loads(text)
    url = data["source_url"]
    return {m["name"]: Entry(**m, source_url=url.format(
        commit=m["source_commit"], source=m["source"]))
        for m in data["models"]}


def entries(path: str | None = None) -> dict[str, Entry]:
    """The catalogue by name: the shipped one, or the file at `path`."""
    return _load(None if path is None else os.fspath(path))


def entry(name: str) -> Entry:
    """The catalogued model `name`; CatalogueError if there is none."""
    try:
        return entries()[name]
    except KeyError:
        raise CatalogueError(f"no catalogued model is called {name!r} "
                             f"(tamsu models list shows them)") from None


def cache_dir() -> Path:
    """Where built models are kept: ``$TAMSU_CACHE``, else
    ``$XDG_CACHE_HOME/tamsu``, else ``~/.cache/tamsu``. A relative value of
    either variable is ignored, as the XDG rule says, so that a name
    resolves to the same model from every folder."""
    own = os.environ.get("TAMSU_CACHE")
    if own and os.path.isabs(own):
        return Path(own)
    xdg = os.environ.get("XDG_CACHE_HOME")
    base = Path(xdg) if xdg and os.path.isabs(xdg) else (
        Path.home() / ".cache")
    return base / "tamsu"


def cached_path(name: str) -> Path:
    return cache_dir() / "models" / f"{name}.fst"


def shipped_path(name: str) -> str:
    """The file of the shipped model `name` (a key of SHIPPED)."""
    return str(resources.files("tamsu").joinpath("models",
                                                 SHIPPED[name].file))


def resolve(model: str) -> str:
    """A model argument as a path: an existing file as it is; a shipped
    name as its file; a catalogued name as its cached model; anything else
    as it is (a missing file fails where it is loaded). Raises
    NotCachedError for a catalogued name that has not been built."""
    if os.path.exists(model):
        return model
    if model in SHIPPED:
        return shipped_path(model)
    if model not in entries():
        return model
    return str(cached_model(model))


def cached_model(name: str) -> Path:
    """The cached model of the catalogued `name`; NotCachedError if it has
    not been built."""
    path = cached_path(name)
    if not path.exists():
        raise NotCachedError(f"the model {name!r} is catalogued but not "
                             f"built yet: run `tamsu models get {name}` "
                             f"(about a minute at most)")
    return path


def sha256_of(path: str | os.PathLike[str]) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _check_list(path: Path, item: Entry, where: str) -> None:
    found = sha256_of(path)
    if found != item.source_sha256:
        raise CatalogueError(
            f"{where} is not the pinned {item.source} (sha256 {found}, "
            f"expected {item.source_sha256}, WikiPron commit "
            f"{item.source_commit})")


def _download(url: str, into: Path, say: Callable[[str], object]) -> None:
    """Streams `url` into the new file `into`; CatalogueError if it cannot
    be fetched whole."""
    import urllib.error
    import urllib.request  # only here: slow to import
    say(f"downloading {url}")
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response, \
                open(into, "xb") as out:
            expected = response.headers.get("Content-Length")
            got = 0
            while block := response.read(_BLOCK):
                out.write(block)
                got += len(block)
    except urllib.error.HTTPError as error:
        raise CatalogueError(f"cannot download {url}: the server answered "
                             f"{error.code} {error.reason}") from None
    except urllib.error.URLError as error:
        raise CatalogueError(
            f"cannot download {url}: {getattr(error, 'reason', error)} "
            f"(offline? give a local copy with --source)") from None
    except (TimeoutError, ConnectionError) as error:
        raise CatalogueError(f"the download of {url} failed: {error} "
                             f"(give a local copy with --source)") from None
    if expected is not None and expected.isdigit() and got != int(expected):
        raise CatalogueError(f"the download of {url} ended after {got} of "
                             f"{expected} bytes; try again, or give a local "
                             f"copy with --source")


def _obtain_list(item: Entry, source: str | os.PathLike[str] | None,
                 scratch: Path, say: Callable[[str], object]) -> Path:
    if source is None:
        path = scratch / item.source
        _download(item.source_url, path, say)
        _check_list(path, item, f"the download of {item.source_url}")
        return path
    path = Path(source)
    if path.is_dir():
        path = path / item.source
        if not path.exists():  # WikiPron's own layout keeps lists in tsv/
            path = Path(source) / "tsv" / item.source
    if not path.is_file():
        raise CatalogueError(f"no list {item.source} at {source}")
    _check_list(path, item, os.fspath(path))
    return path


def get(name: str, source: str | os.PathLike[str] | None = None, *,
        threads: int | None = None,
        say: Callable[[str], object] = lambda note: None) -> Path:
    """Builds the catalogued model `name` into the cache; its path.

    The list comes from `source` (the file, or a folder holding it) or is
    downloaded from its pinned address; either way its sha256 must be the
    catalogue's. The model is trained with the catalogued settings and
    moved into the cache only if its sha256 is the catalogue's, so the
    cache never holds a partial or different model; the scratch folders
    that killed builds left in the cache are removed first. Raises
    CatalogueError with the reason (offline, a partial download, a wrong
    checksum, a full disk).
    """
    from tamsu.training import TrainOptions, train
    item = entry(name)
    target = cached_path(name)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        _remove_stale_scratch(target.parent)
        scratch = Path(tempfile.mkdtemp(
            prefix=f".{name}.{_SCRATCH}-{_HOST}-{os.getpid()}-",
            dir=target.parent))
    except OSError as error:
        raise CatalogueError(f"cannot write to the cache {target.parent}: "
                             f"{error.strerror}") from None
    try:
        lexicon = _obtain_list(item, source, scratch, say)
        say(f"training {name} on {item.source} "
            f"({item.source_entries:,} entries)")
        model = scratch / target.name
        train(lexicon, model, TrainOptions(**item.settings, threads=threads),
              progress=False)
        found = sha256_of(model)
        if found != item.model_sha256:
            raise CatalogueError(
                f"the model trained for {name} differs from the "
                f"catalogue's (sha256 {found}, expected {item.model_sha256}): "
                f"this tamsu trains differently from the one that made the "
                f"catalogue; nothing was cached")
        os.replace(model, target)
    except OSError as error:
        # The model's writer reports no errno ("Write failed"): a disk
        # without room for the model is taken as the reason.
        full = error.errno in (errno.ENOSPC, errno.EDQUOT) or (
            _free_bytes(target.parent) < item.model_size)
        raise CatalogueError(
            f"cannot build {name} in {target.parent}: " + (
                "the disk is full" if full else str(error))) from None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return target


def _free_bytes(folder: Path) -> int:
    try:
        return shutil.disk_usage(folder).free
    except OSError:
        return 0


# A scratch folder's name says which build made it: ".NAME.scratch-HOST-PID-"
# and mkdtemp's random letters (never a "-").
_SCRATCH = "scratch"
_HOST = socket.gethostname().replace("-", "_") or "host"
_OWNER = re.compile(rf"\.{_SCRATCH}-(?P<host>[^-]*)-(?P<pid>[0-9]+)-[^-]*$")
# A scratch folder this old is stale whoever made it (a build takes
# minutes, and another host's process cannot be asked).
_STALE_SECONDS = 24 * 3600


def _remove_stale_scratch(folder: Path) -> None:
    """Removes the scratch folders of builds that ended without cleaning
    up (killed): those of a process of this host that is gone, and any
    older than a day."""
    now = time.time()
    for path in folder.glob(f".*.{_SCRATCH}-*"):
        owner = _OWNER.search(path.name)
        if owner is None or not path.is_dir():
            continue
        try:
            old = now - path.stat().st_mtime > _STALE_SECONDS
        except OSError:
            continue
        if old or (owner["host"] == _HOST
                   and not _running(int(owner["pid"]))):
            shutil.rmtree(path, ignore_errors=True)


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process, or a pid out of range
        return True
    return True

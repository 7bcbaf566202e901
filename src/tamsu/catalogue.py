"""Named models: a catalogue of models built on demand from public lists.

A catalogued model is not hosted anywhere: training is deterministic, so
the catalogue (models/catalogue.json, made by data/build_catalogue.py)
records the pronunciation list a model is trained on (its name, pinned
version and sha256), the training settings, and the sha256 of the model
they produce, and the sha256 of the list's own pronunciation dictionary.
:func:`get` obtains the list (a local copy or a download), trains, checks
the model and the dictionary against the catalogue and moves both into the
cache (``$TAMSU_CACHE``, else ``$XDG_CACHE_HOME/tamsu``, else
``~/.cache/tamsu``; a relative value of either is ignored), where
:func:`resolve` finds the model by name and :func:`dictionary_for` its
dictionary, which G2P consults first, as it does the shipped one.
"""

from __future__ import annotations

import difflib
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
from typing import TYPE_CHECKING, Any, Callable, Final

if TYPE_CHECKING:
    from tamsu.lexicon import Lexicon
    from tamsu.training import TrainOptions

__all__ = ["ATTRIBUTION", "DEFAULT_MODEL", "LICENCE", "NGRAM_MODEL",
           "SHIPPED", "CatalogueError", "Entry", "NotCachedError", "Shipped",
           "UnknownModelError", "cache_dir", "cached_dictionary_path",
           "cached_model", "cached_path", "default_path", "dictionary_for",
           "entries", "entry", "get", "model_name", "resolve", "sha256_of",
           "shipped_path", "write_list_dictionary"]


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
    # Milliseconds per word its dictionary lacks, through G2P.map on one
    # thread (bench/shipped_cost.py, held-out words).
    ms_per_word: float

    def cost(self) -> str:
        """What a word the dictionary lacks costs, and what that buys."""
        return (f"about {self.ms_per_word:g} ms per word the dictionary "
                f"lacks, held-out WER {100 * self.wer:.1f}%")


_CMU = dict(language="eng", language_name="English (Latin, US)",
            phones="ARPAbet with stress",
            licence="BSD (the CMU Pronouncing Dictionary)")
SHIPPED: Final = {shipped.name: shipped for shipped in (
    Shipped("en_us", "en_us.bundle", "bundle", **_CMU, wer=0.267,
            wer_without_stress=0.217, per=0.069, ms_per_word=0.5),
    Shipped("en_us-ngram", "en_us.fst", "ngram", **_CMU, wer=0.334,
            wer_without_stress=0.254, per=0.085, ms_per_word=0.1))}
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


class UnknownModelError(ValueError):
    """A model argument is neither a file nor a name of a model (the
    message suggests the names it may have meant)."""


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
    dictionary_sha256: str  # the list's dictionary (write_list_dictionary)
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


def cached_dictionary_path(name: str) -> Path:
    """Where the dictionary of the catalogued `name` is kept: beside its
    model, as the shipped dictionary is beside the shipped model."""
    return cache_dir() / "models" / f"{name}.dict.gz"


def dictionary_for(model: str) -> str | None:
    """The dictionary built beside `model` when it is a catalogued model's
    cached file; None for any other file, and for a model built before
    catalogued models had dictionaries (``tamsu models get NAME`` adds
    it). Raises ValueError for a dictionary that is not the catalogue's
    (its sha256 differs): it is refused, never half trusted."""
    stem, suffix = os.path.splitext(os.path.basename(model))
    item = entries().get(stem) if suffix == ".fst" else None
    if item is None:
        return None
    try:
        if not os.path.samefile(model, cached_path(stem)):
            return None
    except OSError:
        return None
    path = cached_dictionary_path(stem)
    try:
        found = sha256_of(path)
    except FileNotFoundError:
        return None
    if found != item.dictionary_sha256:
        raise ValueError(
            f"the dictionary {path} is not the one catalogued for {stem} "
            f"(sha256 {found}, expected {item.dictionary_sha256}): run "
            f"`tamsu models get {stem}` to build it again")
    return str(path)


def shipped_path(name: str) -> str:
    """The file of the shipped model `name` (a key of SHIPPED)."""
    return str(resources.files("tamsu").joinpath("models",
                                                 SHIPPED[name].file))


def default_path() -> str:
    """The file of the model used when none is given (by G2P(), tamsu
    apply, phonemize and evaluate): the shipped bundle (DEFAULT_MODEL), or
    the shipped n-gram model (NGRAM_MODEL) in an installation without the
    bundle."""
    bundle = shipped_path(DEFAULT_MODEL)
    return bundle if os.path.isfile(bundle) else shipped_path(NGRAM_MODEL)


def resolve(model: str) -> str:
    """A model argument as a path: an existing file as it is; a shipped or
    catalogued name, or a language tag or name that means one model
    (:func:`model_name`), as its file; anything else that looks like a
    path as it is (a missing file fails where it is loaded). Raises
    NotCachedError for a catalogued model that has not been built,
    UnknownModelError for a name that means no model or several."""
    name = model_name(model)
    if name is None:
        return model
    if name in SHIPPED:
        return shipped_path(name)
    return str(cached_model(name))


# ISO 639-1 codes of the catalogued languages, as their ISO 639-3 codes
# (Serbian, Croatian and Bosnian are catalogued as Serbo-Croatian).
_ISO_639_1 = dict(pair.split(":") for pair in """
    aa:aar af:afr ar:ara as:asm az:aze ba:bak be:bel bg:bul bn:ben bo:bod
    bs:hbs ca:cat cs:ces cy:cym da:dan de:deu dv:div el:ell en:eng eo:epo
    es:spa et:est eu:eus fa:fas fo:fao fr:fra fy:fry ga:gle gd:gla gl:glg
    gu:guj ha:hau he:heb hi:hin hr:hbs ht:hat hu:hun hy:hye id:ind io:ido
    is:isl it:ita ja:jpn ka:kat ki:kik kk:kaz kl:kal km:khm ko:kor la:lat
    lb:ltz lo:lao lt:lit lv:lav mk:mkd ml:mal mn:mon mr:mar ms:msa mt:mlt
    my:mya nb:nob ne:nep nl:nld nn:nno no:nor pl:pol ps:pus pt:por ro:ron
    sa:san se:sme sh:hbs sk:slk sl:slv sq:sqi sr:hbs sv:swe ta:tam te:tel
    th:tha tl:tgl tr:tur uk:ukr ur:urd vi:vie wa:wln yi:yid yo:yor za:zha
    zu:zul""".split())
# Region subtags as the dialect part of catalogued names (eng_latn_uk,
# por_latn_bz, spa_latn_la, ben_beng_dhaka); others are their own.
_REGIONS = {"gb": "uk", "br": "bz", "pt": "po", "es": "ca", "419": "la",
            "bd": "dhaka", "in": "rarh", **dict.fromkeys(
                "ar bo cl co cr cu do ec gt hn mx ni pa pe pr py sv uy ve"
                .split(), "la")}
_TAG = re.compile(r"([a-z]{2,3})((?:[-_][a-z0-9]{2,8})*)")


def _subtags(name: str) -> list[str]:
    """A model name's parts after the language (en_us-ngram: us, ngram)."""
    return re.split(r"[-_]", name)[1:]


def _meant(text: str) -> list[str]:
    """The models a language tag ("fr", "fr-FR", "sr-Latn") or a language's
    name ("French") means, as names: none, one, or the several it does not
    tell apart. Script and region subtags choose among a language's models
    where they match one; a shipped model stands for the catalogued one of
    its language and region, and the default for the other shipped ones."""
    folded = text.strip().casefold()
    models = {name: item.language for name, item in entries().items()}
    shipped = {name: item.language for name, item in SHIPPED.items()}
    languages = {language for name, language in models.items()
                 if entries()[name].language_name.casefold() == folded}
    subtags: list[str] = []
    if not languages:
        tag = _TAG.fullmatch(folded)
        if tag is None:
            return []
        languages = {_ISO_639_1.get(tag[1], tag[1])}
        subtags = re.split(r"[-_]", tag[2])[1:]
    found = [name for name, language in {**shipped, **models}.items()
             if language in languages]
    for subtag in subtags:
        if len(subtag) not in (2, 3, 4) or (len(subtag) == 3
                                            and not subtag.isdigit()):
            return []  # not a script or region: no tag ("en_us_ngram")
        wanted = _REGIONS.get(subtag, subtag)
        matching = [name for name in found if wanted in _subtags(name)]
        found = matching or found
    first = next((name for name in found if name in SHIPPED), None)
    if first is not None:
        found = [name for name in found if name == first or (
            name not in SHIPPED and not set(_subtags(first)) <= set(
                _subtags(name)))]
    return found


def model_name(model: str) -> str | None:
    """The shipped or catalogued model `model` names: itself, or the one
    model a language tag or name means ("fr", "fr-FR", "French": fra);
    None for an existing file (which wins over a name) or a missing one
    that looks like a path (a folder or a file suffix). Raises
    UnknownModelError, suggesting names, for anything else."""
    if os.path.exists(model):
        return None
    if model in SHIPPED or model in entries():
        return model
    if os.sep in model or "/" in model or "." in model:
        return None
    meant = _meant(model)
    if len(meant) == 1:
        return meant[0]
    names = [*SHIPPED, *entries()]
    if not meant:  # a near miss of a name, else of a language's name
        meant = difflib.get_close_matches(model, names, n=3, cutoff=0.6)
    if not meant:
        languages = {item.language_name.casefold() for item in
                     entries().values()}
        for language in difflib.get_close_matches(
                model.casefold(), languages, n=1, cutoff=0.7):
            meant = _meant(language)
    hint = (f"did you mean {', '.join(meant)}?" if meant
            else "tamsu models list shows the names")
    raise UnknownModelError(
        f"no model file or catalogued model {model!r}; {hint}")


def cached_model(name: str) -> Path:
    """The cached model of the catalogued `name`; NotCachedError if it has
    not been built."""
    path = cached_path(name)
    if not path.exists():
        raise NotCachedError(
            f"the model {name!r} is catalogued but not built yet: run "
            f"`tamsu models get {name}` (it trains the model from its list "
            f"of {entry(name).source_entries:,} entries: a large list "
            f"takes minutes)")
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


def _download(url: str, into: Path, say: Callable[[str], object],
              progress: bool | None) -> None:
    """Streams `url` into the new file `into`, with a bar of the bytes
    when `progress` asks; CatalogueError if it cannot be fetched whole."""
    import urllib.error
    import urllib.request  # only here: slow to import

    from tamsu.progress import Bar
    say(f"downloading {url}")
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response, \
                open(into, "xb") as out:
            expected = response.headers.get("Content-Length")
            got = 0
            with Bar(progress, int(expected) if expected and
                     expected.isdigit() else None, "B", "downloading") as bar:
                while block := response.read(_BLOCK):
                    out.write(block)
                    got += len(block)
                    bar.update(len(block))
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
                 scratch: Path, say: Callable[[str], object],
                 progress: bool | None) -> Path:
    if source is None:
        path = scratch / item.source
        _download(item.source_url, path, say, progress)
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


def write_list_dictionary(lexicon: Lexicon, options: TrainOptions,
                          path: str | os.PathLike[str]) -> int:
    """Writes the dictionary of a catalogued model's list: every entry of
    `lexicon` read with the model's `options` (as training reads it), its
    words in the grapheme form the model records, in the shipped
    dictionary's format (:func:`tamsu.dictionary.write_dictionary`).
    Returns the number of lines."""
    from tamsu.dictionary import write_dictionary
    from tamsu.graphemes import normalise_word
    from tamsu.training import recorded_form
    form = recorded_form(lexicon, options)
    words: dict[str, list[tuple[str, ...]]] = {}
    for item in lexicon.entries:
        variants = words.setdefault(normalise_word(item.word, form), [])
        if item.phonemes not in variants:
            variants.append(item.phonemes)
    return write_dictionary(words, path)


# A list this large takes minutes to train on a busy machine (fra's 80,690
# entries: 29 s of processor time, 337 s of wall time on a loaded one).
_LARGE_LIST = 20_000


def get(name: str, source: str | os.PathLike[str] | None = None, *,
        threads: int | None = None, progress: bool | None = False,
        say: Callable[[str], object] = lambda note: None) -> Path:
    """Builds the catalogued model `name` and its dictionary into the
    cache; the model's path.

    The list comes from `source` (the file, or a folder holding it) or is
    downloaded from its pinned address; either way its sha256 must be the
    catalogue's. The model is trained with the catalogued settings, the
    list's dictionary written (:func:`write_list_dictionary`), and both
    are moved into the cache only if their sha256 are the catalogue's, so
    the cache never holds a partial or different file; the scratch
    folders that killed builds left in the cache are removed first. A
    model already cached and sound is not trained again: a model built
    before catalogued models had dictionaries only gets its dictionary.
    `say` is told each step (reading, training, writing the dictionary);
    `progress` shows bars of the download and of training's stages (True,
    False, or None: when standard error is a terminal). Raises
    CatalogueError with the reason (offline, a partial download, a wrong
    checksum, a full disk).
    """
    from tamsu.training import TrainOptions, lexicon_of, train
    item = entry(name)
    target = cached_path(name)
    dictionary = cached_dictionary_path(name)
    built = _is(target, item.model_sha256)
    if built and _is(dictionary, item.dictionary_sha256):
        say(f"{name} is built already")
        return target
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
        path = _obtain_list(item, source, scratch, say, progress)
        say(f"reading {item.source} ({item.source_entries:,} entries)")
        options = TrainOptions(**item.settings, threads=threads)
        lexicon = lexicon_of(path, options)
        model = scratch / target.name
        if not built:
            large = item.source_entries >= _LARGE_LIST
            say(f"training {name}: aligning, estimating, writing" + (
                " (minutes on a list this large)" if large else ""))
            train(lexicon, model, options, progress=progress)
            _check_built(model, item.model_sha256, f"the model trained for "
                         f"{name}")
        else:
            say(f"{name} is built; adding its dictionary")
        words = scratch / dictionary.name
        say(f"writing the dictionary of {name}")
        write_list_dictionary(lexicon, options, words)
        _check_built(words, item.dictionary_sha256,
                     f"the dictionary written for {name}")
        os.replace(words, dictionary)
        if not built:
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


def _is(path: Path, sha256: str) -> bool:
    """Whether the file at `path` exists with this sha256."""
    try:
        return sha256_of(path) == sha256
    except FileNotFoundError:
        return False


def _check_built(path: Path, sha256: str, what: str) -> None:
    found = sha256_of(path)
    if found != sha256:
        raise CatalogueError(
            f"{what} differs from the catalogue's (sha256 {found}, expected "
            f"{sha256}): this tamsu trains differently from the one that "
            f"made the catalogue; nothing was cached")


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

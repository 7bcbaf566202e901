"""Named models: resolution, on-demand builds (local copies, a local HTTP
server) and their failures, the shipped catalogue's reproducibility."""

import dataclasses
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import tamsu
from tamsu import catalogue
from tamsu.cli import main
from tamsu.training import TrainOptions, lexicon_of, train

from train_data import LEXICON, write_lexicon

# Where the WikiPron snapshot lives on machines that have it.
SNAPSHOT = Path(os.environ.get("TAMSU_WIKIPRON",
                               "/work/shared/data/wikipron")) / "tsv"
SETTINGS = dict(order=3, max_graphemes=1, max_ngrams=0, max_unaligned=0.1)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """A list, the model and dictionary its settings make, and its
    catalogue entry."""
    where = tmp_path_factory.mktemp("list")
    source = where / "xx_latn_broad.tsv"
    write_lexicon(source)
    model = where / "model.fst"
    train(source, model, threads=1, progress=False, **SETTINGS)
    options = TrainOptions(**SETTINGS)
    catalogue.write_list_dictionary(lexicon_of(source, options), options,
                                    where / "words.dict.gz")
    return source, catalogue.Entry(
        name="xx", language="xxx", language_name="Test", script="Latin",
        dialect="", phones="IPA broad", source=source.name,
        source_url="http://127.0.0.1:9/none", source_commit="0" * 40,
        source_sha256=catalogue.sha256_of(source), source_entries=18,
        settings=SETTINGS, model_sha256=catalogue.sha256_of(model),
        model_size=model.stat().st_size,
        dictionary_sha256=catalogue.sha256_of(where / "words.dict.gz"),
        test_words=2, wer=0.5, per=0.125, experimental="",
        licence=catalogue.LICENCE)


@pytest.fixture()
def entry(made, monkeypatch, tmp_path):
    """The test entry as the only catalogued model, with an empty cache."""
    def use(item):
        monkeypatch.setattr(catalogue, "entries", lambda: {"xx": item})
    use(made[1])
    monkeypatch.setenv("TAMSU_CACHE", str(tmp_path / "cache"))
    return use


def cached_files(tmp_path):
    return sorted(p.name for p in (tmp_path / "cache").rglob("*")
                  if p.is_file())


def test_a_name_resolves_once_built(made, entry, tmp_path, capsys):
    with pytest.raises(catalogue.NotCachedError, match="tamsu models get xx"):
        tamsu.G2P("xx")
    assert main(["apply", "-m", "xx", "tap"]) == 1
    assert "run `tamsu models get xx` (it trains the model from its list of " \
           "18 entries" in capsys.readouterr().err
    assert main(["models", "show", "xx"]) == 0
    assert capsys.readouterr().out.startswith(
        "file\tnot built yet (tamsu models get xx)\nlanguage\tTest (Latin), "
        "xxx\n")
    assert main(["models", "get", "xx", "--source",
                 str(made[0].parent), "--progress"]) == 0
    err = capsys.readouterr().err
    for step in ("reading xx_latn_broad.tsv (18 entries)", "training xx: ",
                 "\raligning: ", "\restimating: ", "\rwriting: ",
                 "writing the dictionary of xx", "s of processor time"):
        assert step in err
    assert main(["apply", "-m", "xx", "--format", "lexicon", "tap"]) == 0
    assert main(["models", "show", "xx"]) == 0
    out = capsys.readouterr().out
    assert (f"file\t{catalogue.cached_path('xx')}\ndictionary\t"
            f"{catalogue.cached_dictionary_path('xx')}\nkind\tn-gram\n") in out
    assert "tap\tT AE P\n" in out
    g2p = tamsu.G2P("xx")
    assert g2p.model_path == str(catalogue.cached_path("xx"))
    assert len(g2p.dictionary) == len(LEXICON)
    assert cached_files(tmp_path) == ["xx.dict.gz", "xx.fst"]


def listed(capsys):
    assert main(["models", "list"]) == 0
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("experimental", ["", "tone is not written"])
def test_the_list_keeps_one_column_per_fact(made, entry, capsys,
                                            experimental):
    entry(dataclasses.replace(made[1], experimental=experimental))
    lines = listed(capsys)
    assert lines[0].split("\t")[-3:] == ["per", "licence", "experimental"]
    assert {line.count("\t") for line in lines} == {7}
    assert lines[-1].split("\t")[1:] == [
        "no", "Test (Latin)", "IPA broad", "50.0%", "12.5%",
        catalogue.LICENCE, experimental]


@pytest.mark.parametrize("text, name", [
    ("fr", "fra"), ("fr-FR", "fra"), ("de", "deu"), ("French", "fra"),
    ("fra", "fra"), ("Norwegian", "nor"),
    # Script and region subtags choose among a language's models.
    ("pt-BR", "por_latn_bz"), ("es_MX", "spa_latn_la"),
    ("sr-Latn", "hbs_latn"), ("ja-Kana", "jpn_kana"),
    # The shipped model stands for its language and region.
    ("en-US", "en_us"), ("en-GB", "eng_latn_uk"),
    # Ambiguous tags and near misses name what they may mean.
    ("en", "did you mean en_us, eng_latn_uk?"),
    ("pt", "did you mean por_latn_bz, por_latn_po?"),
    ("en_us_ngram", "did you mean en_us-ngram, en_us?"),
    ("fraa", "did you mean fra?"), ("Frensh", "did you mean fra?"),
    ("xyzzy", "tamsu models list shows the names"),
])
def test_names_users_type(text, name):
    if " " not in name:
        assert catalogue.model_name(text) == name
        return
    with pytest.raises(catalogue.UnknownModelError) as error:
        tamsu.G2P(text)
    assert str(error.value) == (f"no model file or catalogued model "
                                f"{text!r}; {name}")


def test_tags_reach_every_command(monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("TAMSU_CACHE", str(tmp_path))
    assert main(["apply", "-m", "fr", "bonjour"]) == 1
    assert "run `tamsu models get fra`" in capsys.readouterr().err
    assert main(["models", "show", "French"]) == 0
    assert capsys.readouterr().out.startswith(
        "name\tfra\nfile\tnot built yet (tamsu models get fra)\n")
    # Where a model is chosen, the default's cost and accuracy are said.
    assert main(["models", "show", "en_us"]) == 0
    assert "\ncost\tabout " in capsys.readouterr().out
    with pytest.raises(SystemExit):
        main(["apply", "--help"])
    assert " ".join(capsys.readouterr().out.split()).count(
        " ms per word the dictionary lacks, held-out WER ") == 2
    assert main(["models", "show", "en_us_ngram"]) == 1
    assert capsys.readouterr().err == (
        "tamsu: error: no model file or catalogued model 'en_us_ngram'; "
        "did you mean en_us-ngram, en_us?\n")


@pytest.mark.parametrize("name, file", [
    (None, "en_us.bundle"), ("en_us", "en_us.bundle"),
    ("en_us-ngram", "en_us.fst")])
def test_shipped_names_come_with_the_shipped_dictionary(name, file):
    g2p = tamsu.G2P(name)
    assert os.path.basename(g2p.model_path) == file
    assert (g2p.model_path == tamsu.default_g2p_model_path()) == (
        name != "en_us-ngram")
    assert g2p("hello")[0].source == "dictionary"


# A word the model gets wrong: "phone" as in "phonics", whose list
# pronunciation the dictionary gives.
WRONG = ("phone", "F OW N", "F AA N")


@pytest.mark.parametrize("how", ["built", "old", "tampered"])
def test_a_catalogued_model_looks_up_its_list_first(made, entry, tmp_path,
                                                    monkeypatch, capsys, how):
    words = made[0].parent / "own.tsv"
    word, listed_as, model_says = WRONG
    write_lexicon(words, [(w, model_says if w == word else p)
                          for w, p in LEXICON])
    # The model of a list whose "phone" is wrong; the list is right.
    train(words, tmp_path / "wrong.fst", threads=1, progress=False,
          **SETTINGS)
    entry(dataclasses.replace(made[1], model_sha256=catalogue.sha256_of(
        tmp_path / "wrong.fst")))
    monkeypatch.setattr("tamsu.training.train", lambda lexicon, output,
                        *args, **kwargs: shutil.copy(tmp_path / "wrong.fst",
                                                     output))
    catalogue.get("xx", made[0])
    dictionary = catalogue.cached_dictionary_path("xx")
    if how == "old":  # built before models had dictionaries
        dictionary.unlink()
        assert tamsu.G2P("xx")(word)[0].source == "model"
        assert listed(capsys)[-1].split("\t")[1] == "yes, no dictionary"
        assert main(["models", "show", "xx"]) == 0
        assert "dictionary\tnone (built before catalogued models had one: " \
               "tamsu models get xx adds it)\n" in capsys.readouterr().out
    if how == "tampered":
        with open(dictionary, "ab") as stream:
            stream.write(b"\0")
        with pytest.raises(ValueError, match="not the one catalogued for xx"):
            tamsu.G2P("xx")
    if how != "built":  # getting it again adds the dictionary, untrained
        monkeypatch.setattr("tamsu.training.train", None)
        assert main(["models", "get", "xx", "--source", str(made[0])]) == 0
        assert "xx is built; adding its dictionary" in capsys.readouterr().err
    answer = tamsu.G2P("xx")(word)[0]
    assert (answer.phonemes, answer.source) == (tuple(listed_as.split()),
                                                "dictionary")
    assert tamsu.G2P(str(catalogue.cached_path("xx"))).dictionary is not None
    assert cached_files(tmp_path) == ["xx.dict.gz", "xx.fst"]


class _Server(http.server.BaseHTTPRequestHandler):
    body = b""
    cut = False  # announce the whole body, send half of it

    def do_GET(self):
        if not self.body:
            return self.send_error(404)
        self.send_response(200)
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body[:len(self.body) // 2] if self.cut
                         else self.body)

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("how, error", [
    ("http", None),
    ("cut", "ended after 113 of 227 bytes"),
    ("http-other", "is not the pinned xx_latn_broad.tsv"),
    ("http-none", "the server answered 404 Not Found"),
    ("offline", "cannot download http://127.0.0.1:9/none"),
    ("file-other", "is not the pinned xx_latn_broad.tsv"),
    ("model-other", "the model trained for xx differs from the catalogue's"),
    ("dictionary-other",
     "the dictionary written for xx differs from the catalogue's"),
    ("disk-full", "the disk is full"),
    # The model's writer gives no errno: the free space tells.
    ("write-failed-full", "the disk is full"),
    ("write-failed", "VectorFst::Write: Write failed"),
])
def test_get(made, entry, tmp_path, monkeypatch, how, error):
    source, item = made
    body = source.read_bytes()
    local = None
    if how.startswith("file"):
        local = tmp_path / "copy.tsv"
        local.write_bytes(body + b"x\tX\n")
    if how in ("model-other", "dictionary-other"):
        local = source
        entry(dataclasses.replace(item, **{
            how.replace("-other", "_sha256"): "0" * 64}))
    if how == "disk-full":
        local = source

        def full(*args):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(os, "replace", full)
    if how.startswith("write-failed"):
        local = source

        def write_failed(lexicon, model, *args, **kwargs):
            raise OSError(f"cannot write the model to {model}: "
                          f"VectorFst::Write: Write failed")
        monkeypatch.setattr("tamsu.training.train", write_failed)
        free = item.model_size - 1 if how.endswith("full") else 10**9
        monkeypatch.setattr("shutil.disk_usage", lambda path: (
            shutil._ntuple_diskusage(10**9, 10**9 - free, free)))
    server = None
    if how in ("http", "cut", "http-other", "http-none"):
        handler = type("Handler", (_Server,), dict(
            body=(body + b"y\tY\n" * (how == "http-other")) * (
                how != "http-none"), cut=how == "cut"))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = f"http://127.0.0.1:{server.server_port}/{source.name}"
        entry(dataclasses.replace(item, source_url=url))
    try:
        if error is None:
            path = catalogue.get("xx", local)
            assert catalogue.sha256_of(path) == item.model_sha256
            assert cached_files(tmp_path) == ["xx.dict.gz", "xx.fst"]
        else:
            with pytest.raises(catalogue.CatalogueError, match=error):
                catalogue.get("xx", local)
            assert cached_files(tmp_path) == []
    finally:
        if server is not None:
            server.shutdown()
            server.server_close()


def test_get_removes_the_scratch_of_killed_builds(made, entry, tmp_path):
    models = tmp_path / "cache" / "models"
    models.mkdir(parents=True)
    gone = subprocess.run([sys.executable, "-c", "import os; "
                           "print(os.getpid())"], capture_output=True,
                          text=True, check=True).stdout.strip()
    host = catalogue._HOST
    scratch = {"gone": f".xx.scratch-{host}-{gone}-abc",
               "old": f".xx.scratch-{host}-{os.getpid()}-def",
               "running": f".xx.scratch-{host}-{os.getpid()}-ghi",
               "elsewhere": f".xx.scratch-other_host-{gone}-jkl"}
    for folder in scratch.values():
        (models / folder).mkdir()
        (models / folder / "xx.fst").write_bytes(b"part")
    day_ago = time.time() - 25 * 3600
    os.utime(models / scratch["old"], (day_ago, day_ago))
    catalogue.get("xx", made[0])
    assert sorted(p.name for p in models.iterdir()) == sorted(
        [scratch["running"], scratch["elsewhere"], "xx.dict.gz", "xx.fst"])


@pytest.mark.parametrize("own, xdg, cache", [
    ("/own", "/xdg", "/own"),
    (None, "/xdg", "/xdg/tamsu"),
    # Relative values are ignored (the XDG rule), for both.
    ("own", "/xdg", "/xdg/tamsu"),
    (None, "xdg", "~/.cache/tamsu"),
    ("", "", "~/.cache/tamsu"),
])
def test_the_cache_folder(monkeypatch, own, xdg, cache):
    for name, value in (("TAMSU_CACHE", own), ("XDG_CACHE_HOME", xdg)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert catalogue.cache_dir() == Path(cache).expanduser()


@functools.cache
def smallest_two():
    models = sorted(catalogue.entries().values(),
                    key=lambda e: e.source_entries)
    return [m.name for m in models[:2]]


@pytest.mark.skipif(not SNAPSHOT.is_dir(), reason="no WikiPron snapshot")
@pytest.mark.parametrize("rank", [0, 1])
def test_catalogued_models_rebuild_byte_for_byte(rank, tmp_path,
                                                 monkeypatch):
    monkeypatch.setenv("TAMSU_CACHE", str(tmp_path))
    name = smallest_two()[rank]
    path = catalogue.get(name, SNAPSHOT, threads=2)
    assert catalogue.sha256_of(path) == catalogue.entry(name).model_sha256
    assert tamsu.G2P(name).dictionary is not None


def test_the_shipped_catalogue_is_sound():
    models = catalogue.entries()
    assert len(models) >= 2
    for item in models.values():
        TrainOptions(**item.settings)  # every setting known and in range
        assert len(item.model_sha256) == len(item.source_sha256) == len(
            item.dictionary_sha256) == 64
        assert item.model_size <= 5_000_000
        assert item.licence.startswith("CC BY-SA")
        assert item.source_url.endswith(f"/{item.source_commit}/data/scrape"
                                        f"/tsv/{item.source}")


def finished_unit(name, wer):
    return dict(name=name, language=name * 3 if len(name) == 1 else name,
                language_name=name.title(), script="Latin", dialect="",
                phones="IPA broad", source=f"{name}_latn_broad.tsv",
                source_commit="0" * 40, source_sha256="1" * 64,
                source_entries=1000, settings=SETTINGS,
                model_sha256="2" * 64, model_size=1000,
                dictionary_sha256="3" * 64, test_words=100,
                wer=wer, per=wer / 4, dev_wer=wer, train_seconds=1.0)


@pytest.mark.parametrize("only, written, error", [
    (["xx"], ["xx", "yy"], None),  # one unit asked for: the others stay
    (["xx", "nosuch"], None, "no unit is called nosuch"),
])
def test_build_catalogue_writes_every_finished_unit(tmp_path, monkeypatch,
                                                    capsys, only, written,
                                                    error):
    import importlib.util
    script = Path(__file__).parent.parent / "data" / "build_catalogue.py"
    spec = importlib.util.spec_from_file_location("build_catalogue", script)
    build = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(build)
    snapshot, work = tmp_path / "snapshot", tmp_path / "work"
    (snapshot / "tsv").mkdir(parents=True)
    work.mkdir()
    rows = []
    for name in ("xx", "yy", "zz"):  # zz: not built yet
        (snapshot / "tsv" / f"{name}_latn_broad.tsv").write_text("")
        rows.append(f"{name}_latn_broad.tsv\t{name}\t_\t{name.title()}\t"
                    f"Latin\t\tFalse\tBroad\t1000\n")
    (snapshot / "summary.tsv").write_text("".join(rows))
    for name, wer in (("xx", 0.25), ("yy", 0.5)):
        (work / f"{name}.json").write_text(
            json.dumps(finished_unit(name, wer)))
    out, page = tmp_path / "catalogue.json", tmp_path / "languages.md"
    page.write_text(f"{build.TABLE_START}\nold\n{build.TABLE_END}\n")
    monkeypatch.setattr(build, "CATALOGUE", out)
    monkeypatch.setattr(build, "LANGUAGES_PAGE", page)
    monkeypatch.setattr("sys.argv", [
        "build_catalogue.py", "--snapshot", str(snapshot), "--work",
        str(work), "--write-only", "--only", *only])
    if error:
        with pytest.raises(SystemExit):
            build.main()
        assert error in capsys.readouterr().err
        assert not out.exists()
        return
    assert build.main() == 0
    assert [m["name"] for m in json.loads(out.read_text())["models"]] == \
        written
    assert "2 models; test WER from 25.0% to 50.0%" in page.read_text()

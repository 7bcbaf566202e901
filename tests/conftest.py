"""Model files for the Python suites, compiled at test time with fstcompile."""

import gc
import os
import subprocess
import textwrap
import types

import pytest

import tamsu

from train_data import CIPHER_DICT


def compile_model(directory, name, arcs, isyms, osyms, *, keep_isyms=True,
                  keep_osyms=True):
    """Compiles AT&T text over symbol lists (labels 0, 1, ...); returns the
    model file's path as a str."""
    base = os.path.join(str(directory), name)
    for side, symbols in (("i", isyms), ("o", osyms)):
        with open(f"{base}.{side}.syms", "w", encoding="utf-8") as f:
            f.writelines(f"{text}\t{label}\n" for label, text in
                         enumerate(symbols))
    with open(f"{base}.txt", "w", encoding="utf-8") as f:
        f.write(textwrap.dedent(arcs).strip() + "\n")
    subprocess.run(["fstcompile", f"--isymbols={base}.i.syms",
                    f"--osymbols={base}.o.syms"] +
                   ["--keep_isymbols"] * keep_isyms +
                   ["--keep_osymbols"] * keep_osyms +
                   [f"{base}.txt", f"{base}.fst"], check=True)
    return f"{base}.fst"


# Graphemes a b c h with the cluster "c|h"; phonemes with "K|S" and the
# skip symbol "_" at label 2. One state whose final weight is 0.25.
SIMPLE_ISYMS = ["<eps>", "|", "_", "a", "b", "c", "h", "c|h"]
SIMPLE_OSYMS = ["<eps>", "|", "_", "A", "B", "K", "S", "K|S", "CH"]
SIMPLE_ARCS = """
    0 0 a A 1.0
    0 0 a B 2.0
    0 0 b B 0.5
    0 0 b _ 3.0
    0 0 c K 0.5
    0 0 c K|S 1.5
    0 0 h _ 0.25
    0 0 c|h CH 0.125
    0 0.25
"""


@pytest.fixture(scope="session")
def simple_model_path(tmp_path_factory):
    return compile_model(tmp_path_factory.mktemp("models"), "simple",
                         SIMPLE_ARCS, SIMPLE_ISYMS, SIMPLE_OSYMS)


@pytest.fixture()
def simple_model(simple_model_path):
    return tamsu.Model(simple_model_path)


@pytest.fixture(scope="session")
def cipher(tmp_path_factory):
    """The cipher trained once for every suite: `folder` holds cipher.dict,
    its n-gram model cipher.fst, and the neural model cipher.tnn and its
    bundle made by `tamsu train-neural --ngram` (a recipe of a few
    seconds); `report` is the neural training's report and `progress` the
    epochs it reported."""
    pytest.importorskip("torch")
    from tamsu import cli, neural
    from tamsu.training import train
    folder = tmp_path_factory.mktemp("cipher")
    lexicon = folder / "cipher.dict"
    lexicon.write_text(CIPHER_DICT)
    train(lexicon, folder / "cipher.fst", order=3, progress=False)
    trained = types.SimpleNamespace(folder=folder, report=None, progress=[])
    train_neural = neural.train_neural

    def tiny(*args, progress, **kwargs):
        def report(epoch):
            trained.progress.append(epoch)
            progress(epoch)
        trained.report = train_neural(
            *args, batch_size=16, warmup_steps=50, dropout=0.0,
            learning_rate=3e-3, architecture=neural.NeuralArchitecture(
                32, 2, 64, 1, 1), progress=report, **kwargs)
        return trained.report

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(neural, "train_neural", tiny)
        assert cli.main(["train-neural", str(lexicon), "-o",
                         str(folder / "cipher.tnn"), "--epochs", "40",
                         "--dev-share", "0.1", "--seed", "0", "--ngram",
                         str(folder / "cipher.fst")]) == 0
    return trained


@pytest.fixture(autouse=True)
def collect_cycles_on_the_main_thread():
    """Frees Models caught in reference cycles here, on the thread that made
    them, not on whichever thread runs the next collection."""
    yield
    gc.collect()

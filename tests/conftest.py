"""Model files for the Python suites, compiled at test time with fstcompile."""

import gc
import math
import os
import struct
import subprocess
import textwrap
import types
import zlib

import pytest

import tamsu

from train_data import CIPHER, CIPHER_DICT


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


def neural_bytes(phonemes=("A", "B"), bias=(0.0, 0.0, 0.0, 1.0, 0.0),
                 graphemes=("a", "b")):
    """A neural model file of width 4, one layer each side, every weight 0
    but the output bias (the layout neural_model.h describes): the same
    distribution over phonemes at every step, whatever the word."""
    graphemes = ["<pad>", *graphemes]
    phonemes = ["<pad>", "<s>", "</s>", *phonemes]
    g, p, d, f = len(graphemes), len(phonemes), 4, 6
    shapes = {"enc.embed": [g, d], "dec.embed": [p, d],
              "out.weight": [p, d], "out.bias": [p]}
    for norm in ("enc.norm", "dec.norm", "enc.0.norm1", "enc.0.norm2",
                 "dec.0.norm1", "dec.0.norm2", "dec.0.norm3"):
        shapes |= {f"{norm}.weight": [d], f"{norm}.bias": [d]}
    for block in ("enc.0.attn", "dec.0.self", "dec.0.cross"):
        for part in "qkvo":
            shapes |= {f"{block}.{part}.weight": [d, d],
                       f"{block}.{part}.bias": [d]}
    for layer in ("enc.0", "dec.0"):
        shapes |= {f"{layer}.ff1.weight": [f, d], f"{layer}.ff1.bias": [f],
                   f"{layer}.ff2.weight": [d, f], f"{layer}.ff2.bias": [d]}
    sizes = {name: math.prod(shape) for name, shape in shapes.items()}
    out = bytearray(b"TAMSU-NN")
    out += struct.pack("<12IQ", 1, 1, d, 2, f, 1, 1, 0, 0, g, p, len(shapes),
                       sum(sizes.values()))
    for text in graphemes + phonemes:
        out += struct.pack("<I", len(text.encode())) + text.encode()
    data, offset = bytearray(), 0
    for name, shape in shapes.items():
        out += struct.pack("<I", len(name)) + name.encode()
        out += struct.pack(f"<I{len(shape)}IQ", len(shape), *shape, offset)
        values = bias if name == "out.bias" else [0.0] * sizes[name]
        data += struct.pack(f"<{sizes[name]}f", *values)
        offset += sizes[name]
    out += bytes(-len(out) % 4) + data
    return bytes(out + struct.pack("<I", zlib.crc32(out)))


@pytest.fixture(scope="session")
def flat(tmp_path_factory):
    """Bundles made without PyTorch: the cipher's n-gram model cipher.fst
    (of cipher.dict) with flat.tnn (neural_bytes: every step the same
    distribution, the end likeliest) as rescore.bundle, beam.bundle
    (rescore-beam) and neural.bundle, weight 0.5; ensemble.bundle rescores
    with flat.tnn and flat2.tnn (another flat distribution)."""
    from tamsu.bundle import Bundle, write_bundle
    folder = tmp_path_factory.mktemp("flat")
    (folder / "cipher.dict").write_text(CIPHER_DICT)
    tamsu.train(folder / "cipher.dict", folder / "cipher.fst", order=3,
                progress=False)
    phonemes = sorted({p for p in CIPHER.values() if p})
    (folder / "flat.tnn").write_bytes(neural_bytes(
        phonemes, [-9.0, -9.0, 1.0, 0.5] + [0.0] * (len(phonemes) - 1),
        sorted(CIPHER)))
    # Another distribution, the first phoneme likeliest, for ensembles.
    (folder / "flat2.tnn").write_bytes(neural_bytes(
        phonemes, [-9.0, -9.0, 0.0, 2.0] + [0.5] * (len(phonemes) - 1),
        sorted(CIPHER)))
    for mode, name in (("rescore", "rescore"), ("rescore-beam", "beam"),
                       ("neural", "neural")):
        write_bundle(folder / f"{name}.bundle", Bundle(
            str(folder / "cipher.fst"), (str(folder / "flat.tnn"),), mode, 0.5,
            10, {}))
    write_bundle(folder / "ensemble.bundle", Bundle(
        str(folder / "cipher.fst"),
        (str(folder / "flat.tnn"), str(folder / "flat2.tnn")), "rescore",
        0.5, 10, {}))
    return folder


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
    # The n-gram model trains on the neural model's share: its bundle is
    # tuned on words neither saw.
    train(lexicon, folder / "cipher.fst", order=3, hold_out=0.1, seed=0,
          progress=False)
    trained = types.SimpleNamespace(folder=folder, report=None, progress=[])
    train_neural = neural.train_neural

    def tiny(*args, progress, **kwargs):
        def report(epoch):
            trained.progress.append(epoch)
            progress(epoch)
        # The command line names an architecture; the recipe's tiny one
        # replaces it.
        kwargs["architecture"] = neural.LstmArchitecture(32, 16, 1, 1)
        trained.report = train_neural(
            *args, batch_size=16, warmup_steps=50, dropout=0.0,
            learning_rate=3e-3, progress=report, **kwargs)
        return trained.report

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(neural, "train_neural", tiny)
        assert cli.main(["train-neural", str(lexicon), "-o",
                         str(folder / "cipher.tnn"), "--epochs", "40",
                         "--dev-share", "0.1", "--seed", "0", "--ngram",
                         str(folder / "cipher.fst"), "--no-partner"]) == 0
    return trained


@pytest.fixture(autouse=True)
def collect_cycles_on_the_main_thread():
    """Frees Models caught in reference cycles here, on the thread that made
    them, not on whichever thread runs the next collection."""
    yield
    gc.collect()

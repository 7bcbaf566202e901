"""Model files for the Python suites, compiled at test time with fstcompile."""

import os
import subprocess
import textwrap

import pytest


def compile_model(directory, name, arcs, isyms, osyms, *, keep_isyms=True,
                  keep_osyms=True, extra_flags=()):
    """Compiles a model from AT&T text and symbol lists (labels 0, 1, ...).

    Returns the model file's path as a str.
    """
    directory = str(directory)
    paths = {}
    for side, symbols in (("i", isyms), ("o", osyms)):
        path = os.path.join(directory, f"{name}.{side}.syms")
        with open(path, "w", encoding="utf-8") as f:
            for label, text in enumerate(symbols):
                f.write(f"{text}\t{label}\n")
        paths[side] = path
    text_path = os.path.join(directory, f"{name}.txt")
    with open(text_path, "w", encoding="utf-8") as f:
        f.write(textwrap.dedent(arcs).strip() + "\n")
    model_path = os.path.join(directory, f"{name}.fst")
    command = ["fstcompile", f"--isymbols={paths['i']}",
               f"--osymbols={paths['o']}", *extra_flags]
    if keep_isyms:
        command.append("--keep_isymbols")
    if keep_osyms:
        command.append("--keep_osymbols")
    subprocess.run(command + [text_path, model_path], check=True)
    return model_path


# Graphemes a b c d with the cluster "c|h"; phonemes with "K|S" and the
# skip symbol "_" at label 2. One state: a unigram-like model whose final
# weight is 0.25.
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
def model_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("models")


@pytest.fixture(scope="session")
def simple_model_path(model_dir):
    return compile_model(model_dir, "simple", SIMPLE_ARCS, SIMPLE_ISYMS,
                         SIMPLE_OSYMS)


@pytest.fixture()
def simple_model(simple_model_path):
    import tamsu
    return tamsu.Model(simple_model_path)

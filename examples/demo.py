"""Builds a tiny model with OpenFst's fstcompile and decodes a few words."""

import os
import subprocess
import tempfile

import tamsu

ISYMS = ["<eps>", "|", "_", "c", "a", "t", "h", "s", "c|h"]
OSYMS = ["<eps>", "|", "_", "K", "AE", "T", "HH", "S", "CH", "K|S"]
ARCS = """\
0 0 c K 0.7
0 0 c S 1.6
0 0 a AE 0.3
0 0 t T 0.2
0 0 h HH 1.2
0 0 h _ 2.0
0 0 s S 0.4
0 0 c|h CH 0.5
0 0.1
"""


def build_model(directory):
    for name, symbols in (("i", ISYMS), ("o", OSYMS)):
        with open(os.path.join(directory, f"{name}.syms"), "w") as f:
            f.writelines(f"{text}\t{label}\n" for label, text in enumerate(symbols))
    text = os.path.join(directory, "model.txt")
    with open(text, "w") as f:
        f.write(ARCS)
    path = os.path.join(directory, "model.fst")
    subprocess.run(["fstcompile", f"--isymbols={directory}/i.syms",
                    f"--osymbols={directory}/o.syms", "--keep_isymbols",
                    "--keep_osymbols", text, path], check=True)
    return path


def main():
    with tempfile.TemporaryDirectory() as directory:
        model = tamsu.Model(build_model(directory))
        print("find_isym(3) =", model.find_isym(3), " find_osym('CH') =",
              model.find_osym("CH"))
        for word in ["cat", "chat", "cats"]:
            print(word, model.phoneticize(word))
            for path in model.phoneticize_paths(word, nbest=2):
                print("   ", path)


if __name__ == "__main__":
    main()
